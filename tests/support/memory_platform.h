#pragma once

// An in-memory model of the Windows calls behind `Platform`, for host tests.
//
// It answers as Windows does (same return values, same last errors) for the process facts a test
// sets up, records what the program writes to its standard streams and shows in message boxes
// (in one ordered event list, so that tests can check what came first), and fails any call on
// demand: `FailCall("SetDllDirectoryW", 5)` makes the next use of that call fail with error 5;
// `ThrowFromCall` makes a call throw whatever a test chooses.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veltomarn::testing {

class MemoryPlatform final : public Platform {
  public:
    // What the process sees of its start-up. Tests change these before the run.
    struct Process {
        WideString commandLine = u"\"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe\"";
        // Returned by GetModuleFileNameW exactly as set (it may carry a "\\?\" prefix).
        WideString modulePath = u"C:\\Games\\VeltoMarn\\VeltoMarnLauncher.exe";
        WideString systemDirectory = u"C:\\windows\\system32";
        WideString windowsDirectory = u"C:\\windows";
        WideString currentDirectory = u"C:\\Games\\VeltoMarn";
        // Directories that SetCurrentDirectoryW accepts; the system directory is always one.
        std::vector<WideString> existingDirectories;
        bool hasStandardOutput = true;
        bool hasStandardError = true;
    };

    struct Event {
        enum class Kind { StandardOutput, StandardError, MessageBox };
        Kind kind;
        std::string bytes;   // what was written, for the two streams
        WideString text;     // message box text
        WideString caption;  // message box caption
        uint32_t style = 0;
    };

    MemoryPlatform();
    ~MemoryPlatform() override;

    Process process;

    // Sets the command line from an argument list as a caller would quote it, program first.
    void SetArguments(const std::vector<WideString>& arguments);

    // The `nth` use (1 = the next one) of call `name`, counted from now, fails with `error`.
    void FailCall(const std::string& name, uint32_t error, int nth = 1);
    // The `nth` use of call `name` runs `thrower` (which throws) instead of the call.
    void ThrowFromCall(const std::string& name, std::function<void()> thrower, int nth = 1);
    // How many times `name` has been called.
    int CallCount(const std::string& name) const;

    const std::vector<Event>& events() const { return events_; }
    std::string StandardOutput() const;
    std::string StandardError() const;
    int MessageBoxCount() const;
    // Memory blocks handed out by CommandLineToArgvW and not yet released with LocalFree.
    std::size_t OutstandingLocalAllocations() const { return localBlocks_.size(); }
    const WideString& CurrentDirectory() const { return process.currentDirectory; }
    // DLL search state as the process has set it.
    uint32_t defaultDllDirectories() const { return defaultDllDirectories_; }
    bool dllDirectoryCleared() const { return dllDirectoryCleared_; }

    // --- Platform -------------------------------------------------------------------------
    uint32_t GetLastError() override { return lastError_; }
    void SetLastError(uint32_t error) override { lastError_ = error; }

    bool SetDefaultDllDirectories(uint32_t flags) override;
    bool SetDllDirectoryW(const WideChar* path) override;
    bool SetCurrentDirectoryW(const WideChar* path) override;
    const WideChar* GetCommandLineW() override;
    WideChar** CommandLineToArgvW(const WideChar* commandLine, int* count) override;
    void* LocalFree(void* memory) override;
    uint32_t GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) override;
    uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                              WideChar** filePart) override;
    uint32_t GetSystemDirectoryW(WideChar* buffer, uint32_t size) override;
    uint32_t GetWindowsDirectoryW(WideChar* buffer, uint32_t size) override;
    uint64_t GetTickCount64() override;
    int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                             bool ignoreCase) override;

    Handle GetStdHandle(uint32_t which) override;
    bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) override;
    bool CloseHandle(Handle handle) override;

    int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                    uint32_t style) override;

    uint64_t tickCount = 1000000;  // advanced by tests; GetTickCount64 returns it

  private:
    struct Fault {
        int remaining;  // uses to let pass before this one fires
        uint32_t error;
        std::function<void()> thrower;
    };

    // Counts a use of `name` and fires the first fault due on it: a thrower throws; an error is
    // set as last error and true is returned, and the caller returns its failure value.
    bool Injected(const std::string& name);

    std::map<std::string, int> calls_;
    std::multimap<std::string, Fault> faults_;
    std::vector<Event> events_;
    std::vector<std::unique_ptr<char[]>> localBlocks_;
    uint32_t lastError_ = 0;
    uint32_t defaultDllDirectories_ = 0;
    bool dllDirectoryCleared_ = false;
};

// Windows' rules for splitting a command line (CommandLineToArgvW), shared by the model and tests.
std::vector<WideString> SplitCommandLine(const WideString& commandLine);

// Windows' absolute-path rules (GetFullPathNameW) relative to `currentDirectory`.
WideString ModelFullPath(const WideString& path, const WideString& currentDirectory);

}  // namespace veltomarn::testing

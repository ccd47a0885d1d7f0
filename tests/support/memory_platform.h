#pragma once

// An in-memory model of the Windows calls behind `Platform`, for host tests.
//
// It answers as Windows does (same return values, same last errors) for the process facts and the
// files a test sets up, records what the program writes to its standard streams and shows in
// message boxes (in one ordered event list, so that tests can check what came first), and fails
// any call on demand: `FailCall("SetDllDirectoryW", 5)` makes the next use of that call fail with
// error 5; `FailStatus` does the same for a CNG call with an NTSTATUS; `ThrowFromCall` makes a call
// throw whatever a test chooses; `OnCall` runs an action (another process changing a file, say)
// just before a call proceeds.
//
// Files: one volume per drive letter (C: exists from the start), modelled as NTFS is
// (support/memory_file_system.h): case-insensitive, case-preserving names, hard links, symbolic
// links and junctions, named streams, share modes between every open of a node, including opens
// by another process (`ForeignOpen`, `ForeignDelete`, `ForeignRename`). Set-up paths are absolute
// drive paths without the "\\?\" prefix (u"C:\\pkg\\a.txt"); missing parents are created.
//
// CNG: the "SHA256" provider with real digests and the "RSA" provider's public-key verification,
// computed by platform/openssl (shared with the Linux platform of the release tool); faults are
// injected here first. Live providers and hashes are counted, and every successful open,
// creation, destruction and close is logged in order (`CngEvents`).

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/openssl/openssl_cng.h"
#include "platform/platform.h"
#include "support/memory_file_system.h"

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

    // The `nth` use (1 = the next one) of call `name`, counted from now, fails with `error`:
    // the call returns its failure value and leaves `error` as the last error. A CNG call made to
    // fail this way returns STATUS_UNSUCCESSFUL.
    void FailCall(const std::string& name, uint32_t error, int nth = 1);
    // The `nth` use of CNG call `name` fails with `status` (negative).
    void FailStatus(const std::string& name, NtStatus status, int nth = 1);
    // A close (CloseHandle, FindClose) made to fail leaves the handle open.
    // The `nth` use of call `name` runs `thrower` (which throws) instead of the call.
    void ThrowFromCall(const std::string& name, std::function<void()> thrower, int nth = 1);
    // The `nth` use of call `name` first runs `action`, then proceeds as usual (or fails, when a
    // fault is also due). The program's last error is the same after the action as before it.
    void OnCall(const std::string& name, std::function<void()> action, int nth = 1);
    // The `nth` use of WriteFile succeeds but writes at most `bytes` bytes.
    void ShortWrite(int nth, uint32_t bytes);
    // How many times `name` has been called.
    int CallCount(const std::string& name) const;

    // --- files: set-up (see memory_file_system.h) ----------------------------------------------
    void AddVolume(WideChar letter, uint32_t serialNumber);
    void AddDirectory(const WideString& path);
    // A new file, or new contents for an existing one (same node, links and opens).
    void AddFile(const WideString& path, std::string bytes);
    void AddHardLink(const WideString& path, const WideString& existingPath);
    // `target`: an absolute drive path or, for symbolic links, one relative to the link's
    // directory. Both carry FILE_ATTRIBUTE_REPARSE_POINT, and FILE_ATTRIBUTE_DIRECTORY when they
    // stand for a directory.
    void AddSymbolicLink(const WideString& path, const WideString& target, bool directory);
    void AddJunction(const WideString& path, const WideString& target);
    // `streamName` as FindFirstStreamW reports it (u":Zone.Identifier:$DATA") or bare
    // (u"extra", reported as u":extra:$DATA").
    void AddStream(const WideString& path, const WideString& streamName, std::string bytes);
    // Read-only, hidden, system, archive bits; the kind bits follow the object.
    void SetAttributes(const WideString& path, uint32_t attributes);
    // Removes a name (a directory with everything below it), whatever is open.
    void RemoveEntry(const WideString& path);
    // Listings of `directory` return these names first, in this order, then the others.
    void SetListingOrder(const WideString& directory, std::vector<WideString> names);

    // --- files: observers ----------------------------------------------------------------------
    // Whether the name exists (a dangling link does).
    bool Exists(const WideString& path) const;
    // The bytes of a file (links followed); throws std::logic_error when there is none.
    std::string FileBytes(const WideString& path) const;
    // File, directory and search handles that the program holds open now, and the paths (or
    // search patterns) they were opened with, in opening order.
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::vector<WideString> OpenHandlePaths() const;

    // --- another process ---------------------------------------------------------------------
    // Opens `path` (links followed, directories too) with `access` and `share`, as another
    // process would, and keeps it open until ForeignCloseAll. Returns whether the open succeeded
    // and leaves its error as the last error.
    bool ForeignOpen(const WideString& path, uint32_t access, uint32_t share);
    void ForeignCloseAll();
    // DeleteFileW or RemoveDirectoryW of the name (never its link target), and MoveFileExW
    // without flags, as another process would. They fail while an open of the object refuses
    // FILE_SHARE_DELETE (ERROR_SHARING_VIOLATION); deleting a non-empty directory fails with
    // ERROR_DIR_NOT_EMPTY, renaming onto an existing name with ERROR_ALREADY_EXISTS, and renaming
    // a directory while anything below it is open with ERROR_ACCESS_DENIED. Each leaves its error
    // as the last error.
    bool ForeignDelete(const WideString& path);
    bool ForeignRename(const WideString& from, const WideString& to);

    // --- CNG -----------------------------------------------------------------------------------
    // The "ObjectLength" that the SHA-256 provider reports (286 by default, Wine's value).
    void SetHashObjectLength(uint32_t length) { cng_.SetHashObjectLength(length); }
    // Providers and hash objects created and not yet closed or destroyed.
    std::size_t LiveCngObjects() const;
    // "OpenAlgorithmProvider", "CreateHash", "DestroyHash", "CloseAlgorithmProvider", in the
    // order in which they succeeded.
    const std::vector<std::string>& CngEvents() const { return cngEvents_; }

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

    Handle CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                       void* securityAttributes, uint32_t creationDisposition,
                       uint32_t flagsAndAttributes, Handle templateFile) override;
    bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                          uint32_t moveMethod) override;
    bool GetFileInformationByHandle(Handle file, FileInformation* information) override;
    uint32_t GetFileType(Handle file) override;
    Handle FindFirstFileW(const WideChar* pattern, FindData* data) override;
    bool FindNextFileW(Handle search, FindData* data) override;
    Handle FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                            uint32_t flags) override;
    bool FindNextStreamW(Handle search, StreamData* data) override;
    bool FindClose(Handle search) override;
    bool FlushFileBuffers(Handle file) override;
    bool MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) override;
    bool CreateDirectoryW(const WideChar* path, void* securityAttributes) override;
    void RtlSecureZeroMemory(void* memory, std::size_t size) override;

    NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                         const WideChar* implementation, uint32_t flags) override;
    NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) override;
    NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                               uint32_t outputSize, uint32_t* resultSize, uint32_t flags) override;
    NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                              uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize,
                              uint32_t flags) override;
    NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                            uint32_t flags) override;
    NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                              uint32_t flags) override;
    NtStatus BCryptDestroyHash(CngHandle hash) override;
    NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey, const WideChar* blobType,
                                 CngHandle* key, const uint8_t* input, uint32_t inputSize,
                                 uint32_t flags) override;
    NtStatus BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                   const uint8_t* hash, uint32_t hashSize, const uint8_t* signature,
                                   uint32_t signatureSize, uint32_t flags) override;
    NtStatus BCryptDestroyKey(CngHandle key) override;
    NtStatus BCryptSetProperty(CngHandle object, const WideChar* property, const uint8_t* input,
                               uint32_t inputSize, uint32_t flags) override;
    NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key, uint8_t* keyObject,
                                        uint32_t keyObjectSize, const uint8_t* secret,
                                        uint32_t secretSize, uint32_t flags) override;
    NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                           const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                           uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* result,
                           uint32_t flags) override;

    int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                    uint32_t style) override;

    uint64_t tickCount = 1000000;  // advanced by tests; GetTickCount64 returns it

    // A memory range the program handed to a call.
    struct Region {
        uint8_t* begin = nullptr;
        std::size_t size = 0;
    };
    struct CreatedDirectory {
        WideString path;
        void* securityAttributes = nullptr;
    };
    // Every range RtlSecureZeroMemory overwrote, in order; whether [memory, memory + size) lies
    // within one of them.
    const std::vector<Region>& Wipes() const { return wipes_; }
    bool WasWiped(const void* memory, std::size_t size) const;
    // The output buffers BCryptDecrypt was given and the key object buffers of
    // BCryptGenerateSymmetricKey, in order.
    const std::vector<Region>& DecryptOutputs() const { return decryptOutputs_; }
    const std::vector<Region>& KeyObjects() const { return keyObjects_; }
    const std::vector<CreatedDirectory>& CreatedDirectories() const { return createdDirectories_; }
    void SetKeyObjectLength(uint32_t length) { cng_.SetKeyObjectLength(length); }

  private:
    struct Fault {
        enum class Kind { Error, Status, Throw, ShortWrite };
        int remaining;  // uses to let pass before this one fires
        Kind kind;
        uint32_t error = 0;  // Error: the last error; ShortWrite: the most bytes written
        NtStatus status = 0;
        std::function<void()> thrower;
    };
    struct Action {
        int remaining;
        std::function<void()> action;
    };
    // What a use of a call is made to do.
    struct Injection {
        bool fail = false;
        NtStatus status = 0;      // the failure value of a CNG call
        int64_t shortWrite = -1;  // WriteFile: the most bytes to write, or -1
    };
    // An open file or directory, or a search.
    struct OpenHandle {
        enum class Kind { File, FileSearch, StreamSearch };
        Kind kind = Kind::File;
        WideString path;      // as the program passed it
        uint64_t openId = 0;  // File, FileSearch: the open of the file or directory
        uint32_t access = 0;
        int64_t position = 0;
        // FileSearch: the mask, what was returned, and the pseudo-entries still due.
        WideString mask;
        std::vector<WideString> returnedNames;
        int dotsLeft = 0;
        // StreamSearch: the streams found at the start, and the next one.
        std::vector<StreamData> streams;
        std::size_t nextStream = 0;
    };

    // Counts a use of `name`, runs the actions due on it, and applies the first fault due: a
    // thrower throws; an error is set as last error; a status is returned for the caller.
    Injection Inject(const std::string& name);
    // Inject, for calls that fail with a last error: true means return the failure value.
    bool Injected(const std::string& name);
    // Inject, for CNG calls: true means return `*status`.
    bool InjectedStatus(const std::string& name, NtStatus* status);

    Handle AddHandle(OpenHandle handle);
    OpenHandle* FindHandle(Handle handle, OpenHandle::Kind kind);
    bool NextFileEntry(OpenHandle& search, FindData* data);

    std::map<std::string, int> calls_;
    std::multimap<std::string, Fault> faults_;
    std::multimap<std::string, Action> actions_;
    MemoryFileSystem files_;
    std::map<Handle, OpenHandle> handles_;
    uintptr_t nextHandle_ = 0x1000;
    OpensslCng cng_;
    std::vector<Region> wipes_;
    std::vector<Region> decryptOutputs_;
    std::vector<Region> keyObjects_;
    std::vector<CreatedDirectory> createdDirectories_;
    std::vector<std::string> cngEvents_;
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

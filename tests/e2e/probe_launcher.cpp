// The inner launcher of the test package. Like a real one, "--verify-only" proves that its
// directory is exactly its signed release. It then reports on one line of the file named by
// VELTOMARN_PROBE_LOG whether what the bootstrap hands it holds: its command line, the system
// directory as working directory, PATH, SystemRoot and WINDIR built, no PYTHONPATH, and its own
// files unwritable and undeletable. VELTOMARN_PROBE changes what it does: "verify=N" or "exit=N"
// exits with N from that run; "grandchild" leaves a process behind in the verify run that writes
// its own line 1.5 s later; "plant" tries to create a file and a directory beside itself and
// reports whether either was made; "wait" makes the real run wait for a minute; "window" reports
// whether the bootstrap's progress window still exists.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "launch/own_release.h"
#include "platform/win32/win32_platform.h"

namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t value[4096] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length == 0 || length >= 4096 ? L"-" : value;
}

void Report(const std::wstring& line) {
    FILE* log = _wfopen(Variable(L"VELTOMARN_PROBE_LOG").c_str(), L"ab");
    if (log == nullptr) return;
    std::fprintf(log, "%ls\n", line.c_str());
    std::fclose(log);
}

// Whether another opener may write or delete the file `path`: "held" when neither may.
std::wstring Held(const std::wstring& path) {
    for (const DWORD access : {DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
        const HANDLE file =
            CreateFileW(path.c_str(), access, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) return CloseHandle(file), L"writable";
    }
    return L"held";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--linger") == 0) {
        Sleep(1500);
        return Report(L"grandchild done"), 0;
    }
    const bool verify = argc == 2 && std::wcscmp(argv[1], L"--verify-only") == 0;
    wchar_t self[MAX_PATH] = {}, cwd[MAX_PATH] = {}, system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, cwd);
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring directory = std::wstring(self).substr(0, std::wstring(self).rfind(L'\\'));
    const std::wstring s = system, w = windows;
    const bool sees = std::wstring(GetCommandLineW()) ==
                          L"\"" + std::wstring(self) + L"\"" + (verify ? L" --verify-only" : L"") &&
                      _wcsicmp(cwd, system) == 0 && Variable(L"PYTHONPATH") == L"-" &&
                      Variable(L"PATH") == s + L";" + s + L"\\WindowsPowerShell\\v1.0;" + w &&
                      Variable(L"SystemRoot") == w && Variable(L"WINDIR") == w;
    Report(std::wstring(verify ? L"verify " : L"real ") + (sees ? L"sees its contract " : L"") +
           Held(directory + L"\\zone.bin"));
    const std::wstring probe = Variable(L"VELTOMARN_PROBE");
    if (probe == L"plant") {
        const HANDLE file = CreateFileW((directory + L"\\version.dll").c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_NEW, 0, nullptr);
        const bool planted = file != INVALID_HANDLE_VALUE ||
                             CreateDirectoryW((directory + L"\\saves").c_str(), nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        Report(std::wstring(verify ? L"verify " : L"real ") + (planted ? L"planted" : L"locked"));
    }
    if (probe == L"window") {
        const bool shown = FindWindowW(L"VeltoMarnProgress", nullptr) != nullptr;
        Report(std::wstring(verify ? L"verify " : L"real ") + (shown ? L"window" : L"no window"));
    }
    if (verify && probe == L"grandchild") {
        STARTUPINFOW start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION started{};
        std::wstring line = L"\"" + std::wstring(self) + L"\" --linger";
        CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                       &started);
    }
    const std::wstring exit = verify ? L"verify=" : L"exit=";
    if (probe.rfind(exit, 0) == 0) return std::stoi(probe.substr(exit.size()));
    if (!verify && probe == L"wait") Sleep(60000);
    if (!verify) return 0;
    veltomarn::Win32Platform platform;
    return veltomarn::CheckOwnRelease(platform).empty() ? 0 : (Report(L"refused"), 3);
}

// The demo inner launcher: what the bootstrap starts from its session once the demo package has
// been checked and unsealed, standing in for a game's launcher.
//
// "--verify-only" (the bootstrap's first start of it): proves that the directory it runs from is
// exactly its own signed release (RELEASE.signed and RELEASE.sig there, checked against the
// release key compiled into it, every file's size and SHA-256, nothing else in the tree) and exits
// 0 only then, 3 otherwise. Any other start is the game: it appends a line to VeltoMarnDemo.log in
// the user's temporary folder, shows a window where there is a display, and exits 0. A GUI
// program, as a game launcher is: it has no console.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "launch/own_release.h"
#include "platform/win32/win32_platform.h"

namespace {

constexpr int kRejected = 3;

int VerifyOwnRelease() {
    veltomarn::Win32Platform platform;
    const std::string code = veltomarn::CheckOwnRelease(platform);
    if (code.empty()) return 0;
    std::fprintf(stderr, "VELTO MARN demo launcher: own release refused: %s\n", code.c_str());
    return kRejected;
}

int RunGame() {
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) return 1;
    FILE* log = _wfopen((std::wstring(temporary) + L"VeltoMarnDemo.log").c_str(), L"a");
    if (log == nullptr) return 1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::fprintf(log, "%04u-%02u-%02u %02u:%02u:%02u VELTO MARN demo game started\n", now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    const bool written = std::fclose(log) == 0;
    // The game's window, where there is a display (without one it returns at once).
    MessageBoxW(nullptr, L"The VELTO MARN demo game started from its sealed session.",
                L"VELTO MARN demo", MB_OK | MB_ICONINFORMATION);
    return written ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--verify-only") == 0) return VerifyOwnRelease();
    return argc == 1 ? RunGame() : 2;
}

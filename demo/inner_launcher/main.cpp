// The demo inner launcher: what the bootstrap starts from its session once the demo package has
// been checked and unsealed, standing in for a game's launcher.
//
// "--verify-only" (the bootstrap's first start of it): proves that the directory it runs from is
// exactly its own signed release (RELEASE.signed and RELEASE.sig there, checked against the
// release key compiled into it, every file's size and SHA-256, nothing else in the tree) and exits
// 0 only then, 3 otherwise. Any other start is the game: it appends a line to VeltoMarnDemo.log in
// the user's temporary folder, shows a window where there is a display, and exits 0. A GUI
// program, as a game launcher is: it has no console.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <string>

#include "launch/own_release.h"
#include "platform/win32/win32_platform.h"

namespace {

constexpr int kRejected = 3;
constexpr uint32_t kMbIconInformation = 0x40;

int VerifyOwnRelease(veltomarn::Platform& platform) {
    const std::string code = veltomarn::CheckOwnRelease(platform);
    if (code.empty()) return 0;
    std::fprintf(stderr, "VELTO MARN demo launcher: own release refused: %s\n", code.c_str());
    return kRejected;
}

// The user's temporary folder, as the environment names it.
std::wstring TemporaryFolder() {
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        if (const wchar_t* value = _wgetenv(name); value != nullptr && *value != 0) return value;
    }
    return L".";
}

int RunGame(veltomarn::Platform& platform) {
    FILE* log = _wfopen((TemporaryFolder() + L"\\VeltoMarnDemo.log").c_str(), L"a");
    if (log == nullptr) return 1;
    const std::time_t now = std::time(nullptr);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(log, "%s VELTO MARN demo game started\n", stamp);
    const bool written = std::fclose(log) == 0;
    // The game's window, where there is a display (without one it returns at once).
    platform.MessageBoxW(nullptr, u"The VELTO MARN demo game started from its sealed session.",
                         u"VELTO MARN demo", veltomarn::win::kMbOk | kMbIconInformation);
    return written ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    veltomarn::Win32Platform platform;
    if (argc == 2 && std::wcscmp(argv[1], L"--verify-only") == 0) return VerifyOwnRelease(platform);
    return argc == 1 ? RunGame(platform) : 2;
}

#pragma once

// Runs Windows programs under Wine from host tests (POSIX only).
//
// `RunUnderWine` starts `wine <program> <arguments...>` with the current environment, stdin on
// /dev/null, and captures standard output and standard error separately and completely. The
// exit code is what reaches Linux: the Windows exit code cut to 8 bits.
//
// `LauncherCopy` places a copy of the built VeltoMarnLauncher.exe under a chosen file name in a
// fresh temporary directory and removes that directory again when it goes out of scope.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace veltomarn::testing {

struct WineRun {
    // 0..255 when the process exited by itself; -1 when it was ended by a signal or timed out.
    int exitCode = -1;
    // The signal that ended the process, or 0.
    int signal = 0;
    // True when the process outlived the timeout and was killed.
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
};

// One line for failure messages: exit code or signal or timeout, and both streams, escaped.
std::string Describe(const WineRun& run);

// Runs `wine program arguments...` (wine found on PATH) and waits for it for at most `timeout`;
// a process still running then is killed with SIGKILL and reported with `timedOut`. Output that
// the process wrote before it ended is returned in full; output written later by processes that
// inherited the streams (a wineserver started by this run, for example) is not waited for.
// Throws std::runtime_error when the process cannot be started (no pipe, no fork, no wine).
WineRun RunUnderWine(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// The built bootstrap: $VELTOMARN_WINDOWS_BUILD_DIR/src/VeltoMarnLauncher.exe. Throws
// std::runtime_error naming what is missing when the variable is unset or the file is absent.
std::filesystem::path BuiltLauncherPath();

// A copy of the built bootstrap named `fileName` in a new directory of its own below the
// system's temporary directory. Throws std::runtime_error (with the reason) when the built
// bootstrap is missing or the copy cannot be made; nothing is left behind then. The destructor
// removes the directory and everything in it.
class LauncherCopy {
  public:
    explicit LauncherCopy(const std::string& fileName);
    LauncherCopy(const LauncherCopy&) = delete;
    LauncherCopy& operator=(const LauncherCopy&) = delete;
    ~LauncherCopy();

    const std::filesystem::path& directory() const { return directory_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path directory_;
    std::filesystem::path path_;
};

}  // namespace veltomarn::testing

#pragma once

// verify --self-test: the package's own bootstrap started under Wine with --self-test, in a Wine
// prefix made for that one run.

#include <string>

namespace veltomarn::release {

// The Wine programs the self-test runs.
struct WinePrograms {
    std::string wine;
    std::string wineserver;
};

// Finds `wine` and `wineserver` on PATH. Throws ToolError (2), saying that the self-test needs
// Wine, when either is missing.
WinePrograms FindWine();

struct SelfTestRun {
    bool passed = false;  // exit status 0 and the status line "SEALED_SELF_TEST_OK ..."
    std::string line;     // passed: that line; otherwise what the bootstrap printed (its failure
                          // line) and how it ended
};

// Runs `wine BOOTSTRAP --self-test` (an argument vector, no shell) in a new Wine prefix in a new
// directory below $TMPDIR (else /tmp). The prefix is made first (wineboot --init, its messages
// discarded), so that only the bootstrap's own output is captured. Every program gets the tool's
// environment without DISPLAY, WAYLAND_DISPLAY and any WINE* variable, plus WINEPREFIX,
// WINEDEBUG=-all and WINEDLLOVERRIDES=mscoree,mshtml=. On every way out the prefix's wineserver
// and each of its processes are killed and the directory is removed. Throws ToolError (2) when the
// directory cannot be made or a program cannot be started or read; SIGINT or SIGTERM ends the run
// (ToolError, 128 + the signal) after killing the program it waits for.
SelfTestRun RunSelfTest(const WinePrograms& wine, const std::string& bootstrap);

}  // namespace veltomarn::release

#pragma once

// The bootstrap's entry logic: hardening, arguments, mode, own name, package directory, hand-over
// to the mode's run, and the top-level handler that reports every failure exactly once.

#include <vector>

#include "platform/platform.h"

namespace veltomarn {

enum class RunMode { Normal, VerifyOnly, SelfTest };

// The command-line arguments after the program name. Throws "ARGUMENTS" when the command line
// cannot be split.
std::vector<WideString> ReadArguments(Platform& platform);

// Accepts exactly: no argument, "--verify-only" or "--self-test" (whole, case-sensitive).
// Throws "ARGUMENTS" for every other list.
RunMode ChooseMode(const std::vector<WideString>& arguments);

// Checks that the running executable is named "VeltoMarnLauncher.exe" (letter case ignored) and
// returns its directory, the module path before the last backslash.
// Throws "MODULE_PATH", "FULL_PATH", "BOOTSTRAP_NAME".
WideString PackageDirectoryFromModule(Platform& platform);

// The whole run, from hardening to the exit code. Never throws: every failure is reported once
// (line on standard error; message box in the normal mode once the arguments are read) and
// yields exit code 1.
int RunBootstrap(Platform& platform);

}  // namespace veltomarn

#pragma once

// Starting the inner launcher from the session directory, contained: inside a fresh job object
// that kills everything in it when it closes, started suspended and resumed only once it is in
// the job, with the sanitised environment and the system directory as working directory. The
// bootstrap waits for it and then for every process still in the job.

#include <cstdint>

#include "platform/platform.h"

namespace veltomarn {

// `argument` quoted for a Windows command line, exactly as CommandLineToArgvW takes it apart;
// always in double quotes.
WideString QuoteArgument(const WideString& argument);

// The inner launcher's two runs: the one that checks its own release, and the game's.
enum class LaunchKind { kVerify, kReal };

// Runs "<sessionDirectory>\VeltoMarnLauncher.exe" (with " --verify-only" for `kVerify`) and
// returns its exit code once no process is left in its job. Every handle is closed on every path:
// thread, process, job; closing the job ends whatever still runs in it.
// Throws "SYSTEM_DIRECTORY", "ENVIRONMENT_READ", "WINDOWS_DIRECTORY", "INNER_JOB",
// "INNER_JOB_POLICY", "INNER_START", "INNER_JOB_ASSIGN", "INNER_RESUME", "INNER_WAIT",
// "INNER_EXIT", "INNER_DESCENDANTS".
uint32_t RunInnerLauncher(Platform& platform, const WideString& sessionDirectory, LaunchKind kind);

}  // namespace veltomarn

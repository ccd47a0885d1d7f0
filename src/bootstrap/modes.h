#pragma once

// The runs that the driver hands a mode to.

#include "bootstrap/driver.h"
#include "platform/platform.h"

namespace veltomarn {

// `--verify-only`: checks the package and unseals to nowhere; returns 0 or throws.
int RunVerifyOnly(Platform& platform, const WideString& packageDirectory);

// The normal mode and `--self-test`: returns the run's exit code or throws.
int RunSession(Platform& platform, const WideString& packageDirectory, RunMode mode);

}  // namespace veltomarn

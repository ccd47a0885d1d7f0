#pragma once

// Process hardening and the bootstrap's own location.

#include "core/locations.h"
#include "platform/platform.h"

namespace veltomarn {

// Restricts library loading to the system directory, takes the current directory out of the
// library search path, and makes the system directory the working directory.
// Throws "DLL_POLICY", "SYSTEM_DIRECTORY", "WORKING_DIRECTORY".
void HardenProcess(Platform& platform);

// The full path of the running executable. A leading "\\?\" is removed from a drive path; any
// other prefixed path ("\\?\UNC\...", "\\?\Volume{...}\...") is returned unchanged so that it can
// never turn into a local path. A path that its full form would change is refused.
// Throws "MODULE_PATH", "FULL_PATH".
WideString ModulePath(Platform& platform);

}  // namespace veltomarn

#pragma once

// Process hardening and the operating-system locations the bootstrap asks for.

#include "platform/platform.h"

namespace veltomarn {

// Size, in UTF-16 code units, of the buffers for fixed-size location queries.
inline constexpr uint32_t kLocationBufferUnits = 32768;
// Largest accepted size of an absolute path, counting the terminating null.
inline constexpr uint32_t kMaxFullPathUnits = 31999;

// Restricts library loading to the system directory, takes the current directory out of the
// library search path, and makes the system directory the working directory.
// Throws "DLL_POLICY", "SYSTEM_DIRECTORY", "WORKING_DIRECTORY".
void HardenProcess(Platform& platform);

// The full path of the running executable. A leading "\\?\" is removed from a drive path; any
// other prefixed path ("\\?\UNC\...", "\\?\Volume{...}\...") is returned unchanged so that it can
// never turn into a local path. A path that its full form would change is refused.
// Throws "MODULE_PATH", "FULL_PATH".
WideString ModulePath(Platform& platform);

// The absolute, normalised form of `path`. Throws "FULL_PATH" when the answer needs more than
// 31,999 units (null included) or changes between the size query and the fill.
WideString FullPath(Platform& platform, const WideString& path);

// Throws "SYSTEM_DIRECTORY".
WideString SystemDirectory(Platform& platform);

// Throws "WINDOWS_DIRECTORY".
WideString WindowsDirectory(Platform& platform);

}  // namespace veltomarn

#pragma once

// The cache's access control and its root: one per-user directory, "VeltoMarnLauncherProtected"
// in the local application-data folder, whose protected DACL admits only the operating system
// and the current user, inherited by everything created below it.

#include "platform/platform.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

// The descriptor every cache object is created with, and the attributes that point at it. The
// descriptor is released with LocalFree when this goes.
struct CacheSecurity {
    ScopedLocalMemory descriptor;
    SecurityAttributes attributes;
};

// The SDDL template; the user's SID text and ")" follow it.
inline constexpr char16_t kCacheSddlTemplate[] = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;";

// Reads the process user's SID and builds the cache descriptor from the template.
// Throws "TOKEN_OPEN", "TOKEN_SIZE", "TOKEN_READ", "TOKEN_SID", "CACHE_ACL".
CacheSecurity BuildCacheSecurity(Platform& platform);

// Writes the cache's DACL (protected, so inheritance from above is cut) on directory `path`.
// Throws "LOCAL_PATH_REQUIRED", "CACHE_ACL_APPLY".
void ApplyCacheAcl(Security& security, const CacheSecurity& cache, const WideString& path);

// Finds the local application-data folder, holds it and every directory above it, creates the
// cache root there with the cache's attributes or takes the one there, and rewrites its DACL on
// every start. Returns the root's path (without "\\?\").
// Throws "LOCAL_CACHE_PATH", "FULL_PATH", "LOCAL_PATH_REQUIRED", "CACHE_CREATE",
// "CACHE_ACL_APPLY" and the guard's codes.
WideString EnsureCacheRoot(Platform& platform, const CacheSecurity& cache);

}  // namespace veltomarn

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
    // A checked session's directories while it runs: SYSTEM and the user may read, traverse and
    // delete, nobody may add, write or rename an entry, and the owner may only read the access
    // list (OWNER RIGHTS), so no program of the user grants itself write access again.
    ScopedLocalMemory lockdown;
};

// The SDDL templates; the user's SID text and the tail follow each.
inline constexpr char16_t kCacheSddlTemplate[] = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;";
inline constexpr char16_t kCacheSddlTail[] = u")";
inline constexpr char16_t kLockdownSddlTemplate[] = u"D:P(A;;0x1300a9;;;SY)(A;;0x1300a9;;;";
inline constexpr char16_t kLockdownSddlTail[] = u")(A;;RC;;;S-1-3-4)";

// Reads the process user's SID and builds both descriptors from their templates.
// Throws "TOKEN_OPEN", "TOKEN_SIZE", "TOKEN_READ", "TOKEN_SID", "CACHE_ACL".
CacheSecurity BuildCacheSecurity(Platform& platform);

// Writes DACL `descriptor` (protected, so inheritance from above is cut) through `object`, opened
// with WRITE_DAC. Returns whether it was written.
bool ApplyDacl(Security& security, Handle object, const ScopedLocalMemory& descriptor);

// Writes the cache's DACL through `directory`, opened with WRITE_DAC. Throws "CACHE_ACL_APPLY".
void ApplyCacheAcl(Security& security, const CacheSecurity& cache, Handle directory);

// Finds the local application-data folder, holds it and every directory above it, creates the
// cache root there with the cache's attributes or takes the one there, and rewrites its DACL on
// every start. Returns the root's path (without "\\?\").
// Throws "LOCAL_CACHE_PATH", "FULL_PATH", "LOCAL_PATH_REQUIRED", "CACHE_CREATE",
// "CACHE_ACL_APPLY" and the guard's codes.
WideString EnsureCacheRoot(Platform& platform, const CacheSecurity& cache);

}  // namespace veltomarn

#pragma once

// The product's fixed names: the package's own files and the names reserved in unsealed trees.

namespace veltomarn {

inline constexpr char kInventoryName[] = "RELEASE.signed";
inline constexpr char kSignatureName[] = "RELEASE.sig";
inline constexpr char kManifestPath[] = "package/release.json";
inline constexpr char kBootstrapFileName[] = "VeltoMarnLauncher.exe";
inline constexpr char16_t kBootstrapFileNameWide[] = u"VeltoMarnLauncher.exe";
inline constexpr char kPayloadFileName[] = "VeltoMarn.payload";

// Unsealing writes "<path>.sealed-partial" before a file is complete; an owner record's name ends
// in ".sealed-owner". No payload file may use either.
inline constexpr char kPartialSuffix[] = ".sealed-partial";
inline constexpr char kOwnerReservedName[] = ".sealed-owner";

// The cache: its root in the user's local application-data folder, the session lock there, one
// directory a payload, and in it one directory a session with its owner record beside it.
inline constexpr char kCacheRootName[] = "VeltoMarnLauncherProtected";
inline constexpr char kSessionLockName[] = "active.lock";
inline constexpr char kPayloadDirectoryPrefix[] = "payload-";
inline constexpr char kSessionPrefix[] = "session-";
inline constexpr char kOwnerRecordPrefix[] = ".owner-";

}  // namespace veltomarn

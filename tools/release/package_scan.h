#pragma once

// The publisher's look at a package directory before it is signed: every rule by which the
// bootstrap would refuse the directory, checked on the disk with a message naming the path.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace veltomarn::release {

// The names that an interrupted run of the tool may leave in a package directory. Each holds '~',
// which no listed path may hold, so a leftover is refused by the name rules and never signed.
inline constexpr char kInventoryTemporary[] = "RELEASE.signed~new";
inline constexpr char kSignatureTemporary[] = "RELEASE.sig~new";
inline constexpr char kInventoryBackup[] = "RELEASE.signed~old";
inline constexpr char kSignatureBackup[] = "RELEASE.sig~old";

struct PackageFile {
    std::string path;  // relative, '/'-separated, passed the relative path rules
    uint64_t size = 0;
};

struct PackageScan {
    std::vector<PackageFile> files;     // ascending byte order of the paths
    std::set<std::string> directories;  // every directory below the base, relative
};

// Walks `root` (an absolute directory path with no link in it) without following any link and
// returns its files, refusing (ToolError, status 2, the path named):
// - a symbolic link anywhere; a file with more than one name (hard link); anything that is
//   neither a plain file nor a directory (FIFO, socket, device);
// - a name outside the relative path rules (characters, components, length, device names);
// - "RELEASE.signed" or "RELEASE.sig" in any letter case anywhere, except these exact two names
//   at the top, which are the inventory's own files (they must be plain files) and are left out.
//   This is stricter than the bootstrap, which would accept such a name below the top; a package
//   is clearer without it. A leftover of an interrupted run is refused too;
// - two files or directories whose paths differ only in letter case, or a directory that
//   coincides with a reserved name in letter case;
// - an empty directory (no listed path would imply it, so the tree check would refuse it);
// - a file over 4 GiB; more than 512 files;
// - a missing "VeltoMarnLauncher.exe", "VeltoMarn.payload" or "package/release.json" (exact
//   spelling).
// Reads names and attributes only; changes nothing.
PackageScan ScanPackage(const std::string& root);

}  // namespace veltomarn::release

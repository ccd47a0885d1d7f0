#pragma once

// What a payload of a directory would hold, checked on the disk before anything is sealed.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace veltomarn::release {

struct InnerFile {
    std::string path;  // relative, '/'-separated, passed the relative path rules
    uint64_t size = 0;
    uint64_t device = 0;  // identity at scan time: the file sealed must be the file scanned
    uint64_t inode = 0;
};

struct InnerScan {
    std::vector<InnerFile> files;       // ascending byte order of the paths: the table order
    std::set<std::string> directories;  // every directory below the base, relative
    uint64_t plaintextBytes = 0;
};

// Walks `root` (an absolute directory path with no link in it) without following any link and
// returns what a payload of it would hold, refusing (ToolError, status 2, the path named) every
// directory that the bootstrap would refuse as a payload, or that would not come out of unsealing
// as it went in:
// - a symbolic link anywhere; a file with more than one name (hard link); anything that is
//   neither a plain file nor a directory;
// - a name outside the relative path rules (characters, components, 240 bytes, device names);
// - the reserved names: ".sealed-owner" at the top, anything ending in ".sealed-partial";
// - two files or directories whose paths differ only in letter case, and a file whose name
//   during unsealing (its path followed by ".sealed-partial") equals another file's or
//   directory's path in letter case;
// - an empty directory: only files are sealed, so it would not exist after unsealing;
// - more than 512 files; more than 4 GiB (4294967296 bytes) in all; a payload file that would be
//   larger than 4 GiB with its table and chunk records (the package check opens none larger);
// - a missing "VeltoMarnLauncher.exe", "RELEASE.signed" or "RELEASE.sig" at the top (exact
//   spelling, plain files).
// Reads names and attributes only; changes nothing.
InnerScan ScanInnerDirectory(const std::string& root);

}  // namespace veltomarn::release

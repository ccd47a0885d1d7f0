#pragma once

// Guarded access to files and directories below a base directory.
//
// A `GuardedDirectory` opens, and keeps open until it is destroyed, the base, every ancestor of
// the base, every directory on the way to a file it is asked for, and the file itself. Nothing is
// opened through a link: every open asks not to follow a reparse point, and every opened object is
// inspected (kind, reparse attribute, link count, size, streams). The share modes keep other
// processes from deleting, renaming or replacing any held object and from writing to held files,
// so what was checked stays as it was checked while the guard lives.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

inline constexpr uint32_t kMaxLocalPathUnits = 31999;

// `path` with "\\?\" in front. Admits only local drive paths: 3 to 31,999 units, ':' second and
// '\' third. Throws "LOCAL_PATH_REQUIRED" for anything else (UNC, prefixed, drive-relative,
// relative).
WideString LocalLongPath(const WideString& path);

// base + '\' + relative, every '/' turned into '\', every byte one UTF-16 unit; a base that
// already ends in '\' (a drive root) gets no second one. Checks nothing.
WideString JoinRelative(const WideString& base, const std::string& relative);

// The file information of an open handle of a disk file or directory.
// Throws "FILE_INFORMATION" (query failed, not a disk object), "REPARSE_POINT".
FileInformation QueryFileInformation(Platform& platform, Handle handle);

// Admits only the unnamed data stream and ":Zone.Identifier:$DATA" (exact case) on the object at
// absolute path `path`. Throws "LOCAL_PATH_REQUIRED", "STREAM_ENUMERATION", "UNEXPECTED_STREAM".
void CheckStreams(Platform& platform, const WideString& path);

class GuardedDirectory {
  public:
    // Holds the drive root, every ancestor of `base` and `base` itself, in that order. The drive
    // must be a local volume (fixed or removable): a mapped network drive is a syntactically local
    // path whose server could answer each read differently.
    // `skipStreamCheck` non-zero: held directories are not checked for streams (files always are).
    // Throws what LocalLongPath, HoldDirectory and CheckStreams throw; on failure every handle
    // opened so far is closed.
    GuardedDirectory(Platform& platform, WideString base, uint32_t skipStreamCheck);
    GuardedDirectory(const GuardedDirectory&) = delete;
    GuardedDirectory& operator=(const GuardedDirectory&) = delete;
    // Closes every held handle, first opened first closed.
    ~GuardedDirectory();

    const WideString& base() const { return base_; }
    Platform& platform() const { return platform_; }

    // Opens and holds directory `path` (absolute) unless it is already held.
    // Throws "LOCAL_PATH_REQUIRED", "DIRECTORY_OPEN", "FILE_INFORMATION", "REPARSE_POINT",
    // "DIRECTORY_TYPE", "STREAM_ENUMERATION", "UNEXPECTED_STREAM".
    void HoldDirectory(const WideString& path);

    // Holds every directory below the base that contains `relative`; its last component is not
    // held. Throws what HoldDirectory throws.
    void HoldParents(const std::string& relative);

    // Opens `relative` (a path that passed the relative path rules) for reading, unshared for
    // writing and deletion, and returns the handle, which the guard owns. A path opened before
    // returns the same handle at once: nothing is checked again and `sizeLimit` is not applied.
    // The file position is never moved.
    // Throws what HoldParents throws, and "LOCAL_PATH_REQUIRED", "FILE_OPEN", "FILE_INFORMATION",
    // "REPARSE_POINT", "FILE_TYPE_OR_LINK", "FILE_SIZE_LIMIT", "STREAM_ENUMERATION",
    // "UNEXPECTED_STREAM".
    Handle OpenFile(const std::string& relative, uint64_t sizeLimit);

    // The whole contents of a small file (limits up to 1 MiB), read from the current position.
    // Throws what OpenFile throws, and "FILE_INFORMATION", "REPARSE_POINT", "METADATA_READ".
    std::vector<uint8_t> ReadSmallFile(const std::string& relative, uint64_t sizeLimit);

  private:
    bool IsBaseOrBelow(const WideString& path) const;

    Platform& platform_;
    const WideString base_;
    const uint32_t skipStreamCheck_;
    std::vector<ScopedHandle> held_;
    std::set<WideString> heldDirectories_;
    std::map<std::string, Handle> openFiles_;
};

}  // namespace veltomarn

#pragma once

// Guarded access to files and directories below a base directory: the one way the logic reaches
// the file system below a base it holds.
//
// A `GuardedDirectory` opens, and keeps open until it is destroyed, the base, every ancestor of
// the base, every directory on the way to a file it is asked for, and the file itself. Nothing is
// opened through a link: every open asks not to follow a reparse point, and every opened object is
// inspected (kind, reparse attribute, link count, size, streams). The share modes keep other
// processes from deleting, renaming or replacing any held object and from writing to held files,
// so what was checked stays as it was checked while the guard lives.
//
// Every path given to a member is relative to the base (it passed the relative path rules; the
// empty path is the base itself), and every failure code a caller chooses is thrown as given.
// The members that do what a Win32 file call does end in `At` (the call, at a path below the
// base): `<windows.h>` turns the bare names into macros of their own.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
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
FileInformation QueryFileInformation(FileSystem& files, Handle handle);

// The file information of an open handle of a plain file: not a directory, no reparse point, one
// link only (a second name would let it change under another path). Throws what
// QueryFileInformation throws, then `failureCode` for a directory or a file with more links.
FileInformation QueryPlainFile(FileSystem& files, Handle handle, const char* failureCode);

// Admits only the unnamed data stream and ":Zone.Identifier:$DATA" (exact case) on the object at
// absolute path `path`. Throws "LOCAL_PATH_REQUIRED", "STREAM_ENUMERATION", "UNEXPECTED_STREAM".
void CheckStreams(FileSystem& files, const WideString& path);

// Writes `size` bytes (at most 4 GiB - 1) to `file` with one WriteFile call.
// Throws "CACHE_WRITE" when the call fails or writes a different number of bytes.
void WriteAll(FileSystem& files, Handle file, const uint8_t* data, std::size_t size);

// Sets the delete disposition on `file` (opened with DELETE access): the file goes when its last
// handle closes. Throws `failureCode`.
void MarkForDeletion(FileSystem& files, Handle file, const char* failureCode);

// How CreateFileAt opens or makes a file: CreateFileW's access, disposition and flags; never
// shared.
struct FileCreation {
    uint32_t access;
    uint32_t disposition;
    uint32_t flagsAndAttributes;
};

// A listed name as narrow text when every unit is printable ASCII (0x20 to 0x7E), the only names
// a checked tree or session holds; nothing otherwise.
std::optional<std::string> PrintableName(const WideString& name);

// Which held objects are checked for named streams.
enum class StreamCheck {
    kEverything,  // every held directory at or below the base, and every file
    kFilesOnly,   // files only
};

// One listing of a directory: its entries other than "." and "..", in the order the file system
// gives them. The search is closed when the listing is destroyed.
class DirectoryListing {
  public:
    // The next entry, or false at the end. Throws the caller's `openCode` when the listing cannot
    // be started, and its `breakCode` when it ends with a last error other than
    // ERROR_NO_MORE_FILES.
    bool Next(FindData& entry);

  private:
    friend class GuardedDirectory;
    DirectoryListing(FileSystem& files, WideString pattern, bool masked, const char* openCode,
                     const char* breakCode)
        : files_(&files),
          pattern_(std::move(pattern)),
          masked_(masked),
          openCode_(openCode),
          breakCode_(breakCode) {}

    FileSystem* files_;
    WideString pattern_;
    bool masked_;
    const char* openCode_;
    const char* breakCode_;
    ScopedFindHandle search_;
    bool started_ = false;
    bool ended_ = false;
};

class GuardedDirectory {
  public:
    // Holds the drive root, every ancestor of `base` and `base` itself, in that order. The drive
    // must be a local volume (fixed or removable): a mapped network drive is a syntactically local
    // path whose server could answer each read differently.
    // Throws what LocalLongPath, HoldDirectory and CheckStreams throw; on failure every handle
    // opened so far is closed.
    GuardedDirectory(FileSystem& files, WideString base, StreamCheck streams);
    GuardedDirectory(GuardedDirectory&& other) noexcept = default;
    GuardedDirectory& operator=(GuardedDirectory&& other) noexcept;
    // Closes every held handle, first opened first closed.
    ~GuardedDirectory();

    const WideString& base() const { return base_; }
    FileSystem& files() const { return *files_; }

    // The absolute path of `relative`: the base itself when `relative` is empty.
    WideString PathOf(const std::string& relative) const;

    // Holds directory `relative` and every directory between the base and it, each unless held
    // already. Throws "LOCAL_PATH_REQUIRED", "DIRECTORY_OPEN", "FILE_INFORMATION",
    // "REPARSE_POINT", "DIRECTORY_TYPE", "STREAM_ENUMERATION", "UNEXPECTED_STREAM".
    void HoldDirectory(const std::string& relative);

    // Holds every directory below the base that contains `relative`; its last component is not
    // held. Throws what HoldDirectory throws.
    void HoldParents(const std::string& relative);

    // Opens `relative` for reading, unshared for writing and deletion, and returns the handle,
    // which the guard owns. A path opened before returns the same handle at once: nothing is
    // checked again and `sizeLimit` is not applied. The file position is never moved.
    // Throws what HoldParents throws, and "LOCAL_PATH_REQUIRED", "FILE_OPEN", "FILE_INFORMATION",
    // "REPARSE_POINT", "FILE_TYPE_OR_LINK", "FILE_SIZE_LIMIT", "STREAM_ENUMERATION",
    // "UNEXPECTED_STREAM".
    Handle OpenFile(const std::string& relative, uint64_t sizeLimit);

    // The whole contents of a small file (limits up to 1 MiB), read from the current position.
    // Throws what OpenFile throws, and "FILE_INFORMATION", "REPARSE_POINT", "METADATA_READ".
    std::vector<uint8_t> ReadSmallFile(const std::string& relative, uint64_t sizeLimit);

    // Lists the entries of directory `relative` whose names match `mask` (the file system's
    // matching, which ignores letter case); a mask other than "*" that matches nothing
    // (ERROR_FILE_NOT_FOUND) is an empty listing. Holds nothing. Throws "LOCAL_PATH_REQUIRED" at
    // once; the listing throws `openCode` and `breakCode` (see DirectoryListing).
    DirectoryListing List(const std::string& relative, const char* openCode, const char* breakCode,
                          const char16_t* mask = u"*");

    // Creates directory `relative` with `attributes` below its held parents, or takes the one
    // that is there, and holds it. Returns whether it was created. Throws `failureCode` when it
    // can be neither created nor found existing, and what HoldDirectory throws.
    bool CreateDirectoryAt(const std::string& relative, const SecurityAttributes* attributes,
                           const char* failureCode);

    // Creates directory `relative` with `attributes` below its held parents; one that exists
    // already is refused. Not held: its own guard holds it. Throws `failureCode`, and what
    // HoldParents throws.
    void CreateNewDirectory(const std::string& relative, const SecurityAttributes* attributes,
                            const char* failureCode);

    // Opens or makes file `relative` as `how` says, unshared, with `attributes`, below its held
    // parents; the caller owns the handle and inspects it. Throws `failureCode`, or `busyCode`
    // when given and another opener holds the file (ERROR_SHARING_VIOLATION,
    // ERROR_LOCK_VIOLATION), and what HoldParents throws.
    ScopedHandle CreateFileAt(const std::string& relative, const FileCreation& how,
                              const SecurityAttributes* attributes, const char* failureCode,
                              const char* busyCode = nullptr);

    // Renames file `from` to `to` (never replacing a file, writing through). Throws `failureCode`.
    void MoveFileAt(const std::string& from, const std::string& to, const char* failureCode);

    // Opens file `relative` for deletion (DELETE and FILE_READ_ATTRIBUTES, shared for reading
    // only, not through a link) after its parents are held and its streams checked, and inspects
    // the handle; the caller owns it. Throws `openCode` when it cannot be opened, `typeCode` for a
    // directory or a file with more than one link, what HoldParents and CheckStreams throw, and
    // "FILE_INFORMATION", "REPARSE_POINT".
    ScopedHandle OpenForDeletion(const std::string& relative, const char* openCode,
                                 const char* typeCode);

    // Holds directory `relative` and opens it once more to change its access list: READ_CONTROL
    // and WRITE_DAC, shared as the holds are, not through a link; the caller owns the handle. The
    // hold keeps the name on the directory it inspected. Throws `failureCode` and what
    // HoldDirectory throws.
    ScopedHandle OpenForAccessControl(const std::string& relative, const char* failureCode);

    // Gives up the hold on directory `relative` (the base itself when empty) and removes it,
    // which only succeeds for an empty directory. Throws `failureCode`.
    void RemoveDirectoryAt(const std::string& relative, const char* failureCode);

  private:
    struct Held {
        WideString path;
        ScopedHandle handle;
    };

    void HoldAbsolute(const WideString& path);
    bool IsBaseOrBelow(const WideString& path) const;
    void Close();

    FileSystem* files_;
    WideString base_;
    StreamCheck streams_;
    std::vector<Held> held_;
    std::set<WideString> heldDirectories_;
    std::map<std::string, Handle> openFiles_;
};

}  // namespace veltomarn

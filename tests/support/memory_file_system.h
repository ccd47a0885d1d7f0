#pragma once

// The file system inside the in-memory Windows model: volumes named by drive letter, directories
// and files, hard links, symbolic links and junctions, named streams, and the two rules that make
// the guard's protection work, path resolution and share access, as NTFS applies them.
//
// Names are compared ignoring case (ASCII and Latin-1 letters) and kept as they were created.
// A node is shared by every name that refers to it (hard links) and by every open of it, so an
// open node survives the removal of its last name. Opens of every process are recorded in one
// table; the share check of a new open runs against all of them, in both directions.
//
// Not modelled: opening a named stream by name ("file:stream"), volume devices ("\\?\C:"),
// network paths (they answer ERROR_BAD_NETPATH), access control lists, and the delete-pending
// state of old Windows versions (a deleted name disappears at once, as with the POSIX delete
// semantics of current NTFS).

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veltomarn::testing {

// Windows error values that the model answers with beyond those the logic names.
namespace model {
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorNotSameDevice = 17;
inline constexpr uint32_t kErrorBadNetpath = 53;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorNegativeSeek = 131;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorDirectory = 267;
inline constexpr uint32_t kErrorNoAccess = 998;
inline constexpr uint32_t kErrorCantResolveFilename = 1921;

inline constexpr uint32_t kCreateAlways = 2;
inline constexpr uint32_t kOpenAlways = 4;
inline constexpr uint32_t kTruncateExisting = 5;

inline constexpr uint32_t kFileReadData = 0x0001;
inline constexpr uint32_t kFileWriteData = 0x0002;
inline constexpr uint32_t kFileAppendData = 0x0004;
inline constexpr uint32_t kFileExecute = 0x0020;
inline constexpr uint32_t kMaximumAllowed = 0x02000000;
inline constexpr uint32_t kGenericAll = 0x10000000;
inline constexpr uint32_t kGenericExecute = 0x20000000;

inline constexpr uint32_t kFileAttributeReadonly = 0x1;
inline constexpr uint32_t kFileAttributeHidden = 0x2;
inline constexpr uint32_t kFileAttributeSystem = 0x4;
inline constexpr uint32_t kFileAttributeArchive = 0x20;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
}  // namespace model

enum class NodeKind { File, Directory, SymbolicLink, Junction };

struct FsNode;
using FsNodePtr = std::shared_ptr<FsNode>;

struct FsEntry {
    WideString name;  // as created
    FsNodePtr node;
};

struct FsStream {
    WideString name;  // as reported, such as ":Zone.Identifier:$DATA"
    std::string bytes;
};

struct FsNode {
    NodeKind kind = NodeKind::File;
    bool directoryLink = false;  // a symbolic link made for a directory
    bool root = false;
    uint64_t index = 0;
    uint32_t volumeSerial = 0;
    uint32_t settableAttributes = 0;  // read-only, hidden, system, archive, ...
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    std::string bytes;              // a file's unnamed data stream
    std::vector<FsEntry> children;  // a directory's entries in creation order
    std::vector<WideString> listingOrder;
    WideString target;  // a link's target, absolute or (symbolic links) relative
    std::vector<FsStream> streams;
    uint32_t names = 0;            // directory entries that refer to the node
    std::weak_ptr<FsNode> parent;  // a directory's (or link's) containing directory

    // A directory, a directory symbolic link or a junction: opened only with backup semantics.
    bool IsDirectoryObject() const;
    bool IsLink() const { return kind == NodeKind::SymbolicLink || kind == NodeKind::Junction; }
    uint32_t Attributes() const;
};

// The result of resolving a path: the final name's directory and, when it exists, its node.
struct FsLocation {
    uint32_t error = 0;  // non-zero: the path cannot be resolved (2, 3, 123, ...)
    FsNodePtr parent;    // the directory that holds (or would hold) the final name
    FsNodePtr node;      // null when the final name does not exist
    WideString name;     // the final name, as stored when it exists, else as given
    WideChar drive = 0;
    bool trailingSeparator = false;
};

// One open of a node, by the program or by another process.
struct FsOpen {
    FsNodePtr node;
    uint32_t access = 0;
    uint32_t share = 0;
    bool foreign = false;
};

// What an open (CreateFileW or another process's open) came to.
struct FsOpenResult {
    uint32_t error = 0;         // non-zero: the open failed with this last error
    uint32_t successError = 0;  // the last error a successful open leaves (0 or 183)
    uint64_t openId = 0;
};

class MemoryFileSystem {
  public:
    MemoryFileSystem();

    // --- paths ---------------------------------------------------------------------------
    // Resolves `path` ("\\?\C:\...", "C:\...", or relative to `currentDirectory`). Reparse points
    // in intermediate components are always followed; the final one only when `followFinal`.
    FsLocation Locate(const WideString& path, bool followFinal,
                      const WideString& currentDirectory) const;

    // --- opens ---------------------------------------------------------------------------
    // CreateFileW's rules: dispositions, directories only with backup semantics, CREATE_NEW
    // refused on an existing name, share access against every open of the node.
    FsOpenResult Open(const WideString& path, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags, bool foreign, const WideString& currentDirectory);
    // Records an open of `node` (a listing's open of its directory, for example) without
    // checking; callers check AdmitsOpen first.
    uint64_t AddOpen(FsNodePtr node, uint32_t access, uint32_t share, bool foreign);
    void RemoveOpen(uint64_t openId);
    void RemoveForeignOpens();
    const FsOpen* FindOpen(uint64_t openId) const;
    // Whether every open of `node` admits a new open with `access` and `share`, and the new open
    // admits every existing one. Opens that ask for none of read, write and delete access
    // (reading attributes, for instance) neither conflict nor restrict.
    bool AdmitsOpen(const FsNode& node, uint32_t access, uint32_t share) const;

    // --- another process's changes (DeleteFileW / RemoveDirectoryW, MoveFileExW) -------------
    // Each returns 0 or the Windows error.
    uint32_t Delete(const WideString& path, const WideString& currentDirectory);
    uint32_t Rename(const WideString& from, const WideString& to,
                    const WideString& currentDirectory);
    // CreateDirectoryW: a new, empty directory under an existing one (183 when the name exists).
    uint32_t CreateDirectory(const WideString& path, const WideString& currentDirectory);

    // --- set-up by tests (absolute paths; missing parents are created) ----------------------
    // Misuse (an existing name of another kind, a relative path) throws std::logic_error.
    void AddVolume(WideChar letter, uint32_t serialNumber);
    void AddDirectory(const WideString& path);
    void AddFile(const WideString& path, std::string bytes);
    void AddHardLink(const WideString& path, const WideString& existingPath);
    void AddSymbolicLink(const WideString& path, const WideString& target, bool directory);
    void AddJunction(const WideString& path, const WideString& target);
    void AddStream(const WideString& path, const WideString& streamName, std::string bytes);
    void SetAttributes(const WideString& path, uint32_t attributes);
    void RemoveEntry(const WideString& path);
    void SetListingOrder(const WideString& directory, std::vector<WideString> names);
    bool Exists(const WideString& path) const;
    std::string FileBytes(const WideString& path) const;

    // Entries of a directory in listing order: the set order first, then creation order.
    static std::vector<const FsEntry*> ListingOf(const FsNode& directory);
    // The directory's parent, or the directory itself for a volume root.
    static FsNodePtr ParentOf(const FsNodePtr& directory);
    // Marks `node` as changed now.
    void Touch(FsNode& node);

  private:
    struct Volume {
        FsNodePtr root;
        uint32_t serialNumber;
    };

    FsLocation LocateParts(WideChar drive, std::vector<WideString> parts, bool trailingSeparator,
                           bool followFinal, int depth) const;
    FsNodePtr NewNode(NodeKind kind, WideChar drive);
    void Link(const FsNodePtr& directory, const WideString& name, const FsNodePtr& node);
    FsLocation LocateForSetUp(const WideString& path, bool followFinal) const;
    FsNodePtr EnsureDirectory(const WideString& path);
    FsLocation NewNameForSetUp(const WideString& path);
    bool HasOpenBelow(const FsNode& directory) const;

    std::map<WideChar, Volume> volumes_;  // keyed by the upper-case letter
    std::map<uint64_t, FsOpen> opens_;
    uint64_t nextIndex_ = 0x0001000000000100;
    uint64_t nextOpenId_ = 1;
    uint64_t clock_ = 133500000000000000;  // FILETIME, early 2024
};

// Windows' case-insensitive name comparison for the names the model holds.
bool SameName(const WideString& a, const WideString& b);
// Whether a handle opened with `access` may read (ReadFile) or write (WriteFile) its data, and
// whether it may only append.
bool GrantsReadData(uint32_t access);
bool GrantsWriteData(uint32_t access);
bool AppendsOnly(uint32_t access);
// FindFirstFileW's '*' and '?' matching, ignoring case; "*.*" matches every name.
bool MatchesMask(const WideString& name, const WideString& mask);

}  // namespace veltomarn::testing

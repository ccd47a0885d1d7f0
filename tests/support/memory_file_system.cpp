#include "support/memory_file_system.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "support/memory_platform.h"

namespace veltomarn::testing {
namespace {

constexpr uint32_t kMaxPathUnits = 260;  // paths without the prefix: MAX_PATH, null included
constexpr uint32_t kMaxLongPathUnits = 32767;
constexpr std::size_t kMaxComponentUnits = 255;
constexpr int kMaxReparseDepth = 63;
constexpr uint64_t kClockStep = 10000000;  // one second in FILETIME units

WideChar Fold(WideChar c) {
    if (c >= u'a' && c <= u'z') return WideChar(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WideChar(c - 0x20);  // Latin-1 letters
    if (c == 0xFF) return 0x178;
    return c;
}

bool IsDriveLetter(WideChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool IsDrivePath(const WideString& path) {
    return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
}

bool StartsWith(const WideString& text, const WideString& prefix) {
    return text.rfind(prefix, 0) == 0;
}

struct ParsedPath {
    uint32_t error = 0;
    WideChar drive = 0;
    std::vector<WideString> parts;
    bool trailingSeparator = false;
};

ParsedPath Failed(uint32_t error) {
    ParsedPath parsed;
    parsed.error = error;
    return parsed;
}

// A name NTFS accepts: no empty, "." or ".." component, no control or reserved character, at
// most 255 units. ':' would name a stream, which the model does not open.
uint32_t CheckComponent(const WideString& part) {
    if (part.empty() || part == u"." || part == u"..") return model::kErrorInvalidName;
    if (part.size() > kMaxComponentUnits) return model::kErrorInvalidName;
    for (const WideChar c : part) {
        if (c < 0x20 || WideString(u"<>:\"/\\|?*").find(c) != WideString::npos) {
            return model::kErrorInvalidName;
        }
    }
    return 0;
}

// "X:\a\b" into its drive and components, with nothing normalised.
ParsedPath SplitDrivePath(const WideString& path) {
    ParsedPath parsed;
    parsed.drive = Fold(path[0]);
    const WideString rest = path.substr(3);
    if (rest.empty()) return parsed;
    std::vector<WideString> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = rest.find(u'\\', start);
        parts.push_back(rest.substr(start, end == WideString::npos ? end : end - start));
        if (end == WideString::npos) break;
        start = end + 1;
    }
    // "a\b\" ends in an empty part: a trailing separator, allowed once.
    if (parts.size() > 1 && parts.back().empty()) {
        parts.pop_back();
        parsed.trailingSeparator = true;
    }
    for (const WideString& part : parts) {
        if (const uint32_t error = CheckComponent(part); error != 0) return Failed(error);
    }
    parsed.parts = std::move(parts);
    return parsed;
}

ParsedPath ParsePath(const WideString& path, const WideString& currentDirectory) {
    if (path.empty()) return Failed(win::kErrorPathNotFound);
    if (path.size() > kMaxLongPathUnits) return Failed(win::kErrorFilenameExcedRange);
    if (StartsWith(path, u"\\\\?\\")) {
        // Behind the prefix nothing is normalised: "..", "/" and doubled separators stay invalid.
        const WideString rest = path.substr(4);
        if (rest.size() >= 4 && SameName(rest.substr(0, 4), u"UNC\\")) {
            return Failed(model::kErrorBadNetpath);
        }
        if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == u':') {
            if (rest.size() == 2) return Failed(win::kErrorAccessDenied);  // the volume device
            if (rest[2] != u'\\') return Failed(win::kErrorPathNotFound);
            return SplitDrivePath(rest);
        }
        return Failed(win::kErrorPathNotFound);
    }
    if (StartsWith(path, u"\\\\.\\")) {
        const WideString rest = path.substr(4);
        return IsDrivePath(rest) ? ParsePath(rest, currentDirectory)
                                 : Failed(win::kErrorFileNotFound);
    }
    if (StartsWith(path, u"\\\\")) return Failed(model::kErrorBadNetpath);
    // Without the prefix, Windows normalises the path and limits it to MAX_PATH.
    const WideString full = ModelFullPath(path, currentDirectory);
    if (full.size() >= kMaxPathUnits || !IsDrivePath(full)) return Failed(win::kErrorPathNotFound);
    return SplitDrivePath(full);
}

const FsEntry* FindEntry(const FsNode& directory, const WideString& name) {
    for (const FsEntry& entry : directory.children) {
        if (SameName(entry.name, name)) return &entry;
    }
    return nullptr;
}

void Unlink(FsNode& directory, const WideString& name) {
    const auto it = std::find_if(directory.children.begin(), directory.children.end(),
                                 [&](const FsEntry& entry) { return SameName(entry.name, name); });
    if (it == directory.children.end()) return;
    --it->node->names;
    directory.children.erase(it);
    directory.listingOrder.erase(
        std::remove_if(directory.listingOrder.begin(), directory.listingOrder.end(),
                       [&](const WideString& n) { return SameName(n, name); }),
        directory.listingOrder.end());
}

WideString ParentPath(WideString path) {
    while (path.size() > 3 && path.back() == u'\\') path.pop_back();
    const std::size_t slash = path.rfind(u'\\');
    if (slash == WideString::npos || slash < 2) return path;
    return slash == 2 ? path.substr(0, 3) : path.substr(0, slash);
}

// The last component of a path as it was written.
WideString FinalComponent(WideString path) {
    while (!path.empty() && path.back() == u'\\') path.pop_back();
    return path.substr(path.rfind(u'\\') + 1);
}

void CollectSubtree(const FsNode& directory, std::set<const FsNode*>& nodes) {
    for (const FsEntry& entry : directory.children) {
        if (!nodes.insert(entry.node.get()).second) continue;
        if (entry.node->kind == NodeKind::Directory) CollectSubtree(*entry.node, nodes);
    }
}

struct AccessClass {
    bool read;
    bool write;
    bool remove;
    bool Any() const { return read || write || remove; }
};

// The access that share modes govern, after generic rights are mapped to file rights.
AccessClass Classify(uint32_t access) {
    const bool all = (access & (model::kGenericAll | model::kMaximumAllowed)) != 0;
    return AccessClass{all || (access & (win::kGenericRead | model::kGenericExecute |
                                         model::kFileReadData | model::kFileExecute)) != 0,
                       all || (access & (win::kGenericWrite | model::kFileWriteData |
                                         model::kFileAppendData)) != 0,
                       all || (access & win::kDelete) != 0};
}

[[noreturn]] void Misuse(const std::string& what) {
    throw std::logic_error("MemoryFileSystem set-up: " + what);
}

}  // namespace

bool SameName(const WideString& a, const WideString& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](WideChar x, WideChar y) { return Fold(x) == Fold(y); });
}

bool GrantsReadData(uint32_t access) {
    return (access & (win::kGenericRead | model::kGenericAll | model::kMaximumAllowed |
                      model::kFileReadData)) != 0;
}

bool GrantsWriteData(uint32_t access) {
    return (access & (win::kGenericWrite | model::kGenericAll | model::kMaximumAllowed |
                      model::kFileWriteData | model::kFileAppendData)) != 0;
}

bool AppendsOnly(uint32_t access) {
    return (access & model::kFileAppendData) != 0 &&
           (access & (win::kGenericWrite | model::kGenericAll | model::kMaximumAllowed |
                      model::kFileWriteData)) == 0;
}

bool MatchesMask(const WideString& name, const WideString& mask) {
    if (mask == u"*" || mask == u"*.*") return true;
    // Iterative wildcard match with backtracking to the last '*'.
    std::size_t n = 0, m = 0, star = WideString::npos, resume = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == u'?' || Fold(mask[m]) == Fold(name[n]))) {
            ++n, ++m;
        } else if (m < mask.size() && mask[m] == u'*') {
            star = m++;
            resume = n;
        } else if (star != WideString::npos) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == u'*') ++m;
    return m == mask.size();
}

bool FsNode::IsDirectoryObject() const {
    return kind == NodeKind::Directory || kind == NodeKind::Junction ||
           (kind == NodeKind::SymbolicLink && directoryLink);
}

uint32_t FsNode::Attributes() const {
    switch (kind) {
        case NodeKind::File:
            return settableAttributes == 0 ? model::kFileAttributeNormal : settableAttributes;
        case NodeKind::Directory:
            return win::kFileAttributeDirectory | settableAttributes |
                   (root ? model::kFileAttributeHidden | model::kFileAttributeSystem : 0);
        case NodeKind::SymbolicLink:
            return win::kFileAttributeReparsePoint | settableAttributes |
                   (directoryLink ? win::kFileAttributeDirectory : 0);
        case NodeKind::Junction:
            return win::kFileAttributeReparsePoint | win::kFileAttributeDirectory |
                   settableAttributes;
    }
    return 0;
}

MemoryFileSystem::MemoryFileSystem() {
    AddVolume(u'C', 0x6E2A41C3);
}

// --- paths -------------------------------------------------------------------------------------

FsLocation MemoryFileSystem::Locate(const WideString& path, bool followFinal,
                                    const WideString& currentDirectory) const {
    const ParsedPath parsed = ParsePath(path, currentDirectory);
    if (parsed.error != 0) {
        FsLocation failed;
        failed.error = parsed.error;
        return failed;
    }
    return LocateParts(parsed.drive, parsed.parts, parsed.trailingSeparator, followFinal, 0);
}

FsLocation MemoryFileSystem::LocateParts(WideChar drive, std::vector<WideString> parts,
                                         bool trailingSeparator, bool followFinal,
                                         int depth) const {
    FsLocation location;
    location.drive = drive;
    location.trailingSeparator = trailingSeparator;
    const auto volume = volumes_.find(drive);
    if (volume == volumes_.end()) {
        location.error = win::kErrorPathNotFound;
        return location;
    }
    FsNodePtr directory = volume->second.root;
    if (parts.empty()) {
        location.node = directory;
        return location;
    }
    WideString walked = WideString(1, drive) + u":";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const FsEntry* entry = FindEntry(*directory, parts[i]);
        if (entry == nullptr) {
            if (!last) {
                location.error = win::kErrorPathNotFound;
                return location;
            }
            location.parent = directory;
            location.name = parts[i];
            return location;
        }
        const FsNodePtr node = entry->node;
        if (node->IsLink() && (!last || followFinal)) {
            // The link's target replaces the path up to and including the link.
            if (depth >= kMaxReparseDepth) {
                location.error = model::kErrorCantResolveFilename;
                return location;
            }
            const WideString base = walked + u"\\";
            const WideString target =
                ModelFullPath(IsDrivePath(node->target) ? node->target : base + node->target, base);
            ParsedPath resolved =
                IsDrivePath(target) ? SplitDrivePath(target) : Failed(win::kErrorPathNotFound);
            if (resolved.error != 0) {
                location.error = resolved.error;
                return location;
            }
            resolved.parts.insert(resolved.parts.end(), parts.begin() + i + 1, parts.end());
            return LocateParts(resolved.drive, resolved.parts, trailingSeparator, followFinal,
                               depth + 1);
        }
        if (last) {
            location.parent = directory;
            location.node = node;
            location.name = entry->name;
            return location;
        }
        if (node->kind != NodeKind::Directory) {
            location.error = win::kErrorPathNotFound;
            return location;
        }
        directory = node;
        walked += u"\\" + entry->name;
    }
    return location;
}

// --- opens -------------------------------------------------------------------------------------

FsOpenResult MemoryFileSystem::Open(const WideString& path, uint32_t access, uint32_t share,
                                    uint32_t disposition, uint32_t flags, bool foreign,
                                    const WideString& currentDirectory) {
    FsOpenResult result;
    if (disposition < win::kCreateNew || disposition > model::kTruncateExisting) {
        result.error = win::kErrorInvalidParameter;
        return result;
    }
    const bool followFinal = (flags & win::kFileFlagOpenReparsePoint) == 0;
    const FsLocation location = Locate(path, followFinal, currentDirectory);
    if (location.error != 0) {
        result.error = location.error;
        return result;
    }
    if (!location.node) {
        if (disposition == win::kOpenExisting || disposition == model::kTruncateExisting) {
            result.error = win::kErrorFileNotFound;
        } else if (location.trailingSeparator) {
            result.error = model::kErrorInvalidName;
        } else {
            // CreateFileW makes files only; attribute bits of the flags become its attributes.
            const FsNodePtr file = NewNode(NodeKind::File, location.drive);
            const uint32_t settable =
                flags & (model::kFileAttributeReadonly | model::kFileAttributeHidden |
                         model::kFileAttributeSystem);
            file->settableAttributes = settable | model::kFileAttributeArchive;
            Link(location.parent, location.name, file);
            result.openId = AddOpen(file, access, share, foreign);
        }
        return result;
    }
    const FsNodePtr& node = location.node;
    if (disposition == win::kCreateNew) {
        result.error = win::kErrorFileExists;
        return result;
    }
    const bool rewrites =
        disposition == model::kCreateAlways || disposition == model::kTruncateExisting;
    if (node->IsDirectoryObject()) {
        if ((flags & win::kFileFlagBackupSemantics) == 0 || rewrites) {
            result.error = win::kErrorAccessDenied;
            return result;
        }
    } else if (location.trailingSeparator) {
        result.error = model::kErrorInvalidName;
        return result;
    }
    if ((node->settableAttributes & model::kFileAttributeReadonly) != 0 && Classify(access).write) {
        result.error = win::kErrorAccessDenied;
        return result;
    }
    if (disposition == model::kTruncateExisting && !GrantsWriteData(access)) {
        result.error = win::kErrorInvalidParameter;
        return result;
    }
    if (!AdmitsOpen(*node, access, share)) {
        result.error = win::kErrorSharingViolation;
        return result;
    }
    if (rewrites) {
        node->bytes.clear();
        Touch(*node);
    }
    result.openId = AddOpen(node, access, share, foreign);
    if (disposition == model::kCreateAlways || disposition == model::kOpenAlways) {
        result.successError = win::kErrorAlreadyExists;
    }
    return result;
}

uint64_t MemoryFileSystem::AddOpen(FsNodePtr node, uint32_t access, uint32_t share, bool foreign) {
    const uint64_t id = nextOpenId_++;
    opens_.emplace(id, FsOpen{std::move(node), access, share, foreign});
    return id;
}

void MemoryFileSystem::RemoveOpen(uint64_t openId) {
    opens_.erase(openId);
}

void MemoryFileSystem::RemoveForeignOpens() {
    for (auto it = opens_.begin(); it != opens_.end();) {
        it = it->second.foreign ? opens_.erase(it) : std::next(it);
    }
}

const FsOpen* MemoryFileSystem::FindOpen(uint64_t openId) const {
    const auto it = opens_.find(openId);
    return it == opens_.end() ? nullptr : &it->second;
}

bool MemoryFileSystem::AdmitsOpen(const FsNode& node, uint32_t access, uint32_t share) const {
    const AccessClass wanted = Classify(access);
    if (!wanted.Any()) return true;
    for (const auto& [id, open] : opens_) {
        if (open.node.get() != &node) continue;
        const AccessClass held = Classify(open.access);
        if (!held.Any()) continue;
        if ((wanted.read && (open.share & win::kFileShareRead) == 0) ||
            (wanted.write && (open.share & win::kFileShareWrite) == 0) ||
            (wanted.remove && (open.share & win::kFileShareDelete) == 0) ||
            (held.read && (share & win::kFileShareRead) == 0) ||
            (held.write && (share & win::kFileShareWrite) == 0) ||
            (held.remove && (share & win::kFileShareDelete) == 0)) {
            return false;
        }
    }
    return true;
}

bool MemoryFileSystem::HasOpenBelow(const FsNode& directory) const {
    std::set<const FsNode*> below;
    CollectSubtree(directory, below);
    return std::any_of(opens_.begin(), opens_.end(),
                       [&](const auto& open) { return below.count(open.second.node.get()) != 0; });
}

// --- another process's changes ------------------------------------------------------------------

uint32_t MemoryFileSystem::Delete(const WideString& path, const WideString& currentDirectory) {
    const FsLocation location = Locate(path, false, currentDirectory);
    if (location.error != 0) return location.error;
    if (!location.node) return win::kErrorFileNotFound;
    const FsNodePtr& node = location.node;
    if (node->root) return win::kErrorAccessDenied;
    // DeleteFileW and RemoveDirectoryW open the name for delete access, sharing everything.
    if (!AdmitsOpen(*node, win::kDelete,
                    win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete)) {
        return win::kErrorSharingViolation;
    }
    if ((node->settableAttributes & model::kFileAttributeReadonly) != 0) {
        return win::kErrorAccessDenied;
    }
    if (node->kind == NodeKind::Directory && !node->children.empty()) {
        return model::kErrorDirNotEmpty;
    }
    Unlink(*location.parent, location.name);
    Touch(*location.parent);
    return 0;
}

uint32_t MemoryFileSystem::Rename(const WideString& from, const WideString& to,
                                  const WideString& currentDirectory) {
    const FsLocation source = Locate(from, false, currentDirectory);
    if (source.error != 0) return source.error;
    if (!source.node) return win::kErrorFileNotFound;
    if (source.node->root) return win::kErrorAccessDenied;
    if (!AdmitsOpen(*source.node, win::kDelete,
                    win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete)) {
        return win::kErrorSharingViolation;
    }
    const FsLocation target = Locate(to, false, currentDirectory);
    if (target.error != 0) return target.error;
    if (target.drive != source.drive) return model::kErrorNotSameDevice;
    if (!target.parent) return win::kErrorAccessDenied;  // onto a volume root
    // The new name's directory is opened for adding an entry, sharing reading and writing only.
    if (!AdmitsOpen(*target.parent, model::kFileWriteData,
                    win::kFileShareRead | win::kFileShareWrite)) {
        return win::kErrorSharingViolation;
    }
    const bool caseOnly = target.node == source.node && target.parent == source.parent;
    if (target.node && !caseOnly) return win::kErrorAlreadyExists;
    if (source.node->kind == NodeKind::Directory) {
        // NTFS refuses to rename a directory while anything below it is open.
        if (HasOpenBelow(*source.node)) return win::kErrorAccessDenied;
        for (FsNodePtr up = target.parent; up && !up->root; up = ParentOf(up)) {
            if (up == source.node) return win::kErrorAccessDenied;  // into itself
        }
    }
    const FsNodePtr node = source.node;
    Unlink(*source.parent, source.name);
    Link(target.parent, caseOnly ? FinalComponent(to) : target.name, node);
    Touch(*source.parent);
    return 0;
}

uint32_t MemoryFileSystem::CreateDirectory(const WideString& path,
                                           const WideString& currentDirectory) {
    const FsLocation location = Locate(path, false, currentDirectory);
    if (location.error != 0) return location.error;
    if (location.node) return win::kErrorAlreadyExists;
    if (!location.parent) return win::kErrorAccessDenied;
    // Adding an entry opens the parent for writing, sharing reading and writing only.
    if (!AdmitsOpen(*location.parent, model::kFileWriteData,
                    win::kFileShareRead | win::kFileShareWrite)) {
        return win::kErrorSharingViolation;
    }
    Link(location.parent, location.name, NewNode(NodeKind::Directory, location.drive));
    Touch(*location.parent);
    return 0;
}

// --- set-up ------------------------------------------------------------------------------------

void MemoryFileSystem::AddVolume(WideChar letter, uint32_t serialNumber) {
    if (!IsDriveLetter(letter)) Misuse("a volume needs a drive letter");
    const WideChar drive = Fold(letter);
    if (volumes_.count(drive) != 0) return;
    Volume volume{std::make_shared<FsNode>(), serialNumber};
    volume.root->kind = NodeKind::Directory;
    volume.root->root = true;
    volume.root->index = 5;  // the root directory's file record on NTFS
    volume.root->volumeSerial = serialNumber;
    volume.root->names = 1;
    volume.root->creationTime = volume.root->lastAccessTime = volume.root->lastWriteTime = clock_;
    volumes_.emplace(drive, std::move(volume));
}

FsLocation MemoryFileSystem::LocateForSetUp(const WideString& path, bool followFinal) const {
    if (!IsDrivePath(path)) Misuse("paths are absolute drive paths");
    // Set-up is not held to MAX_PATH: normalise, then resolve as a prefixed path.
    return Locate(u"\\\\?\\" + ModelFullPath(path, u"C:\\"), followFinal, u"C:\\");
}

FsNodePtr MemoryFileSystem::EnsureDirectory(const WideString& path) {
    AddVolume(path[0], 0x6E2A4100 + Fold(path[0]));
    FsLocation location = LocateForSetUp(path, true);
    if (location.error == win::kErrorPathNotFound) {
        EnsureDirectory(ParentPath(path));
        location = LocateForSetUp(path, true);
    }
    if (location.error != 0) Misuse("cannot reach the directory");
    if (location.node) {
        if (location.node->kind != NodeKind::Directory) Misuse("a non-directory is in the way");
        return location.node;
    }
    const FsNodePtr directory = NewNode(NodeKind::Directory, location.drive);
    Link(location.parent, location.name, directory);
    return directory;
}

FsLocation MemoryFileSystem::NewNameForSetUp(const WideString& path) {
    if (!IsDrivePath(path)) Misuse("paths are absolute drive paths");
    EnsureDirectory(ParentPath(path));
    const FsLocation location = LocateForSetUp(path, false);
    if (location.error != 0 || !location.parent) Misuse("cannot reach the name");
    return location;
}

void MemoryFileSystem::AddDirectory(const WideString& path) {
    EnsureDirectory(path);
}

void MemoryFileSystem::AddFile(const WideString& path, std::string bytes) {
    const FsLocation location = NewNameForSetUp(path);
    if (location.node) {
        // Replacing the contents keeps the node, its other names and its opens.
        if (location.node->kind != NodeKind::File) Misuse("a non-file is in the way");
        location.node->bytes = std::move(bytes);
        Touch(*location.node);
        return;
    }
    const FsNodePtr file = NewNode(NodeKind::File, location.drive);
    file->settableAttributes = model::kFileAttributeArchive;
    file->bytes = std::move(bytes);
    Link(location.parent, location.name, file);
}

void MemoryFileSystem::AddHardLink(const WideString& path, const WideString& existingPath) {
    const FsLocation existing = LocateForSetUp(existingPath, false);
    if (existing.error != 0 || !existing.node || existing.node->kind != NodeKind::File) {
        Misuse("a hard link needs an existing file");
    }
    const FsLocation location = NewNameForSetUp(path);
    if (location.node) Misuse("the hard link's name exists");
    if (location.drive != existing.drive) Misuse("hard links stay on one volume");
    Link(location.parent, location.name, existing.node);
}

void MemoryFileSystem::AddSymbolicLink(const WideString& path, const WideString& target,
                                       bool directory) {
    const FsLocation location = NewNameForSetUp(path);
    if (location.node) Misuse("the link's name exists");
    const FsNodePtr link = NewNode(NodeKind::SymbolicLink, location.drive);
    link->directoryLink = directory;
    link->settableAttributes = directory ? 0 : model::kFileAttributeArchive;
    link->target = target;
    Link(location.parent, location.name, link);
}

void MemoryFileSystem::AddJunction(const WideString& path, const WideString& target) {
    if (!IsDrivePath(target)) Misuse("a junction's target is an absolute drive path");
    const FsLocation location = NewNameForSetUp(path);
    if (location.node) Misuse("the junction's name exists");
    const FsNodePtr junction = NewNode(NodeKind::Junction, location.drive);
    junction->target = target;
    Link(location.parent, location.name, junction);
}

void MemoryFileSystem::AddStream(const WideString& path, const WideString& streamName,
                                 std::string bytes) {
    const FsLocation location = LocateForSetUp(path, false);
    if (location.error != 0 || !location.node) Misuse("a stream needs an existing object");
    const WideString name =
        !streamName.empty() && streamName[0] == u':' ? streamName : u":" + streamName + u":$DATA";
    if (SameName(name, u"::$DATA")) Misuse("the unnamed stream is the file's data");
    for (FsStream& stream : location.node->streams) {
        if (stream.name == name) {
            stream.bytes = std::move(bytes);
            return;
        }
    }
    location.node->streams.push_back(FsStream{name, std::move(bytes)});
}

void MemoryFileSystem::SetAttributes(const WideString& path, uint32_t attributes) {
    const FsLocation location = LocateForSetUp(path, false);
    if (location.error != 0 || !location.node) Misuse("no such object");
    location.node->settableAttributes =
        attributes & ~(win::kFileAttributeDirectory | win::kFileAttributeReparsePoint |
                       model::kFileAttributeNormal);
}

void MemoryFileSystem::RemoveEntry(const WideString& path) {
    const FsLocation location = LocateForSetUp(path, false);
    if (location.error != 0 || !location.node || !location.parent) Misuse("no such entry");
    Unlink(*location.parent, location.name);
    Touch(*location.parent);
}

void MemoryFileSystem::SetListingOrder(const WideString& directory, std::vector<WideString> names) {
    const FsLocation location = LocateForSetUp(directory, true);
    if (location.error != 0 || !location.node || location.node->kind != NodeKind::Directory) {
        Misuse("no such directory");
    }
    location.node->listingOrder = std::move(names);
}

bool MemoryFileSystem::Exists(const WideString& path) const {
    if (!IsDrivePath(path)) return false;
    const FsLocation location = LocateForSetUp(path, false);
    return location.error == 0 && location.node != nullptr;
}

std::string MemoryFileSystem::FileBytes(const WideString& path) const {
    const FsLocation location = LocateForSetUp(path, true);
    if (location.error != 0 || !location.node || location.node->kind != NodeKind::File) {
        Misuse("no such file");
    }
    return location.node->bytes;
}

// --- helpers -----------------------------------------------------------------------------------

std::vector<const FsEntry*> MemoryFileSystem::ListingOf(const FsNode& directory) {
    std::vector<const FsEntry*> listing;
    for (const WideString& name : directory.listingOrder) {
        const FsEntry* entry = FindEntry(directory, name);
        if (entry != nullptr && std::find(listing.begin(), listing.end(), entry) == listing.end()) {
            listing.push_back(entry);
        }
    }
    for (const FsEntry& entry : directory.children) {
        if (std::find(listing.begin(), listing.end(), &entry) == listing.end()) {
            listing.push_back(&entry);
        }
    }
    return listing;
}

FsNodePtr MemoryFileSystem::ParentOf(const FsNodePtr& directory) {
    if (directory->root) return directory;
    FsNodePtr parent = directory->parent.lock();
    return parent ? parent : directory;
}

void MemoryFileSystem::Touch(FsNode& node) {
    clock_ += kClockStep;
    node.lastWriteTime = node.lastAccessTime = clock_;
}

FsNodePtr MemoryFileSystem::NewNode(NodeKind kind, WideChar drive) {
    const FsNodePtr node = std::make_shared<FsNode>();
    node->kind = kind;
    node->index = nextIndex_++;
    node->volumeSerial = volumes_.at(Fold(drive)).serialNumber;
    clock_ += kClockStep;
    node->creationTime = node->lastAccessTime = node->lastWriteTime = clock_;
    return node;
}

void MemoryFileSystem::Link(const FsNodePtr& directory, const WideString& name,
                            const FsNodePtr& node) {
    directory->children.push_back(FsEntry{name, node});
    ++node->names;
    if (node->kind != NodeKind::File) node->parent = directory;
    Touch(*directory);
}

}  // namespace veltomarn::testing

#include "core/guarded_directory.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/failure.h"

namespace veltomarn {
namespace {

using win::kLongPathPrefix;
constexpr WideChar kUnnamedDataStream[] = u"::$DATA";
constexpr WideChar kZoneIdentifierStream[] = u":Zone.Identifier:$DATA";

constexpr uint32_t kDirectoryAccess = win::kFileListDirectory | win::kFileReadAttributes;
constexpr uint32_t kDirectoryShare = win::kFileShareRead | win::kFileShareWrite;
constexpr uint32_t kDirectoryFlags = win::kFileFlagBackupSemantics | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kFileFlags = win::kFileFlagSequentialScan | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kDeleteAccess = win::kDelete | win::kFileReadAttributes;
constexpr uint32_t kAccessControl = win::kReadControl | win::kWriteDac;
constexpr uint32_t kMoveFileWriteThrough = 8;

bool IsAllowedStream(const WideString& name) {
    return name == kUnnamedDataStream || name == kZoneIdentifierStream;
}

}  // namespace

WideString LocalLongPath(const WideString& path) {
    check(path.size() >= 3 && path.size() <= kMaxLocalPathUnits, "LOCAL_PATH_REQUIRED");
    check(path[1] == u':' && path[2] == u'\\', "LOCAL_PATH_REQUIRED");
    return kLongPathPrefix + path;
}

WideString JoinRelative(const WideString& base, const std::string& relative) {
    WideString joined = base;
    joined.reserve(base.size() + 1 + relative.size());
    // A drive root ("C:\\") already ends in the separator; a doubled one names nothing.
    if (joined.empty() || joined.back() != u'\\') joined.push_back(u'\\');
    for (const char c : relative) {
        joined.push_back(c == '/' ? u'\\' : static_cast<WideChar>(static_cast<unsigned char>(c)));
    }
    return joined;
}

FileInformation QueryFileInformation(FileSystem& files, Handle handle) {
    FileInformation information;
    check(files.GetFileInformationByHandle(handle, &information), "FILE_INFORMATION");
    check(files.GetFileType(handle) == win::kFileTypeDisk, "FILE_INFORMATION");
    check((information.attributes & win::kFileAttributeReparsePoint) == 0, "REPARSE_POINT");
    return information;
}

FileInformation QueryPlainFile(FileSystem& files, Handle handle, const char* failureCode) {
    const FileInformation information = QueryFileInformation(files, handle);
    check((information.attributes & win::kFileAttributeDirectory) == 0 &&
              information.numberOfLinks == 1,
          failureCode);
    return information;
}

void CheckStreams(FileSystem& files, const WideString& path) {
    const WideString longPath = LocalLongPath(path);
    StreamData stream;
    ScopedFindHandle search(
        files, files.FindFirstStreamW(longPath.c_str(), win::kFindStreamInfoStandard, &stream, 0));
    if (!search) {
        // No stream at all is the usual answer for a directory.
        check(files.GetLastError() == win::kErrorHandleEof, "STREAM_ENUMERATION");
        return;
    }
    do {
        check(IsAllowedStream(stream.name), "UNEXPECTED_STREAM");
    } while (files.FindNextStreamW(search.get(), &stream));
    const uint32_t error = files.GetLastError();
    search.reset();
    check(error == win::kErrorHandleEof, "UNEXPECTED_STREAM");
}

void WriteAll(FileSystem& files, Handle file, const uint8_t* data, std::size_t size) {
    check(size <= UINT32_MAX, "CACHE_WRITE");
    const auto count = static_cast<uint32_t>(size);
    uint32_t written = 0;
    check(files.WriteFile(file, data, count, &written) && written == count, "CACHE_WRITE");
}

void MarkForDeletion(FileSystem& files, Handle file, const char* failureCode) {
    const FileDispositionInfo disposition{true};
    check(files.SetFileInformationByHandle(file, win::kFileDispositionInfoClass, &disposition),
          failureCode);
}

std::optional<std::string> PrintableName(const WideString& name) {
    std::string narrow;
    narrow.reserve(name.size());
    for (const WideChar unit : name) {
        if (unit < 0x20 || unit > 0x7E) return std::nullopt;
        narrow.push_back(static_cast<char>(unit));
    }
    return narrow;
}

bool DirectoryListing::Next(FindData& entry) {
    while (!ended_) {
        if (!started_) {
            started_ = true;
            search_ = ScopedFindHandle(*files_, files_->FindFirstFileW(pattern_.c_str(), &entry));
            if (!search_.valid()) {
                ended_ = true;
                check(masked_ && files_->GetLastError() == win::kErrorFileNotFound, openCode_);
                return false;
            }
        } else if (!files_->FindNextFileW(search_.get(), &entry)) {
            const uint32_t error = files_->GetLastError();
            ended_ = true;
            search_.reset();
            check(error == win::kErrorNoMoreFiles, breakCode_);
            return false;
        }
        if (entry.name != u"." && entry.name != u"..") return true;
    }
    return false;
}

GuardedDirectory::GuardedDirectory(FileSystem& files, WideString base, StreamCheck streams)
    : files_(&files), base_(std::move(base)), streams_(streams) {
    LocalLongPath(base_);
    const uint32_t drive = files_->GetDriveTypeW(base_.substr(0, 3).c_str());
    check(drive == win::kDriveFixed || drive == win::kDriveRemovable, "LOCAL_PATH_REQUIRED");
    HoldAbsolute(base_.substr(0, 3));
    for (std::size_t i = 3; i < base_.size(); ++i) {
        if (base_[i] == u'\\') HoldAbsolute(base_.substr(0, i));
    }
    HoldAbsolute(base_);
}

GuardedDirectory& GuardedDirectory::operator=(GuardedDirectory&& other) noexcept {
    if (this != &other) {
        Close();
        files_ = other.files_;
        base_ = std::move(other.base_);
        streams_ = other.streams_;
        held_ = std::move(other.held_);
        heldDirectories_ = std::move(other.heldDirectories_);
        openFiles_ = std::move(other.openFiles_);
    }
    return *this;
}

GuardedDirectory::~GuardedDirectory() {
    Close();
}

void GuardedDirectory::Close() {
    for (Held& held : held_) held.handle.reset();
}

WideString GuardedDirectory::PathOf(const std::string& relative) const {
    return relative.empty() ? base_ : JoinRelative(base_, relative);
}

bool GuardedDirectory::IsBaseOrBelow(const WideString& path) const {
    if (path.size() < base_.size()) return false;
    const int order =
        files_->CompareStringOrdinal(path.c_str(), static_cast<int>(base_.size()), base_.c_str(),
                                     static_cast<int>(base_.size()), true);
    // A failed comparison counts as below: the stream check then runs rather than being skipped.
    if (order != win::kCstrEqual && order != 0) return false;
    return path.size() == base_.size() || base_.back() == u'\\' || path[base_.size()] == u'\\';
}

void GuardedDirectory::HoldAbsolute(const WideString& path) {
    if (heldDirectories_.count(path) != 0) return;
    const WideString longPath = LocalLongPath(path);
    ScopedHandle handle(
        *files_, files_->CreateFileW(longPath.c_str(), kDirectoryAccess, kDirectoryShare, nullptr,
                                     win::kOpenExisting, kDirectoryFlags, nullptr));
    check(handle.valid(), "DIRECTORY_OPEN");
    const FileInformation information = QueryFileInformation(*files_, handle.get());
    check((information.attributes & win::kFileAttributeDirectory) != 0, "DIRECTORY_TYPE");
    if (streams_ == StreamCheck::kEverything && IsBaseOrBelow(path)) CheckStreams(*files_, path);
    held_.push_back({path, std::move(handle)});
    // Recorded only once held: a directory whose hold failed is tried again by a later call.
    heldDirectories_.insert(path);
}

void GuardedDirectory::HoldDirectory(const std::string& relative) {
    HoldParents(relative);
    HoldAbsolute(PathOf(relative));
}

void GuardedDirectory::HoldParents(const std::string& relative) {
    for (std::size_t i = 0; i < relative.size(); ++i) {
        if (relative[i] == '/') HoldAbsolute(JoinRelative(base_, relative.substr(0, i)));
    }
}

Handle GuardedDirectory::OpenFile(const std::string& relative, uint64_t sizeLimit) {
    if (const auto it = openFiles_.find(relative); it != openFiles_.end()) return it->second;
    HoldParents(relative);
    const WideString path = JoinRelative(base_, relative);
    const WideString longPath = LocalLongPath(path);
    ScopedHandle handle(
        *files_, files_->CreateFileW(longPath.c_str(), win::kGenericRead, win::kFileShareRead,
                                     nullptr, win::kOpenExisting, kFileFlags, nullptr));
    check(handle.valid(), "FILE_OPEN");
    const FileInformation information = QueryPlainFile(*files_, handle.get(), "FILE_TYPE_OR_LINK");
    check(information.size() <= sizeLimit, "FILE_SIZE_LIMIT");
    CheckStreams(*files_, path);
    const Handle opened = handle.get();
    held_.push_back({path, std::move(handle)});
    openFiles_.emplace(relative, opened);
    return opened;
}

std::vector<uint8_t> GuardedDirectory::ReadSmallFile(const std::string& relative,
                                                     uint64_t sizeLimit) {
    const Handle file = OpenFile(relative, sizeLimit);
    const FileInformation information = QueryFileInformation(*files_, file);
    // A handle opened earlier under a larger limit comes back unchecked: never size a buffer from
    // more than this caller's limit.
    check(information.size() <= sizeLimit, "FILE_SIZE_LIMIT");
    const auto size = static_cast<uint32_t>(information.size());
    std::vector<uint8_t> contents(size, 0);
    uint8_t empty = 0;  // an empty file is still read once, into a valid buffer
    uint32_t read = 0;
    const bool ok = files_->ReadFile(file, size == 0 ? &empty : contents.data(), size, &read);
    check(ok && read == size, "METADATA_READ");
    return contents;
}

DirectoryListing GuardedDirectory::List(const std::string& relative, const char* openCode,
                                        const char* breakCode, const char16_t* mask) {
    WideString pattern = LocalLongPath(PathOf(relative));
    if (pattern.back() != u'\\') pattern.push_back(u'\\');  // a drive root ends in one already
    pattern += mask;
    const bool masked = std::u16string_view(mask) != u"*";
    return DirectoryListing(*files_, std::move(pattern), masked, openCode, breakCode);
}

bool GuardedDirectory::CreateDirectoryAt(const std::string& relative,
                                         const SecurityAttributes* attributes,
                                         const char* failureCode) {
    HoldParents(relative);
    const WideString longPath = LocalLongPath(PathOf(relative));
    const bool created = files_->CreateDirectoryW(longPath.c_str(), attributes);
    if (!created) check(files_->GetLastError() == win::kErrorAlreadyExists, failureCode);
    HoldAbsolute(PathOf(relative));
    return created;
}

void GuardedDirectory::CreateNewDirectory(const std::string& relative,
                                          const SecurityAttributes* attributes,
                                          const char* failureCode) {
    HoldParents(relative);
    const WideString longPath = LocalLongPath(PathOf(relative));
    check(files_->CreateDirectoryW(longPath.c_str(), attributes), failureCode);
}

ScopedHandle GuardedDirectory::CreateFileAt(const std::string& relative, const FileCreation& how,
                                            const SecurityAttributes* attributes,
                                            const char* failureCode, const char* busyCode) {
    HoldParents(relative);
    const WideString longPath = LocalLongPath(PathOf(relative));
    ScopedHandle file(
        *files_, files_->CreateFileW(longPath.c_str(), how.access, 0, attributes, how.disposition,
                                     how.flagsAndAttributes, nullptr));
    if (!file.valid() && busyCode != nullptr) {
        const uint32_t error = files_->GetLastError();
        check(error != win::kErrorSharingViolation && error != win::kErrorLockViolation, busyCode);
    }
    check(file.valid(), failureCode);
    return file;
}

void GuardedDirectory::MoveFileAt(const std::string& from, const std::string& to,
                                  const char* failureCode) {
    const WideString source = LocalLongPath(PathOf(from));
    const WideString target = LocalLongPath(PathOf(to));
    check(files_->MoveFileExW(source.c_str(), target.c_str(), kMoveFileWriteThrough), failureCode);
}

ScopedHandle GuardedDirectory::OpenForDeletion(const std::string& relative, const char* openCode,
                                               const char* typeCode) {
    HoldParents(relative);
    const WideString path = PathOf(relative);
    CheckStreams(*files_, path);
    const WideString longPath = LocalLongPath(path);
    ScopedHandle file(
        *files_, files_->CreateFileW(longPath.c_str(), kDeleteAccess, win::kFileShareRead, nullptr,
                                     win::kOpenExisting, win::kFileFlagOpenReparsePoint, nullptr));
    check(file.valid(), openCode);
    QueryPlainFile(*files_, file.get(), typeCode);
    return file;
}

ScopedHandle GuardedDirectory::OpenForAccessControl(const std::string& relative,
                                                    const char* failureCode) {
    HoldDirectory(relative);
    const WideString longPath = LocalLongPath(PathOf(relative));
    ScopedHandle directory(
        *files_, files_->CreateFileW(longPath.c_str(), kAccessControl, kDirectoryShare, nullptr,
                                     win::kOpenExisting, kDirectoryFlags, nullptr));
    check(directory.valid(), failureCode);
    return directory;
}

void GuardedDirectory::RemoveDirectoryAt(const std::string& relative, const char* failureCode) {
    const WideString path = PathOf(relative);
    const WideString longPath = LocalLongPath(path);
    if (heldDirectories_.erase(path) != 0) {
        const auto held = std::find_if(held_.begin(), held_.end(),
                                       [&](const Held& entry) { return entry.path == path; });
        held_.erase(held);
    }
    check(files_->RemoveDirectoryW(longPath.c_str()), failureCode);
}

}  // namespace veltomarn

#include "core/guarded_directory.h"

#include <utility>

#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr WideChar kLongPathPrefix[] = u"\\\\?\\";
constexpr WideChar kUnnamedDataStream[] = u"::$DATA";
constexpr WideChar kZoneIdentifierStream[] = u":Zone.Identifier:$DATA";

constexpr uint32_t kDirectoryAccess = win::kFileListDirectory | win::kFileReadAttributes;
constexpr uint32_t kDirectoryShare = win::kFileShareRead | win::kFileShareWrite;
constexpr uint32_t kDirectoryFlags = win::kFileFlagBackupSemantics | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kFileFlags = win::kFileFlagSequentialScan | win::kFileFlagOpenReparsePoint;

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

FileInformation QueryFileInformation(Platform& platform, Handle handle) {
    FileInformation information;
    check(platform.GetFileInformationByHandle(handle, &information), "FILE_INFORMATION");
    check(platform.GetFileType(handle) == win::kFileTypeDisk, "FILE_INFORMATION");
    check((information.attributes & win::kFileAttributeReparsePoint) == 0, "REPARSE_POINT");
    return information;
}

void CheckStreams(Platform& platform, const WideString& path) {
    const WideString longPath = LocalLongPath(path);
    StreamData stream;
    ScopedFindHandle search(
        platform,
        platform.FindFirstStreamW(longPath.c_str(), win::kFindStreamInfoStandard, &stream, 0));
    if (!search) {
        // No stream at all is the usual answer for a directory.
        check(platform.GetLastError() == win::kErrorHandleEof, "STREAM_ENUMERATION");
        return;
    }
    do {
        check(IsAllowedStream(stream.name), "UNEXPECTED_STREAM");
    } while (platform.FindNextStreamW(search.get(), &stream));
    const uint32_t error = platform.GetLastError();
    search.reset();
    check(error == win::kErrorHandleEof, "UNEXPECTED_STREAM");
}

GuardedDirectory::GuardedDirectory(Platform& platform, WideString base, uint32_t skipStreamCheck)
    : platform_(platform), base_(std::move(base)), skipStreamCheck_(skipStreamCheck) {
    LocalLongPath(base_);
    const uint32_t drive = platform_.GetDriveTypeW(base_.substr(0, 3).c_str());
    check(drive == win::kDriveFixed || drive == win::kDriveRemovable, "LOCAL_PATH_REQUIRED");
    HoldDirectory(base_.substr(0, 3));
    for (std::size_t i = 3; i < base_.size(); ++i) {
        if (base_[i] == u'\\') HoldDirectory(base_.substr(0, i));
    }
    HoldDirectory(base_);
}

GuardedDirectory::~GuardedDirectory() {
    for (ScopedHandle& handle : held_) handle.reset();
}

bool GuardedDirectory::IsBaseOrBelow(const WideString& path) const {
    if (path.size() < base_.size()) return false;
    const int order =
        platform_.CompareStringOrdinal(path.c_str(), static_cast<int>(base_.size()), base_.c_str(),
                                       static_cast<int>(base_.size()), true);
    // A failed comparison counts as below: the stream check then runs rather than being skipped.
    if (order != win::kCstrEqual && order != 0) return false;
    return path.size() == base_.size() || base_.back() == u'\\' || path[base_.size()] == u'\\';
}

void GuardedDirectory::HoldDirectory(const WideString& path) {
    if (heldDirectories_.count(path) != 0) return;
    const WideString longPath = LocalLongPath(path);
    ScopedHandle handle(
        platform_, platform_.CreateFileW(longPath.c_str(), kDirectoryAccess, kDirectoryShare,
                                         nullptr, win::kOpenExisting, kDirectoryFlags, nullptr));
    check(handle.valid(), "DIRECTORY_OPEN");
    const FileInformation information = QueryFileInformation(platform_, handle.get());
    check((information.attributes & win::kFileAttributeDirectory) != 0, "DIRECTORY_TYPE");
    if (skipStreamCheck_ == 0 && IsBaseOrBelow(path)) CheckStreams(platform_, path);
    held_.push_back(std::move(handle));
    // Recorded only once held: a directory whose hold failed is tried again by a later call.
    heldDirectories_.insert(path);
}

void GuardedDirectory::HoldParents(const std::string& relative) {
    for (std::size_t i = 0; i < relative.size(); ++i) {
        if (relative[i] == '/') HoldDirectory(JoinRelative(base_, relative.substr(0, i)));
    }
}

Handle GuardedDirectory::OpenFile(const std::string& relative, uint64_t sizeLimit) {
    if (const auto it = openFiles_.find(relative); it != openFiles_.end()) return it->second;
    HoldParents(relative);
    const WideString path = JoinRelative(base_, relative);
    const WideString longPath = LocalLongPath(path);
    ScopedHandle handle(
        platform_, platform_.CreateFileW(longPath.c_str(), win::kGenericRead, win::kFileShareRead,
                                         nullptr, win::kOpenExisting, kFileFlags, nullptr));
    check(handle.valid(), "FILE_OPEN");
    const FileInformation information = QueryFileInformation(platform_, handle.get());
    check((information.attributes & win::kFileAttributeDirectory) == 0 &&
              information.numberOfLinks == 1,
          "FILE_TYPE_OR_LINK");
    check(information.size() <= sizeLimit, "FILE_SIZE_LIMIT");
    CheckStreams(platform_, path);
    const Handle opened = handle.get();
    held_.push_back(std::move(handle));
    openFiles_.emplace(relative, opened);
    return opened;
}

std::vector<uint8_t> GuardedDirectory::ReadSmallFile(const std::string& relative,
                                                     uint64_t sizeLimit) {
    const Handle file = OpenFile(relative, sizeLimit);
    const FileInformation information = QueryFileInformation(platform_, file);
    // A handle opened earlier under a larger limit comes back unchecked: never size a buffer from
    // more than this caller's limit.
    check(information.size() <= sizeLimit, "FILE_SIZE_LIMIT");
    const auto size = static_cast<uint32_t>(information.size());
    std::vector<uint8_t> contents(size, 0);
    uint8_t empty = 0;  // an empty file is still read once, into a valid buffer
    uint32_t read = 0;
    const bool ok = platform_.ReadFile(file, size == 0 ? &empty : contents.data(), size, &read);
    check(ok && read == size, "METADATA_READ");
    return contents;
}

}  // namespace veltomarn

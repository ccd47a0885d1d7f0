#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

namespace veltomarn {
namespace {

using win::kLongPathPrefix;

constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorNoData = 232;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorCantResolveFilename = 1921;

constexpr uint32_t kFileTypeUnknown = 0;
constexpr uint32_t kFileTypeChar = 2;
constexpr uint32_t kFileTypePipe = 3;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kFileAttributeNormal = 0x80;

constexpr uint32_t kFileReadData = 0x0001;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
// Every access right that could change the object: write data, append, extended attributes,
// attributes, delete, child deletion, DACL and owner, and the generic write and all rights.
constexpr uint32_t kChangingAccess = 0x0002 | 0x0004 | 0x0010 | 0x0040 | 0x0100 | 0x00010000 |
                                     0x00040000 | 0x00080000 | win::kGenericWrite | kGenericAll;
constexpr uint32_t kReadingAccess = win::kGenericRead | kFileReadData | kMaximumAllowed;

// 100-nanosecond intervals between 1601-01-01 (FILETIME) and 1970-01-01 (the Unix epoch).
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000;

uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return win::kErrorFileNotFound;
        case ENOTDIR:
            return win::kErrorPathNotFound;
        case EACCES:
        case EPERM:
            return win::kErrorAccessDenied;
        case ENAMETOOLONG:
            return win::kErrorFilenameExcedRange;
        case ELOOP:
            return kErrorCantResolveFilename;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case ENOMEM:
            return win::kErrorNotEnoughMemory;
        case EIO:
            return kErrorIoDevice;
        case EPIPE:
            return kErrorNoData;
        case EBADF:
            return win::kErrorInvalidHandle;
        default:
            return kErrorGenFailure;
    }
}

WideChar UpperAscii(WideChar c) {
    return c >= u'a' && c <= u'z' ? WideChar(c - 0x20) : c;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

// '*' any run of bytes, '?' one byte, letters ignoring ASCII case.
bool MatchesMask(const std::string& name, const std::string& mask) {
    std::size_t n = 0;
    std::size_t m = 0;
    std::size_t starMask = std::string::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

bool HasWildcard(const std::string& text) {
    return text.find_first_of("*?") != std::string::npos;
}

// UTF-16 to UTF-8; false for a lone surrogate or a NUL.
bool Utf8FromUtf16(const WideString& text, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c == 0) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// UTF-8 to UTF-16. A byte that does not start a well-formed sequence becomes U+FFFD (the name is
// then outside every name rule) and `*valid` is cleared.
WideString Utf16FromUtf8(const std::string& text, bool* valid) {
    WideString out;
    *valid = true;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = 0;
        std::size_t length = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            c = b;
            length = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            length = 4;
            minimum = 0x10000;
        }
        bool ok = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        ok = ok && c >= minimum && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (!ok) {
            out.push_back(0xFFFD);
            *valid = false;
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<WideChar>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<WideChar>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<WideChar>(c));
        }
        i += length;
    }
    return out;
}

// A drive path taken apart: its components as UTF-8 and whether it ended with a separator.
struct ParsedPath {
    uint32_t error = 0;
    std::vector<std::string> components;
    bool trailingSeparator = false;
};

ParsedPath ParseDrivePath(const WideString& input) {
    ParsedPath parsed;
    WideString path = input;
    if (path.rfind(kLongPathPrefix, 0) == 0) path = path.substr(4);
    if (path.size() < 3 || (path[0] != u'Z' && path[0] != u'z') || path[1] != u':' ||
        path[2] != u'\\') {
        parsed.error = win::kErrorPathNotFound;
        return parsed;
    }
    std::size_t start = 3;
    while (start < path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == WideString::npos) end = path.size();
        const WideString component = path.substr(start, end - start);
        if (component.empty() || component == u"." || component == u".." ||
            component.find_first_of(u"/*?") != WideString::npos) {
            parsed.error = kErrorInvalidName;
            return parsed;
        }
        std::string narrow;
        if (!Utf8FromUtf16(component, &narrow)) {
            parsed.error = kErrorInvalidName;
            return parsed;
        }
        parsed.components.push_back(std::move(narrow));
        if (end + 1 == path.size()) parsed.trailingSeparator = true;
        start = end + 1;
    }
    return parsed;
}

std::string JoinLinux(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// The name in `directory` that `wanted` stands for: itself when it exists, else the lowest name
// equal to it ignoring ASCII case. Returns 0 or the error.
uint32_t LookUpName(const std::string& directory, const std::string& wanted, std::string* found) {
    struct stat status;
    if (lstat(JoinLinux(directory, wanted).c_str(), &status) == 0) {
        *found = wanted;
        return 0;
    }
    if (errno != ENOENT) return ErrorFromErrno(errno);
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return ErrorFromErrno(errno);
    std::string best;
    bool any = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !EqualIgnoringAsciiCase(name, wanted)) continue;
        if (!any || name < best) best = name;
        any = true;
    }
    closedir(listing);
    if (!any) return win::kErrorFileNotFound;
    *found = best;
    return 0;
}

// The Linux path of the object that `parsed` names. A missing last component is
// ERROR_FILE_NOT_FOUND, anything missing or not a directory before it ERROR_PATH_NOT_FOUND.
uint32_t Resolve(const ParsedPath& parsed, std::string* path) {
    if (parsed.error != 0) return parsed.error;
    std::string current = "/";
    for (std::size_t i = 0; i < parsed.components.size(); ++i) {
        const bool last = i + 1 == parsed.components.size();
        std::string name;
        const uint32_t error = LookUpName(current, parsed.components[i], &name);
        if (error == win::kErrorFileNotFound) {
            return last ? win::kErrorFileNotFound : win::kErrorPathNotFound;
        }
        if (error != 0) return error;
        current = JoinLinux(current, name);
        if (!last) {
            struct stat status;
            if (stat(current.c_str(), &status) != 0) {
                return errno == EACCES ? win::kErrorAccessDenied : win::kErrorPathNotFound;
            }
            if (!S_ISDIR(status.st_mode)) return win::kErrorPathNotFound;
        }
    }
    *path = current;
    return 0;
}

uint64_t FileTime(const timespec& time) {
    return kFileTimeEpochOffset + static_cast<uint64_t>(time.tv_sec) * 10000000u +
           static_cast<uint64_t>(time.tv_nsec) / 100u;
}

uint32_t FileTypeOf(mode_t mode) {
    if (S_ISCHR(mode)) return kFileTypeChar;
    if (S_ISFIFO(mode) || S_ISSOCK(mode)) return kFileTypePipe;
    return win::kFileTypeDisk;
}

// What a listing reports for the entry at `path`; false when the entry has gone.
bool DescribeEntry(const std::string& path, FindData* data) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
    data->sizeHigh = 0;
    data->sizeLow = 0;
    if (S_ISLNK(status.st_mode)) {
        struct stat target;
        const bool directory = stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        data->attributes =
            win::kFileAttributeReparsePoint | (directory ? win::kFileAttributeDirectory : 0);
    } else if (S_ISDIR(status.st_mode)) {
        data->attributes = win::kFileAttributeDirectory;
    } else {
        data->attributes = kFileAttributeNormal;
        if (S_ISREG(status.st_mode)) {
            const auto size = static_cast<uint64_t>(status.st_size);
            data->sizeHigh = static_cast<uint32_t>(size >> 32);
            data->sizeLow = static_cast<uint32_t>(size);
        }
    }
    return true;
}

}  // namespace

std::optional<WideString> DrivePathFromLinux(const std::string& path) {
    if (path.empty() || path[0] != '/') return std::nullopt;
    WideString drive = u"Z:\\";
    std::size_t start = 1;
    bool first = true;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (component == "." || component == ".." || component.find('\\') != std::string::npos) {
            return std::nullopt;
        }
        bool valid = true;
        const WideString wide = Utf16FromUtf8(component, &valid);
        if (!valid) return std::nullopt;
        if (!first) drive.push_back(u'\\');
        drive += wide;
        first = false;
    }
    return drive;
}

std::optional<std::string> LinuxPathFromDrive(const WideString& path) {
    const ParsedPath parsed = ParseDrivePath(path);
    if (parsed.error != 0) return std::nullopt;
    std::string native = "/";
    for (const std::string& component : parsed.components) native = JoinLinux(native, component);
    return native;
}

PosixPlatform::PosixPlatform() = default;

PosixPlatform::~PosixPlatform() {
    for (auto& [handle, object] : handles_) {
        if (object.fd >= 0) close(object.fd);
    }
}

Handle PosixPlatform::AddHandle(OpenObject object) {
    const auto handle = reinterpret_cast<Handle>(nextHandle_);
    nextHandle_ += 4;
    handles_.emplace(handle, std::move(object));
    return handle;
}

PosixPlatform::OpenObject* PosixPlatform::FindHandle(Handle handle, OpenObject::Kind kind) {
    const auto it = handles_.find(handle);
    return it != handles_.end() && it->second.kind == kind ? &it->second : nullptr;
}

// Paths are taken literally: see the header.
uint32_t PosixPlatform::GetFullPathNameW(const WideChar*, uint32_t, WideChar*, WideChar**) {
    return Fail(kErrorCallNotImplemented, 0u);
}

int PosixPlatform::CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b,
                                        int countB, bool ignoreCase) {
    if (a == nullptr || b == nullptr || countA < -1 || countB < -1) {
        return Fail(win::kErrorInvalidParameter, 0);
    }
    const auto length = [](const WideChar* text, int count) {
        if (count >= 0) return static_cast<std::size_t>(count);
        std::size_t n = 0;
        while (text[n] != 0) ++n;
        return n;
    };
    const std::size_t lengthA = length(a, countA);
    const std::size_t lengthB = length(b, countB);
    for (std::size_t k = 0; k < std::min(lengthA, lengthB); ++k) {
        const WideChar x = ignoreCase ? UpperAscii(a[k]) : a[k];
        const WideChar y = ignoreCase ? UpperAscii(b[k]) : b[k];
        if (x != y) return x < y ? win::kCstrLessThan : win::kCstrGreaterThan;
    }
    if (lengthA == lengthB) return win::kCstrEqual;
    return lengthA < lengthB ? win::kCstrLessThan : win::kCstrGreaterThan;
}

// --- handles and output ---------------------------------------------------------------------

// Every handle is read only.
bool PosixPlatform::WriteFile(Handle file, const void*, uint32_t, uint32_t* written) {
    if (written != nullptr) *written = 0;
    const bool known = FindHandle(file, OpenObject::Kind::File) != nullptr;
    return Fail(known ? win::kErrorAccessDenied : win::kErrorInvalidHandle, false);
}

bool PosixPlatform::CloseHandle(Handle handle) {
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.kind != OpenObject::Kind::File) {
        return Fail(win::kErrorInvalidHandle, false);
    }
    close(it->second.fd);
    handles_.erase(it);
    return true;
}

// --- files and directories -----------------------------------------------------------------

Handle PosixPlatform::CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                                  const SecurityAttributes* securityAttributes,
                                  uint32_t creationDisposition, uint32_t flagsAndAttributes,
                                  Handle templateFile) {
    (void)shareMode;           // not enforced: see the header
    (void)securityAttributes;  // only used when creating, which is not offered
    if (path == nullptr) return Fail(win::kErrorPathNotFound, kInvalidHandle);
    lastPath_ = path;
    if (creationDisposition != win::kOpenExisting || (desiredAccess & kChangingAccess) != 0 ||
        templateFile != nullptr) {
        return Fail(kErrorCallNotImplemented, kInvalidHandle);
    }
    const ParsedPath parsed = ParseDrivePath(path);
    std::string native;
    if (const uint32_t error = Resolve(parsed, &native); error != 0) {
        return Fail(error, kInvalidHandle);
    }

    struct stat named;
    if (lstat(native.c_str(), &named) != 0) return Fail(ErrorFromErrno(errno), kInvalidHandle);
    const bool link = S_ISLNK(named.st_mode);
    const bool asLink = link && (flagsAndAttributes & win::kFileFlagOpenReparsePoint) != 0;
    struct stat target;
    const bool targetExists = stat(native.c_str(), &target) == 0;
    if (link && !asLink && !targetExists) return Fail(ErrorFromErrno(errno), kInvalidHandle);
    const struct stat& object = asLink ? named : (link ? target : named);
    const bool directory =
        asLink ? targetExists && S_ISDIR(target.st_mode) : S_ISDIR(object.st_mode);

    if (parsed.trailingSeparator && !directory) return Fail(kErrorInvalidName, kInvalidHandle);
    if (directory && (flagsAndAttributes & win::kFileFlagBackupSemantics) == 0) {
        return Fail(win::kErrorAccessDenied, kInvalidHandle);
    }

    OpenObject opened;
    opened.directory = directory;
    opened.reparsePoint = asLink;
    opened.readable = !asLink && S_ISREG(object.st_mode) && (desiredAccess & kReadingAccess) != 0;
    // Nothing but a regular file is opened for data: a FIFO or device is never touched.
    const int flags = opened.readable ? O_RDONLY | O_NOCTTY | O_NONBLOCK : O_PATH;
    opened.fd = open(native.c_str(), flags | O_CLOEXEC | (link && !asLink ? 0 : O_NOFOLLOW));
    if (opened.fd < 0) return Fail(ErrorFromErrno(errno), kInvalidHandle);
    struct stat held;
    if (fstat(opened.fd, &held) != 0 || held.st_dev != object.st_dev ||
        held.st_ino != object.st_ino) {
        // Replaced between the look and the open: report it as gone.
        close(opened.fd);
        return Fail(win::kErrorFileNotFound, kInvalidHandle);
    }
    lastError_ = win::kErrorSuccess;
    return AddHandle(std::move(opened));
}

bool PosixPlatform::ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) {
    if (read != nullptr) *read = 0;
    OpenObject* open = FindHandle(file, OpenObject::Kind::File);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, false);
    if (read == nullptr || (buffer == nullptr && size != 0)) {
        return Fail(win::kErrorInvalidParameter, false);
    }
    if (open->directory) return Fail(kErrorInvalidFunction, false);
    if (!open->readable) return Fail(win::kErrorAccessDenied, false);
    auto* bytes = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < size) {
        const ssize_t count = pread(open->fd, bytes + done, size - done, open->position);
        if (count < 0) {
            if (errno == EINTR) continue;
            *read = done;
            return Fail(ErrorFromErrno(errno), false);
        }
        if (count == 0) break;
        done += static_cast<uint32_t>(count);
        open->position += count;
    }
    *read = done;
    return true;
}

bool PosixPlatform::SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                                     uint32_t moveMethod) {
    OpenObject* open = FindHandle(file, OpenObject::Kind::File);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, false);
    int64_t base = 0;
    if (moveMethod == kFileCurrent) {
        base = open->position;
    } else if (moveMethod == kFileEnd) {
        struct stat status;
        if (fstat(open->fd, &status) != 0) return Fail(ErrorFromErrno(errno), false);
        base = S_ISREG(status.st_mode) ? status.st_size : 0;
    } else if (moveMethod != win::kFileBegin) {
        return Fail(win::kErrorInvalidParameter, false);
    }
    if ((distance < 0 && base < std::numeric_limits<int64_t>::min() - distance) ||
        (distance > 0 && base > std::numeric_limits<int64_t>::max() - distance) ||
        base + distance < 0) {
        return Fail(kErrorNegativeSeek, false);
    }
    open->position = base + distance;
    if (newPosition != nullptr) *newPosition = open->position;
    return true;
}

bool PosixPlatform::GetFileInformationByHandle(Handle file, FileInformation* information) {
    const OpenObject* open = FindHandle(file, OpenObject::Kind::File);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, false);
    if (information == nullptr) return Fail(win::kErrorInvalidParameter, false);
    struct stat status;
    if (fstat(open->fd, &status) != 0) return Fail(ErrorFromErrno(errno), false);
    FileInformation result;
    if (open->reparsePoint) {
        result.attributes =
            win::kFileAttributeReparsePoint | (open->directory ? win::kFileAttributeDirectory : 0);
    } else if (S_ISDIR(status.st_mode)) {
        result.attributes = win::kFileAttributeDirectory;
    } else {
        result.attributes = kFileAttributeNormal;
    }
    result.creationTime = FileTime(status.st_ctim);
    result.lastAccessTime = FileTime(status.st_atim);
    result.lastWriteTime = FileTime(status.st_mtim);
    const auto device = static_cast<uint64_t>(status.st_dev);
    result.volumeSerialNumber = static_cast<uint32_t>(device ^ (device >> 32));
    const uint64_t size =
        S_ISREG(status.st_mode) && !open->reparsePoint ? static_cast<uint64_t>(status.st_size) : 0;
    result.sizeHigh = static_cast<uint32_t>(size >> 32);
    result.sizeLow = static_cast<uint32_t>(size);
    result.numberOfLinks =
        S_ISDIR(status.st_mode)
            ? 1
            : static_cast<uint32_t>(std::min<uint64_t>(status.st_nlink, UINT32_MAX));
    const auto index = static_cast<uint64_t>(status.st_ino);
    result.indexHigh = static_cast<uint32_t>(index >> 32);
    result.indexLow = static_cast<uint32_t>(index);
    *information = result;
    return true;
}

uint32_t PosixPlatform::GetFileType(Handle file) {
    const OpenObject* open = FindHandle(file, OpenObject::Kind::File);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, kFileTypeUnknown);
    struct stat status;
    if (fstat(open->fd, &status) != 0) return Fail(ErrorFromErrno(errno), kFileTypeUnknown);
    lastError_ = win::kErrorSuccess;  // FILE_TYPE_UNKNOWN is told from a failure by the error
    return FileTypeOf(status.st_mode);
}

bool PosixPlatform::NextEntry(OpenObject& search, FindData* data) {
    if (search.next >= search.entries.size()) return false;
    *data = search.entries[search.next++];
    lastPath_ = search.directoryPath;
    if (lastPath_.back() != u'\\') lastPath_.push_back(u'\\');
    lastPath_ += data->name;
    return true;
}

Handle PosixPlatform::FindFirstFileW(const WideChar* pattern, FindData* data) {
    if (pattern == nullptr || data == nullptr) return Fail(win::kErrorPathNotFound, kInvalidHandle);
    const WideString text = pattern;
    const std::size_t slash = text.rfind(u'\\');
    if (slash == WideString::npos) return Fail(win::kErrorPathNotFound, kInvalidHandle);
    WideString directory = text.substr(0, slash);
    const WideString wideMask = text.substr(slash + 1);
    if (!directory.empty() && directory.back() == u':') directory.push_back(u'\\');  // a root
    lastPath_ = directory;
    std::string mask;
    if (wideMask.empty() || !Utf8FromUtf16(wideMask, &mask)) {
        return Fail(win::kErrorFileNotFound, kInvalidHandle);
    }
    if (mask == "*.*") mask.assign(1, '*');  // matches every name, with or without a dot

    const ParsedPath parsed = ParseDrivePath(directory);
    std::string native;
    if (uint32_t error = Resolve(parsed, &native); error != 0) {
        if (error == win::kErrorFileNotFound) error = win::kErrorPathNotFound;
        return Fail(error, kInvalidHandle);
    }
    struct stat status;
    if (stat(native.c_str(), &status) != 0) return Fail(win::kErrorPathNotFound, kInvalidHandle);
    if (!S_ISDIR(status.st_mode)) return Fail(kErrorDirectory, kInvalidHandle);

    DIR* listing = opendir(native.c_str());
    if (listing == nullptr) return Fail(ErrorFromErrno(errno), kInvalidHandle);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int listingError = errno;
    closedir(listing);
    if (listingError != 0) return Fail(ErrorFromErrno(listingError), kInvalidHandle);
    std::sort(names.begin(), names.end());

    OpenObject search;
    search.kind = OpenObject::Kind::FileSearch;
    search.directoryPath = directory;
    if (!parsed.components.empty()) {  // the root of a drive lists no dots
        for (const char* dots : {".", ".."}) {
            if (!MatchesMask(dots, mask)) continue;
            FindData entry;
            entry.attributes = win::kFileAttributeDirectory;
            entry.name = dots[1] == 0 ? u"." : u"..";
            search.entries.push_back(entry);
        }
    }
    for (const std::string& name : names) {
        if (HasWildcard(mask) ? !MatchesMask(name, mask) : !EqualIgnoringAsciiCase(name, mask)) {
            continue;
        }
        FindData entry;
        if (!DescribeEntry(JoinLinux(native, name), &entry)) continue;
        bool valid = true;
        entry.name = Utf16FromUtf8(name, &valid);
        search.entries.push_back(std::move(entry));
    }
    if (!NextEntry(search, data)) return Fail(win::kErrorFileNotFound, kInvalidHandle);
    lastError_ = win::kErrorSuccess;
    return AddHandle(std::move(search));
}

bool PosixPlatform::FindNextFileW(Handle search, FindData* data) {
    OpenObject* open = FindHandle(search, OpenObject::Kind::FileSearch);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, false);
    if (data == nullptr) return Fail(win::kErrorInvalidParameter, false);
    if (!NextEntry(*open, data)) return Fail(win::kErrorNoMoreFiles, false);
    return true;
}

Handle PosixPlatform::FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                                       uint32_t flags) {
    if (path == nullptr || data == nullptr || infoLevel != win::kFindStreamInfoStandard ||
        flags != 0) {
        return Fail(win::kErrorInvalidParameter, kInvalidHandle);
    }
    lastPath_ = path;
    std::string native;
    if (const uint32_t error = Resolve(ParseDrivePath(path), &native); error != 0) {
        return Fail(error, kInvalidHandle);
    }
    struct stat status;
    if (stat(native.c_str(), &status) != 0) return Fail(ErrorFromErrno(errno), kInvalidHandle);
    if (!S_ISREG(status.st_mode)) return Fail(win::kErrorHandleEof, kInvalidHandle);
    OpenObject search;
    search.kind = OpenObject::Kind::StreamSearch;
    search.streams.push_back(StreamData{static_cast<int64_t>(status.st_size), u"::$DATA"});
    *data = search.streams.front();
    search.next = 1;
    lastError_ = win::kErrorSuccess;
    return AddHandle(std::move(search));
}

bool PosixPlatform::FindNextStreamW(Handle search, StreamData* data) {
    OpenObject* open = FindHandle(search, OpenObject::Kind::StreamSearch);
    if (open == nullptr) return Fail(win::kErrorInvalidHandle, false);
    if (data == nullptr) return Fail(win::kErrorInvalidParameter, false);
    if (open->next >= open->streams.size()) return Fail(win::kErrorHandleEof, false);
    *data = open->streams[open->next++];
    return true;
}

bool PosixPlatform::FindClose(Handle search) {
    const auto it = handles_.find(search);
    if (it == handles_.end() || it->second.kind == OpenObject::Kind::File) {
        return Fail(win::kErrorInvalidHandle, false);
    }
    handles_.erase(it);
    return true;
}

// The tool reads packages; it never writes through the seam.
bool PosixPlatform::FlushFileBuffers(Handle) {
    return Fail(kErrorCallNotImplemented, false);
}
bool PosixPlatform::MoveFileExW(const WideChar*, const WideChar*, uint32_t) {
    return Fail(kErrorCallNotImplemented, false);
}
bool PosixPlatform::CreateDirectoryW(const WideChar*, const SecurityAttributes*) {
    return Fail(kErrorCallNotImplemented, false);
}
bool PosixPlatform::RemoveDirectoryW(const WideChar*) {
    return Fail(kErrorCallNotImplemented, false);
}
bool PosixPlatform::SetFileInformationByHandle(Handle, uint32_t, const FileDispositionInfo*) {
    return Fail(kErrorCallNotImplemented, false);
}
bool PosixPlatform::GetDiskFreeSpaceExW(const WideChar*, uint64_t*, uint64_t*, uint64_t*) {
    return Fail(kErrorCallNotImplemented, false);
}

}  // namespace veltomarn

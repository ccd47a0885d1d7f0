#pragma once

// The platform seam on Linux, for the publisher's tool: the bootstrap's own package check runs on
// the publisher's machine through it.
//
// Paths: drive paths are mapped to the Linux file system as Wine maps them by default: drive Z:
// is the root, so "Z:\home\x" and "\\?\Z:\home\x" name "/home/x" (the drive letter in either
// case). Both forms are taken literally, as Windows takes a path behind "\\?\": an empty, "." or
// ".." component, or a '/' inside a component, is ERROR_INVALID_NAME; another drive letter, a UNC
// or a relative path is ERROR_PATH_NOT_FOUND. Each name is looked up exactly first and, failing
// that, ignoring ASCII letter case within its directory, as Windows finds "RELEASE.signed" when
// the disk holds release.signed (when several names match, the lowest in byte order is taken).
// A symbolic link on the way to an object is followed, as Windows follows a reparse point inside
// a path.
//
// Files (read only): CreateFileW opens existing objects only (OPEN_EXISTING, no write or delete
// access; anything else fails with ERROR_CALL_NOT_IMPLEMENTED). With FILE_FLAG_OPEN_REPARSE_POINT
// a symbolic link opens as itself and reports FILE_ATTRIBUTE_REPARSE_POINT (with
// FILE_ATTRIBUTE_DIRECTORY when it points at a directory); without it the link is followed. A
// directory needs FILE_FLAG_BACKUP_SEMANTICS (else ERROR_ACCESS_DENIED); a missing object is
// ERROR_FILE_NOT_FOUND, a missing directory on the way ERROR_PATH_NOT_FOUND. Share modes are NOT
// enforced: Linux has no mandatory sharing, so another process may change or replace what a
// handle holds; the tool's own checks (sizes, digests, the second tree walk) stand behind that.
// GetFileInformationByHandle: FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_REPARSE_POINT or
// FILE_ATTRIBUTE_NORMAL, the size of a regular file (0 otherwise), the link count (1 for a
// directory, as Windows reports), the device as volume serial number and the inode as file
// index. GetFileType: FILE_TYPE_DISK, except FILE_TYPE_CHAR for a character device and
// FILE_TYPE_PIPE for a FIFO or socket. FindFirstFileW reads the whole directory at once: "." and
// ".." first (not for the root), then the names in byte order; the masks "*", "*.*" and names
// with '*' and '?' match ignoring ASCII case. FindFirstStreamW: a regular file has exactly its
// unnamed stream "::$DATA" (extended attributes are not streams); a directory has none
// (ERROR_HANDLE_EOF).
//
// GetLastError, SetLastError, CompareStringOrdinal (ASCII case fold) and CloseHandle work;
// WriteFile writes to nothing (ERROR_INVALID_HANDLE), GetFullPathNameW fails with
// ERROR_CALL_NOT_IMPLEMENTED (120). Crypto is not part of it: the tool pairs it with OpensslCng.
//
// One thread uses an instance; the last error is the instance's.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace veltomarn {

inline constexpr uint32_t kErrorCallNotImplemented = 120;

// "Z:\home\x" for the absolute Linux path "/home/x" (UTF-8), "Z:\" for "/". Empty components
// (doubled or trailing '/') are dropped. Nothing when the path is not absolute, is not valid
// UTF-8, or has a "." or ".." component or a component holding '\'.
std::optional<WideString> DrivePathFromLinux(const std::string& path);

// The Linux path that drive path `path` ("Z:\home\x", with or without "\\?\") names: "/home/x".
// Nothing for another drive, a relative or UNC path, or a name that the mapping refuses.
std::optional<std::string> LinuxPathFromDrive(const WideString& path);

class PosixPlatform final : public FileSystem {
  public:
    PosixPlatform();
    ~PosixPlatform() override;
    PosixPlatform(const PosixPlatform&) = delete;
    PosixPlatform& operator=(const PosixPlatform&) = delete;

    // The object that a file call last concerned, as a drive path: the path given to CreateFileW
    // or FindFirstStreamW, or the directory entry that FindFirstFileW or FindNextFileW last
    // returned. Empty before any such call.
    const WideString& LastPathTouched() const { return lastPath_; }
    // File, directory and search handles open now (the standard streams are not counted).
    std::size_t OpenHandleCount() const { return handles_.size(); }

    // --- FileSystem -----------------------------------------------------------------------
    uint32_t GetLastError() override { return lastError_; }
    void SetLastError(uint32_t error) override { lastError_ = error; }

    uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                              WideChar** filePart) override;
    int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                             bool ignoreCase) override;

    bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) override;
    bool CloseHandle(Handle handle) override;

    Handle CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                       const SecurityAttributes* securityAttributes, uint32_t creationDisposition,
                       uint32_t flagsAndAttributes, Handle templateFile) override;
    bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override;
    bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                          uint32_t moveMethod) override;
    bool GetFileInformationByHandle(Handle file, FileInformation* information) override;
    uint32_t GetFileType(Handle file) override;
    // Drive Z: is the local root file system.
    uint32_t GetDriveTypeW(const WideChar*) override { return win::kDriveFixed; }
    Handle FindFirstFileW(const WideChar* pattern, FindData* data) override;
    bool FindNextFileW(Handle search, FindData* data) override;
    Handle FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                            uint32_t flags) override;
    bool FindNextStreamW(Handle search, StreamData* data) override;
    bool FindClose(Handle search) override;
    bool FlushFileBuffers(Handle file) override;
    bool MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) override;
    bool CreateDirectoryW(const WideChar* path,
                          const SecurityAttributes* securityAttributes) override;
    bool RemoveDirectoryW(const WideChar* path) override;
    bool SetFileInformationByHandle(Handle file, uint32_t informationClass,
                                    const FileDispositionInfo* information) override;
    bool GetDiskFreeSpaceExW(const WideChar* directory, uint64_t* freeBytesAvailable,
                             uint64_t* totalBytes, uint64_t* totalFreeBytes) override;

  private:
    struct OpenObject {
        enum class Kind { File, FileSearch, StreamSearch };
        Kind kind = Kind::File;
        // File: the descriptor (O_PATH unless the file was opened for reading), what it is, and
        // the position that ReadFile and SetFilePointerEx share.
        int fd = -1;
        bool readable = false;
        bool directory = false;
        bool reparsePoint = false;
        int64_t position = 0;
        // FileSearch: the directory listed and its entries; StreamSearch: the streams.
        WideString directoryPath;
        std::vector<FindData> entries;
        std::vector<StreamData> streams;
        std::size_t next = 0;
    };

    // Sets `error` as the last error and returns `result`.
    template <typename T>
    T Fail(uint32_t error, T result) {
        lastError_ = error;
        return result;
    }
    Handle AddHandle(OpenObject object);
    OpenObject* FindHandle(Handle handle, OpenObject::Kind kind);
    bool NextEntry(OpenObject& search, FindData* data);

    std::map<Handle, OpenObject> handles_;
    uintptr_t nextHandle_ = 0x1000;
    WideString lastPath_;
    uint32_t lastError_ = 0;
};

}  // namespace veltomarn

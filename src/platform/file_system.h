#pragma once

// Files, directories and the kernel objects behind them: the part of the seam every other part
// leans on (the thread's last error, closing a handle) and the only part the release tool's Linux
// platform implements.

#include "platform/seam_types.h"

namespace veltomarn {

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // --- errors and handles -------------------------------------------------------------------
    virtual uint32_t GetLastError() = 0;
    virtual void SetLastError(uint32_t error) = 0;
    virtual bool CloseHandle(Handle handle) = 0;

    // --- names and paths ----------------------------------------------------------------------
    // Returns CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0 on failure. A count of -1
    // means the string is null-terminated.
    virtual int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                                     bool ignoreCase) = 0;
    virtual uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                                      WideChar** filePart) = 0;
    // The kind of volume whose root is `root` ("C:\\"): DRIVE_FIXED, DRIVE_REMOTE and so on.
    virtual uint32_t GetDriveTypeW(const WideChar* root) = 0;

    // --- files and directories ----------------------------------------------------------------
    // `securityAttributes` null: the default security.
    virtual Handle CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                               const SecurityAttributes* securityAttributes,
                               uint32_t creationDisposition, uint32_t flagsAndAttributes,
                               Handle templateFile) = 0;
    virtual bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) = 0;
    virtual bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) = 0;
    virtual bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                                  uint32_t moveMethod) = 0;
    virtual bool GetFileInformationByHandle(Handle file, FileInformation* information) = 0;
    virtual uint32_t GetFileType(Handle file) = 0;
    virtual bool FlushFileBuffers(Handle file) = 0;
    virtual bool MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) = 0;
    virtual bool CreateDirectoryW(const WideChar* path,
                                  const SecurityAttributes* securityAttributes) = 0;
    virtual bool RemoveDirectoryW(const WideChar* path) = 0;
    // Only FileDispositionInfo is offered.
    virtual bool SetFileInformationByHandle(Handle file, uint32_t informationClass,
                                            const FileDispositionInfo* information) = 0;
    // Any of the three results may be null.
    virtual bool GetDiskFreeSpaceExW(const WideChar* directory, uint64_t* freeBytesAvailable,
                                     uint64_t* totalBytes, uint64_t* totalFreeBytes) = 0;
    // Returns a search handle (closed with FindClose) or kInvalidHandle.
    virtual Handle FindFirstFileW(const WideChar* pattern, FindData* data) = 0;
    virtual bool FindNextFileW(Handle search, FindData* data) = 0;
    virtual Handle FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                                    uint32_t flags) = 0;
    virtual bool FindNextStreamW(Handle search, StreamData* data) = 0;
    virtual bool FindClose(Handle search) = 0;
};

}  // namespace veltomarn

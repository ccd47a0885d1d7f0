#pragma once

// The seam between the bootstrap's logic and the operating system.
//
// Every operating-system and crypto-provider call the bootstrap makes goes through `Platform`.
// Each member mirrors one Windows call: the same arguments (with project types), the same
// success and failure values, and the same last-error codes. Logic never sees <windows.h>.
// Two implementations exist: the product's Win32 one (platform/win32) and an in-memory model of
// Windows for host tests (tests/support/memory_platform.h), which can fail any call on demand.

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltomarn {

using WideString = std::u16string;
using WideChar = char16_t;

// An opaque kernel object, as HANDLE. Null and kInvalidHandle are both "no handle".
using Handle = void*;
inline const Handle kInvalidHandle = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));

// A CNG object (algorithm provider, hash, key), as BCRYPT_HANDLE.
using CngHandle = void*;
// The status of a CNG call, as NTSTATUS: negative means failure.
using NtStatus = int32_t;

// What GetFileInformationByHandle reports (BY_HANDLE_FILE_INFORMATION).
struct FileInformation {
    uint32_t attributes = 0;
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint32_t volumeSerialNumber = 0;
    uint32_t sizeHigh = 0;
    uint32_t sizeLow = 0;
    uint32_t numberOfLinks = 0;
    uint32_t indexHigh = 0;
    uint32_t indexLow = 0;

    uint64_t size() const { return (uint64_t{sizeHigh} << 32) | sizeLow; }
};

// One directory entry as FindFirstFileW / FindNextFileW report it (WIN32_FIND_DATAW).
struct FindData {
    uint32_t attributes = 0;
    uint32_t sizeHigh = 0;
    uint32_t sizeLow = 0;
    WideString name;  // cFileName
};

// What BCryptDecrypt takes as BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO for AES-GCM: the record is
// built with size 88 and version 1, these fields set and every other field zero.
struct AuthenticatedCipherInfo {
    const uint8_t* nonce = nullptr;
    uint32_t nonceSize = 0;
    const uint8_t* authData = nullptr;
    uint32_t authDataSize = 0;
    const uint8_t* tag = nullptr;
    uint32_t tagSize = 0;
};

// One stream as FindFirstStreamW / FindNextStreamW report it (WIN32_FIND_STREAM_DATA).
struct StreamData {
    int64_t size = 0;
    WideString name;  // cStreamName, such as "::$DATA" or ":Zone.Identifier:$DATA"
};

// Values of the Windows constants that the logic passes or tests.
namespace win {
inline constexpr uint32_t kStdOutputHandle = static_cast<uint32_t>(-11);
inline constexpr uint32_t kStdErrorHandle = static_cast<uint32_t>(-12);

inline constexpr uint32_t kLoadLibrarySearchSystem32 = 0x800;

inline constexpr uint32_t kMbOk = 0x0;
inline constexpr uint32_t kMbIconError = 0x10;

inline constexpr int kCstrLessThan = 1;
inline constexpr int kCstrEqual = 2;
inline constexpr int kCstrGreaterThan = 3;

inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kDelete = 0x00010000;
inline constexpr uint32_t kFileListDirectory = 0x0001;
inline constexpr uint32_t kFileReadAttributes = 0x0080;

inline constexpr uint32_t kFileShareRead = 0x1;
inline constexpr uint32_t kFileShareWrite = 0x2;
inline constexpr uint32_t kFileShareDelete = 0x4;

inline constexpr uint32_t kCreateNew = 1;
inline constexpr uint32_t kOpenExisting = 3;

inline constexpr uint32_t kFileFlagBackupSemantics = 0x02000000;
inline constexpr uint32_t kFileFlagOpenReparsePoint = 0x00200000;
inline constexpr uint32_t kFileFlagSequentialScan = 0x08000000;

inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeReparsePoint = 0x400;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

inline constexpr uint32_t kFileTypeDisk = 1;
inline constexpr uint32_t kDriveRemovable = 2;
inline constexpr uint32_t kDriveFixed = 3;
inline constexpr uint32_t kFileBegin = 0;
inline constexpr uint32_t kFindStreamInfoStandard = 0;

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorNoMoreFiles = 18;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorHandleEof = 38;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;
}  // namespace win

class Platform {
  public:
    virtual ~Platform() = default;

    // --- errors --------------------------------------------------------------------------
    virtual uint32_t GetLastError() = 0;
    virtual void SetLastError(uint32_t error) = 0;

    // --- process start-up and locations ------------------------------------------------
    virtual bool SetDefaultDllDirectories(uint32_t flags) = 0;
    virtual bool SetDllDirectoryW(const WideChar* path) = 0;
    virtual bool SetCurrentDirectoryW(const WideChar* path) = 0;
    virtual const WideChar* GetCommandLineW() = 0;
    // Returns an array of `*count` strings in one block to be released with LocalFree, or null.
    virtual WideChar** CommandLineToArgvW(const WideChar* commandLine, int* count) = 0;
    virtual void* LocalFree(void* memory) = 0;
    // `module` null: the running executable.
    virtual uint32_t GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) = 0;
    virtual uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                                      WideChar** filePart) = 0;
    virtual uint32_t GetSystemDirectoryW(WideChar* buffer, uint32_t size) = 0;
    virtual uint32_t GetWindowsDirectoryW(WideChar* buffer, uint32_t size) = 0;
    virtual uint64_t GetTickCount64() = 0;
    // Returns CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0 on failure. A count of -1
    // means the string is null-terminated.
    virtual int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                                     bool ignoreCase) = 0;

    // --- handles and output -----------------------------------------------------------------
    virtual Handle GetStdHandle(uint32_t which) = 0;
    virtual bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) = 0;
    virtual bool CloseHandle(Handle handle) = 0;

    // --- files and directories ----------------------------------------------------------------
    // `securityAttributes` points at a SECURITY_ATTRIBUTES record the platform built, or is null.
    virtual Handle CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                               void* securityAttributes, uint32_t creationDisposition,
                               uint32_t flagsAndAttributes, Handle templateFile) = 0;
    virtual bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) = 0;
    virtual bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                                  uint32_t moveMethod) = 0;
    virtual bool GetFileInformationByHandle(Handle file, FileInformation* information) = 0;
    virtual uint32_t GetFileType(Handle file) = 0;
    // The kind of volume whose root is `root` ("C:\\"): DRIVE_FIXED, DRIVE_REMOTE and so on.
    virtual uint32_t GetDriveTypeW(const WideChar* root) = 0;
    // Returns a search handle (closed with FindClose) or kInvalidHandle.
    virtual Handle FindFirstFileW(const WideChar* pattern, FindData* data) = 0;
    virtual bool FindNextFileW(Handle search, FindData* data) = 0;
    virtual Handle FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                                    uint32_t flags) = 0;
    virtual bool FindNextStreamW(Handle search, StreamData* data) = 0;
    virtual bool FindClose(Handle search) = 0;
    virtual bool FlushFileBuffers(Handle file) = 0;
    virtual bool MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) = 0;
    // `securityAttributes` as for CreateFileW.
    virtual bool CreateDirectoryW(const WideChar* path, void* securityAttributes) = 0;

    // --- memory -------------------------------------------------------------------------------
    // Overwrites `size` bytes with zeros in a way the compiler never drops.
    virtual void RtlSecureZeroMemory(void* memory, std::size_t size) = 0;

    // --- CNG ----------------------------------------------------------------------------------
    virtual NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                                 const WideChar* implementation,
                                                 uint32_t flags) = 0;
    virtual NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) = 0;
    virtual NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                                       uint32_t outputSize, uint32_t* resultSize,
                                       uint32_t flags) = 0;
    virtual NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                                      uint32_t hashObjectSize, const uint8_t* secret,
                                      uint32_t secretSize, uint32_t flags) = 0;
    virtual NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                                    uint32_t flags) = 0;
    virtual NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                                      uint32_t flags) = 0;
    virtual NtStatus BCryptDestroyHash(CngHandle hash) = 0;
    virtual NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey,
                                         const WideChar* blobType, CngHandle* key,
                                         const uint8_t* input, uint32_t inputSize,
                                         uint32_t flags) = 0;
    // `pkcs1HashAlgorithm` is the hash named in the BCRYPT_PKCS1_PADDING_INFO record.
    virtual NtStatus BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                           const uint8_t* hash, uint32_t hashSize,
                                           const uint8_t* signature, uint32_t signatureSize,
                                           uint32_t flags) = 0;
    virtual NtStatus BCryptDestroyKey(CngHandle key) = 0;
    virtual NtStatus BCryptSetProperty(CngHandle object, const WideChar* property,
                                       const uint8_t* input, uint32_t inputSize,
                                       uint32_t flags) = 0;
    virtual NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key,
                                                uint8_t* keyObject, uint32_t keyObjectSize,
                                                const uint8_t* secret, uint32_t secretSize,
                                                uint32_t flags) = 0;
    // `authenticatedInfo` is the pPaddingInfo argument; null passes none.
    virtual NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                                   const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                                   uint32_t ivSize, uint8_t* output, uint32_t outputSize,
                                   uint32_t* result, uint32_t flags) = 0;

    // --- user interface -----------------------------------------------------------------------
    virtual int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                            uint32_t style) = 0;
};

}  // namespace veltomarn

#pragma once

// The seam between the bootstrap's logic and the operating system.
//
// Every operating-system and crypto-provider call the bootstrap makes goes through `Platform`.
// Each member mirrors one Windows call: the same arguments (with project types), the same
// success and failure values, and the same last-error codes. Logic never sees <windows.h>.
// Two implementations exist: the product's Win32 one (platform/win32) and an in-memory model of
// Windows for host tests (tests/support/memory_platform.h), which can fail any call on demand.

#include <cstdint>
#include <string>

namespace veltomarn {

using WideString = std::u16string;
using WideChar = char16_t;

// An opaque kernel object, as HANDLE. Null and kInvalidHandle are both "no handle".
using Handle = void*;
inline const Handle kInvalidHandle = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));

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

    // --- user interface -----------------------------------------------------------------------
    virtual int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                            uint32_t style) = 0;
};

}  // namespace veltomarn

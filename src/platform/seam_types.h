#pragma once

// The types and constants that cross the platform seam: handles, statuses, the records Windows
// calls fill or take, and the values of the Windows constants the logic passes or tests.

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

// What CreateFileW and CreateDirectoryW take as SECURITY_ATTRIBUTES: the record is built with its
// size; `descriptor` is a self-relative SECURITY_DESCRIPTOR (null: the default security).
struct SecurityAttributes {
    const void* descriptor = nullptr;
    bool inheritHandle = false;
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

// What SetFileInformationByHandle takes for FileDispositionInfo (FILE_DISPOSITION_INFO).
struct FileDispositionInfo {
    bool deleteFile = false;
};

// What GetTokenInformation writes at the start of its buffer for TokenUser (TOKEN_USER): the
// user's SID (pointing into the same buffer) and its attributes.
struct TokenUser {
    const void* sid = nullptr;
    uint32_t attributes = 0;
};

// What CreateProcessW takes as STARTUPINFOW: the record is built with its size (104) and every
// other field zero. With `job` or `mitigationPolicy`, it is a STARTUPINFOEXW
// (EXTENDED_STARTUPINFO_PRESENT) whose attribute list names that job
// (PROC_THREAD_ATTRIBUTE_JOB_LIST: the process is born in it) and holds those
// PROCESS_CREATION_MITIGATION_POLICY_* flags (PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, 64 bits).
struct StartupInfo {
    Handle job = nullptr;
    uint64_t mitigationPolicy = 0;
};

// What CreateProcessW fills (PROCESS_INFORMATION).
struct ProcessInformation {
    Handle process = nullptr;
    Handle thread = nullptr;
    uint32_t processId = 0;
    uint32_t threadId = 0;
};

// What SetInformationJobObject takes for JobObjectExtendedLimitInformation
// (JOBOBJECT_EXTENDED_LIMIT_INFORMATION): the record is built zeroed with these basic limit flags;
// no other limit is ever set.
struct JobExtendedLimitInformation {
    uint32_t limitFlags = 0;
};

// What QueryInformationJobObject fills for JobObjectBasicAccountingInformation
// (JOBOBJECT_BASIC_ACCOUNTING_INFORMATION): the process counts.
struct JobBasicAccountingInformation {
    uint32_t totalProcesses = 0;
    uint32_t activeProcesses = 0;
    uint32_t totalTerminatedProcesses = 0;
};

// A window procedure, as WNDPROC.
using WindowProcedure = intptr_t (*)(void* window, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam);

// What RegisterClassExW takes as WNDCLASSEXW: the record is built with its size, the executable's
// module as the instance and the arrow cursor, these fields set and every other field zero.
struct WindowClass {
    WindowProcedure procedure = nullptr;
    uintptr_t background = 0;  // hbrBackground: a system colour index plus one
    const WideChar* name = nullptr;
};

// A message as PeekMessageW fills it and DispatchMessageW takes it: MSG, member for member.
struct WindowMessage {
    void* window = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    uint32_t time = 0;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t privateData = 0;
};

// Values of the Windows constants that the logic passes or tests.
namespace win {
// The prefix of a path that Windows takes as it stands, without normalising it or limiting its
// length ("\\?\"), and its length in code units.
inline constexpr WideChar kLongPathPrefix[] = u"\\\\?\\";
inline constexpr std::size_t kLongPathPrefixUnits = 4;
static_assert(sizeof kLongPathPrefix / sizeof(WideChar) - 1 == kLongPathPrefixUnits);

inline constexpr uint32_t kStdOutputHandle = static_cast<uint32_t>(-11);
inline constexpr uint32_t kStdErrorHandle = static_cast<uint32_t>(-12);

inline constexpr uint32_t kLoadLibrarySearchSystem32 = 0x800;

inline constexpr uint32_t kMbOk = 0x0;
inline constexpr uint32_t kMbIconError = 0x10;

inline constexpr uint32_t kWsChild = 0x40000000;
inline constexpr uint32_t kWsVisible = 0x10000000;
inline constexpr uint32_t kWsCaption = 0x00C00000;
inline constexpr uint32_t kWsSysMenu = 0x00080000;
inline constexpr uint32_t kWsTabStop = 0x00010000;
inline constexpr uint32_t kWsExControlParent = 0x00010000;
inline constexpr uint32_t kWsExDlgModalFrame = 0x1;
inline constexpr uint32_t kPbsSmooth = 0x1;
inline constexpr uint32_t kIccProgressClass = 0x20;
inline constexpr uintptr_t kColorBtnFace = 15;
inline constexpr int kSwShow = 5;
inline constexpr int kSmCxScreen = 0;
inline constexpr int kSmCyScreen = 1;
inline constexpr int kSmCyCaption = 4;
inline constexpr int kSmCxFixedFrame = 7;
inline constexpr int kSmCyFixedFrame = 8;
inline constexpr int kDefaultGuiFont = 17;
inline constexpr uint32_t kPmRemove = 1;
inline constexpr uint32_t kWmSetText = 0x000C;
inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmSetFont = 0x0030;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kPbmSetPos = 0x0402;
inline constexpr uint32_t kPbmSetRange32 = 0x0406;
inline constexpr uint32_t kIdCancel = 2;
inline constexpr uint32_t kErrorClassAlreadyExists = 1410;

inline constexpr int kCstrLessThan = 1;
inline constexpr int kCstrEqual = 2;
inline constexpr int kCstrGreaterThan = 3;

inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kDelete = 0x00010000;
inline constexpr uint32_t kReadControl = 0x00020000;
inline constexpr uint32_t kWriteDac = 0x00040000;
inline constexpr uint32_t kFileListDirectory = 0x0001;
inline constexpr uint32_t kFileReadAttributes = 0x0080;

inline constexpr uint32_t kFileShareRead = 0x1;
inline constexpr uint32_t kFileShareWrite = 0x2;
inline constexpr uint32_t kFileShareDelete = 0x4;

inline constexpr uint32_t kCreateNew = 1;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kOpenAlways = 4;

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
inline constexpr uint32_t kFileDispositionInfoClass = 4;

// The pseudo handle GetCurrentProcess returns.
inline const Handle kCurrentProcess = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
inline constexpr uint32_t kTokenQuery = 8;
inline constexpr uint32_t kTokenUserClass = 1;
inline constexpr uint32_t kSddlRevision1 = 1;
inline constexpr uint32_t kDaclSecurityInformation = 0x4;
inline constexpr uint32_t kProtectedDaclSecurityInformation = 0x80000000;
inline constexpr int kCsidlLocalAppData = 0x1c;
inline constexpr uint32_t kShgfpTypeCurrent = 0;
inline constexpr uint32_t kMaxPath = 260;
inline constexpr uint32_t kBcryptUseSystemPreferredRng = 2;

inline constexpr uint32_t kJobObjectBasicAccountingInformation = 1;
inline constexpr uint32_t kJobObjectExtendedLimitInformation = 9;
inline constexpr uint32_t kJobObjectLimitKillOnJobClose = 0x2000;
inline constexpr uint32_t kCreateSuspended = 0x4;
inline constexpr uint64_t kMitigationImageLoadNoRemoteAlwaysOn = 1ULL << 52;
inline constexpr uint64_t kMitigationImageLoadNoLowLabelAlwaysOn = 1ULL << 56;
inline constexpr uint64_t kMitigationImageLoadPreferSystem32AlwaysOn = 1ULL << 60;
inline constexpr uint32_t kCreateUnicodeEnvironment = 0x400;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kResumeThreadFailed = 0xFFFFFFFF;

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorNoMoreFiles = 18;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorLockViolation = 33;
inline constexpr uint32_t kErrorHandleEof = 38;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;
}  // namespace win

}  // namespace veltomarn

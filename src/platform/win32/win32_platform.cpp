#include "platform/win32/win32_platform.h"

// <windows.h> first: the other headers build on its types.
#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace veltomarn {
namespace {

static_assert(sizeof(WideChar) == sizeof(wchar_t), "UTF-16 code units are wchar_t on Windows");

LPCWSTR W(const WideChar* text) {
    return reinterpret_cast<LPCWSTR>(text);
}
LPWSTR W(WideChar* text) {
    return reinterpret_cast<LPWSTR>(text);
}

// The SECURITY_ATTRIBUTES record for `attributes`; null stays null (the default security).
class Win32SecurityAttributes {
  public:
    explicit Win32SecurityAttributes(const SecurityAttributes* attributes)
        : record_{sizeof(SECURITY_ATTRIBUTES),
                  attributes == nullptr ? nullptr : const_cast<void*>(attributes->descriptor),
                  attributes != nullptr && attributes->inheritHandle ? TRUE : FALSE},
          given_(attributes != nullptr) {}
    LPSECURITY_ATTRIBUTES get() { return given_ ? &record_ : nullptr; }

  private:
    SECURITY_ATTRIBUTES record_;
    bool given_;
};

// CNG lives in bcrypt.dll, which is not among the DLLs that Windows always takes from the system
// directory: imported statically, a bcrypt.dll planted beside the executable would be loaded
// before the first instruction. It is loaded from the system directory on the first CNG call,
// after hardening, and its functions are resolved once. A failed load or resolve fails every CNG
// call, so the first CNG step of a run fails with its own code.
struct Cng {
    decltype(&::BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;
    decltype(&::BCryptCreateHash) BCryptCreateHash;
    decltype(&::BCryptDecrypt) BCryptDecrypt;
    decltype(&::BCryptDestroyHash) BCryptDestroyHash;
    decltype(&::BCryptDestroyKey) BCryptDestroyKey;
    decltype(&::BCryptFinishHash) BCryptFinishHash;
    decltype(&::BCryptGenerateSymmetricKey) BCryptGenerateSymmetricKey;
    decltype(&::BCryptGenRandom) BCryptGenRandom;
    decltype(&::BCryptGetProperty) BCryptGetProperty;
    decltype(&::BCryptHashData) BCryptHashData;
    decltype(&::BCryptImportKeyPair) BCryptImportKeyPair;
    decltype(&::BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
    decltype(&::BCryptSetProperty) BCryptSetProperty;
    decltype(&::BCryptVerifySignature) BCryptVerifySignature;
};

constexpr NTSTATUS kStatusDllNotFound = static_cast<NTSTATUS>(0xC0000135);

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

bool LoadCng(Cng& cng) {
    const HMODULE module = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module != nullptr &&
           Resolve(module, "BCryptCloseAlgorithmProvider", cng.BCryptCloseAlgorithmProvider) &&
           Resolve(module, "BCryptCreateHash", cng.BCryptCreateHash) &&
           Resolve(module, "BCryptDecrypt", cng.BCryptDecrypt) &&
           Resolve(module, "BCryptDestroyHash", cng.BCryptDestroyHash) &&
           Resolve(module, "BCryptDestroyKey", cng.BCryptDestroyKey) &&
           Resolve(module, "BCryptFinishHash", cng.BCryptFinishHash) &&
           Resolve(module, "BCryptGenerateSymmetricKey", cng.BCryptGenerateSymmetricKey) &&
           Resolve(module, "BCryptGenRandom", cng.BCryptGenRandom) &&
           Resolve(module, "BCryptGetProperty", cng.BCryptGetProperty) &&
           Resolve(module, "BCryptHashData", cng.BCryptHashData) &&
           Resolve(module, "BCryptImportKeyPair", cng.BCryptImportKeyPair) &&
           Resolve(module, "BCryptOpenAlgorithmProvider", cng.BCryptOpenAlgorithmProvider) &&
           Resolve(module, "BCryptSetProperty", cng.BCryptSetProperty) &&
           Resolve(module, "BCryptVerifySignature", cng.BCryptVerifySignature);
}

const Cng* LoadedCng() {
    static Cng cng{};
    static const bool loaded = LoadCng(cng);
    return loaded ? &cng : nullptr;
}

template <typename Function, typename... Arguments>
NTSTATUS CallCng(Function Cng::*function, Arguments... arguments) {
    const Cng* cng = LoadedCng();
    return cng != nullptr ? (cng->*function)(arguments...) : kStatusDllNotFound;
}

// MSG and WNDPROC as the seam mirrors them.
static_assert(sizeof(WindowMessage) == sizeof(MSG) &&
              offsetof(WindowMessage, time) == offsetof(MSG, time) &&
              offsetof(WindowMessage, y) == offsetof(MSG, pt.y));
static_assert(sizeof(uintptr_t) == sizeof(WPARAM) && sizeof(intptr_t) == sizeof(LPARAM));

MSG* M(WindowMessage* message) {
    return reinterpret_cast<MSG*>(message);
}
const MSG* M(const WindowMessage* message) {
    return reinterpret_cast<const MSG*>(message);
}

// Loaded from the system directory on the first call, as CNG is; a failed load or resolve makes
// every call fail.
decltype(&::InitCommonControlsEx) LoadedInitCommonControlsEx() {
    static const auto function = [] {
        decltype(&::InitCommonControlsEx) resolved = nullptr;
        const HMODULE module =
            ::LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module != nullptr) Resolve(module, "InitCommonControlsEx", resolved);
        return resolved;
    }();
    return function;
}

}  // namespace

void Win32Platform::SetWorkMeter(std::function<void(uint64_t)> meter) {
    meter_ = std::move(meter);
}

bool Win32Platform::InitCommonControlsEx(uint32_t classes) {
    const auto function = LoadedInitCommonControlsEx();
    const INITCOMMONCONTROLSEX record{sizeof(INITCOMMONCONTROLSEX), classes};
    return function != nullptr && function(&record) != FALSE;
}
uint16_t Win32Platform::RegisterClassExW(const WindowClass& windowClass) {
    WNDCLASSEXW record{};
    record.cbSize = sizeof record;
    // WNDPROC is this very signature on x64 (the calling convention attribute is ignored there).
    record.lpfnWndProc = reinterpret_cast<WNDPROC>(windowClass.procedure);
    record.hInstance = ::GetModuleHandleW(nullptr);
    record.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    record.hbrBackground = reinterpret_cast<HBRUSH>(windowClass.background);
    record.lpszClassName = W(windowClass.name);
    return ::RegisterClassExW(&record);
}
void* Win32Platform::CreateWindowExW(uint32_t exStyle, const WideChar* className,
                                     const WideChar* windowName, uint32_t style, int x, int y,
                                     int width, int height, void* parent, uintptr_t menu) {
    return ::CreateWindowExW(exStyle, W(className), W(windowName), style, x, y, width, height,
                             static_cast<HWND>(parent), reinterpret_cast<HMENU>(menu),
                             ::GetModuleHandleW(nullptr), nullptr);
}
bool Win32Platform::DestroyWindow(void* window) {
    return ::DestroyWindow(static_cast<HWND>(window)) != FALSE;
}
bool Win32Platform::ShowWindow(void* window, int command) {
    return ::ShowWindow(static_cast<HWND>(window), command) != FALSE;
}
bool Win32Platform::SetForegroundWindow(void* window) {
    return ::SetForegroundWindow(static_cast<HWND>(window)) != FALSE;
}
void* Win32Platform::SetFocus(void* window) {
    return ::SetFocus(static_cast<HWND>(window));
}
bool Win32Platform::PeekMessageW(WindowMessage* message, void* window, uint32_t filterMin,
                                 uint32_t filterMax, uint32_t remove) {
    return ::PeekMessageW(M(message), static_cast<HWND>(window), filterMin, filterMax, remove) !=
           FALSE;
}
bool Win32Platform::IsDialogMessageW(void* dialog, WindowMessage* message) {
    return ::IsDialogMessageW(static_cast<HWND>(dialog), M(message)) != FALSE;
}
bool Win32Platform::TranslateMessage(const WindowMessage* message) {
    return ::TranslateMessage(M(message)) != FALSE;
}
intptr_t Win32Platform::DispatchMessageW(const WindowMessage* message) {
    return ::DispatchMessageW(M(message));
}
intptr_t Win32Platform::SendMessageW(void* window, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam) {
    return ::SendMessageW(static_cast<HWND>(window), message, wParam, lParam);
}
intptr_t Win32Platform::DefWindowProcW(void* window, uint32_t message, uintptr_t wParam,
                                       intptr_t lParam) {
    return ::DefWindowProcW(static_cast<HWND>(window), message, wParam, lParam);
}
int Win32Platform::GetSystemMetrics(int index) {
    return ::GetSystemMetrics(index);
}
int32_t Win32Platform::GetDialogBaseUnits() {
    return ::GetDialogBaseUnits();
}
void* Win32Platform::GetStockObject(int object) {
    return ::GetStockObject(object);
}

uint32_t Win32Platform::GetLastError() {
    return ::GetLastError();
}
void Win32Platform::SetLastError(uint32_t error) {
    ::SetLastError(error);
}

bool Win32Platform::SetDefaultDllDirectories(uint32_t flags) {
    return ::SetDefaultDllDirectories(flags) != FALSE;
}
bool Win32Platform::SetDllDirectoryW(const WideChar* path) {
    return ::SetDllDirectoryW(W(path)) != FALSE;
}
bool Win32Platform::SetCurrentDirectoryW(const WideChar* path) {
    return ::SetCurrentDirectoryW(W(path)) != FALSE;
}
const WideChar* Win32Platform::GetCommandLineW() {
    return reinterpret_cast<const WideChar*>(::GetCommandLineW());
}
WideChar** Win32Platform::CommandLineToArgvW(const WideChar* commandLine, int* count) {
    return reinterpret_cast<WideChar**>(::CommandLineToArgvW(W(commandLine), count));
}
void* Win32Platform::LocalFree(void* memory) {
    return ::LocalFree(memory);
}
uint32_t Win32Platform::GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), W(buffer), size);
}
uint32_t Win32Platform::GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                                         WideChar** filePart) {
    return ::GetFullPathNameW(W(path), size, W(buffer), reinterpret_cast<LPWSTR*>(filePart));
}
uint32_t Win32Platform::GetSystemDirectoryW(WideChar* buffer, uint32_t size) {
    return ::GetSystemDirectoryW(W(buffer), size);
}
uint32_t Win32Platform::GetWindowsDirectoryW(WideChar* buffer, uint32_t size) {
    return ::GetWindowsDirectoryW(W(buffer), size);
}
uint64_t Win32Platform::GetTickCount64() {
    return ::GetTickCount64();
}
int Win32Platform::CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b,
                                        int countB, bool ignoreCase) {
    return ::CompareStringOrdinal(W(a), countA, W(b), countB, ignoreCase ? TRUE : FALSE);
}

Handle Win32Platform::GetStdHandle(uint32_t which) {
    return ::GetStdHandle(which);
}
bool Win32Platform::WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(file, data, size, &count, nullptr);
    *written = count;
    return ok != FALSE;
}
bool Win32Platform::CloseHandle(Handle handle) {
    return ::CloseHandle(handle) != FALSE;
}

void* Win32Platform::GetDesktopWindow() {
    return ::GetDesktopWindow();
}

int Win32Platform::MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                               uint32_t style) {
    return ::MessageBoxW(static_cast<HWND>(owner), W(text), W(caption), style);
}

Handle Win32Platform::CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                                  const SecurityAttributes* securityAttributes,
                                  uint32_t creationDisposition, uint32_t flagsAndAttributes,
                                  Handle templateFile) {
    return ::CreateFileW(W(path), desiredAccess, shareMode,
                         Win32SecurityAttributes(securityAttributes).get(), creationDisposition,
                         flagsAndAttributes, templateFile);
}
bool Win32Platform::ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) {
    DWORD count = 0;
    const BOOL ok = ::ReadFile(file, buffer, size, &count, nullptr);
    *read = count;
    return ok != FALSE;
}
bool Win32Platform::SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                                     uint32_t moveMethod) {
    LARGE_INTEGER move;
    move.QuadPart = distance;
    LARGE_INTEGER position;
    const BOOL ok = ::SetFilePointerEx(file, move, &position, moveMethod);
    if (ok && newPosition != nullptr) *newPosition = position.QuadPart;
    return ok != FALSE;
}
bool Win32Platform::GetFileInformationByHandle(Handle file, FileInformation* information) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    auto time = [](const FILETIME& t) {
        return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    };
    *information = FileInformation{info.dwFileAttributes,       time(info.ftCreationTime),
                                   time(info.ftLastAccessTime), time(info.ftLastWriteTime),
                                   info.dwVolumeSerialNumber,   info.nFileSizeHigh,
                                   info.nFileSizeLow,           info.nNumberOfLinks,
                                   info.nFileIndexHigh,         info.nFileIndexLow};
    return true;
}
uint32_t Win32Platform::GetDriveTypeW(const WideChar* root) {
    return ::GetDriveTypeW(W(root));
}
uint32_t Win32Platform::GetFileType(Handle file) {
    return ::GetFileType(file);
}

namespace {
void CopyFindData(const WIN32_FIND_DATAW& from, FindData* to) {
    to->attributes = from.dwFileAttributes;
    to->sizeHigh = from.nFileSizeHigh;
    to->sizeLow = from.nFileSizeLow;
    to->name.assign(reinterpret_cast<const WideChar*>(from.cFileName));
}
void CopyStreamData(const WIN32_FIND_STREAM_DATA& from, StreamData* to) {
    to->size = from.StreamSize.QuadPart;
    to->name.assign(reinterpret_cast<const WideChar*>(from.cStreamName));
}
}  // namespace

Handle Win32Platform::FindFirstFileW(const WideChar* pattern, FindData* data) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(W(pattern), &found);
    if (search != INVALID_HANDLE_VALUE) CopyFindData(found, data);
    return search;
}
bool Win32Platform::FindNextFileW(Handle search, FindData* data) {
    WIN32_FIND_DATAW found{};
    if (!::FindNextFileW(search, &found)) return false;
    CopyFindData(found, data);
    return true;
}
Handle Win32Platform::FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                                       uint32_t flags) {
    WIN32_FIND_STREAM_DATA found{};
    const HANDLE search =
        ::FindFirstStreamW(W(path), static_cast<STREAM_INFO_LEVELS>(infoLevel), &found, flags);
    if (search != INVALID_HANDLE_VALUE) CopyStreamData(found, data);
    return search;
}
bool Win32Platform::FindNextStreamW(Handle search, StreamData* data) {
    WIN32_FIND_STREAM_DATA found{};
    if (!::FindNextStreamW(search, &found)) return false;
    CopyStreamData(found, data);
    return true;
}
bool Win32Platform::FindClose(Handle search) {
    return ::FindClose(search) != FALSE;
}

NtStatus Win32Platform::BCryptOpenAlgorithmProvider(CngHandle* algorithm,
                                                    const WideChar* algorithmId,
                                                    const WideChar* implementation,
                                                    uint32_t flags) {
    return CallCng(&Cng::BCryptOpenAlgorithmProvider,
                   reinterpret_cast<BCRYPT_ALG_HANDLE*>(algorithm), W(algorithmId),
                   W(implementation), flags);
}
NtStatus Win32Platform::BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) {
    return CallCng(&Cng::BCryptCloseAlgorithmProvider, algorithm, flags);
}
NtStatus Win32Platform::BCryptGetProperty(CngHandle object, const WideChar* property,
                                          uint8_t* output, uint32_t outputSize,
                                          uint32_t* resultSize, uint32_t flags) {
    ULONG result = 0;
    const NTSTATUS status =
        CallCng(&Cng::BCryptGetProperty, object, W(property), output, outputSize, &result, flags);
    *resultSize = result;
    return status;
}
NtStatus Win32Platform::BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                                         uint32_t hashObjectSize, const uint8_t* secret,
                                         uint32_t secretSize, uint32_t flags) {
    return CallCng(&Cng::BCryptCreateHash, algorithm, reinterpret_cast<BCRYPT_HASH_HANDLE*>(hash),
                   hashObject, hashObjectSize, const_cast<PUCHAR>(secret), secretSize, flags);
}
NtStatus Win32Platform::BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                                       uint32_t flags) {
    const NTSTATUS status =
        CallCng(&Cng::BCryptHashData, hash, const_cast<PUCHAR>(input), size, flags);
    if (status >= 0 && meter_) meter_(size);
    return status;
}
NtStatus Win32Platform::BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                                         uint32_t flags) {
    return CallCng(&Cng::BCryptFinishHash, hash, output, size, flags);
}
NtStatus Win32Platform::BCryptDestroyHash(CngHandle hash) {
    return CallCng(&Cng::BCryptDestroyHash, hash);
}

NtStatus Win32Platform::BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey,
                                            const WideChar* blobType, CngHandle* key,
                                            const uint8_t* input, uint32_t inputSize,
                                            uint32_t flags) {
    return CallCng(&Cng::BCryptImportKeyPair, algorithm, importKey, W(blobType),
                   reinterpret_cast<BCRYPT_KEY_HANDLE*>(key), const_cast<PUCHAR>(input), inputSize,
                   flags);
}
NtStatus Win32Platform::BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                              const uint8_t* hash, uint32_t hashSize,
                                              const uint8_t* signature, uint32_t signatureSize,
                                              uint32_t flags) {
    BCRYPT_PKCS1_PADDING_INFO padding{W(pkcs1HashAlgorithm)};
    return CallCng(&Cng::BCryptVerifySignature, key, &padding, const_cast<PUCHAR>(hash), hashSize,
                   const_cast<PUCHAR>(signature), signatureSize, flags);
}
NtStatus Win32Platform::BCryptDestroyKey(CngHandle key) {
    return CallCng(&Cng::BCryptDestroyKey, key);
}

NtStatus Win32Platform::BCryptSetProperty(CngHandle object, const WideChar* property,
                                          const uint8_t* input, uint32_t inputSize,
                                          uint32_t flags) {
    return CallCng(&Cng::BCryptSetProperty, object, W(property), const_cast<PUCHAR>(input),
                   inputSize, flags);
}
NtStatus Win32Platform::BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key,
                                                   uint8_t* keyObject, uint32_t keyObjectSize,
                                                   const uint8_t* secret, uint32_t secretSize,
                                                   uint32_t flags) {
    return CallCng(&Cng::BCryptGenerateSymmetricKey, algorithm,
                   reinterpret_cast<BCRYPT_KEY_HANDLE*>(key), keyObject, keyObjectSize,
                   const_cast<PUCHAR>(secret), secretSize, flags);
}
NtStatus Win32Platform::BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                                        uint32_t flags) {
    return CallCng(&Cng::BCryptGenRandom, algorithm, buffer, size, flags);
}
NtStatus Win32Platform::BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                                      const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                                      uint32_t ivSize, uint8_t* output, uint32_t outputSize,
                                      uint32_t* result, uint32_t flags) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    void* padding = nullptr;
    if (authenticatedInfo != nullptr) {
        info.pbNonce = const_cast<PUCHAR>(authenticatedInfo->nonce);
        info.cbNonce = authenticatedInfo->nonceSize;
        info.pbAuthData = const_cast<PUCHAR>(authenticatedInfo->authData);
        info.cbAuthData = authenticatedInfo->authDataSize;
        info.pbTag = const_cast<PUCHAR>(authenticatedInfo->tag);
        info.cbTag = authenticatedInfo->tagSize;
        padding = &info;
    }
    ULONG produced = 0;
    const NTSTATUS status = CallCng(&Cng::BCryptDecrypt, key, const_cast<PUCHAR>(input), inputSize,
                                    padding, iv, ivSize, output, outputSize, &produced, flags);
    *result = produced;
    if (status >= 0 && meter_) meter_(inputSize);
    return status;
}
bool Win32Platform::FlushFileBuffers(Handle file) {
    return ::FlushFileBuffers(file) != FALSE;
}
bool Win32Platform::MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) {
    return ::MoveFileExW(W(from), W(to), flags) != FALSE;
}
bool Win32Platform::CreateDirectoryW(const WideChar* path,
                                     const SecurityAttributes* securityAttributes) {
    return ::CreateDirectoryW(W(path), Win32SecurityAttributes(securityAttributes).get()) != FALSE;
}
bool Win32Platform::RemoveDirectoryW(const WideChar* path) {
    return ::RemoveDirectoryW(W(path)) != FALSE;
}
bool Win32Platform::SetFileInformationByHandle(Handle file, uint32_t informationClass,
                                               const FileDispositionInfo* information) {
    if (informationClass != win::kFileDispositionInfoClass || information == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    FILE_DISPOSITION_INFO record{static_cast<BOOLEAN>(information->deleteFile ? TRUE : FALSE)};
    return ::SetFileInformationByHandle(file, ::FileDispositionInfo, &record, sizeof record) !=
           FALSE;
}
bool Win32Platform::GetDiskFreeSpaceExW(const WideChar* directory, uint64_t* freeBytesAvailable,
                                        uint64_t* totalBytes, uint64_t* totalFreeBytes) {
    ULARGE_INTEGER available{}, total{}, free{};
    if (::GetDiskFreeSpaceExW(W(directory), &available, &total, &free) == FALSE) return false;
    if (freeBytesAvailable != nullptr) *freeBytesAvailable = available.QuadPart;
    if (totalBytes != nullptr) *totalBytes = total.QuadPart;
    if (totalFreeBytes != nullptr) *totalFreeBytes = free.QuadPart;
    return true;
}

int32_t Win32Platform::SHGetFolderPathW(void* owner, int folder, Handle token, uint32_t flags,
                                        WideChar* path) {
    return ::SHGetFolderPathW(static_cast<HWND>(owner), folder, token, flags, W(path));
}
void Win32Platform::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}
WideChar* Win32Platform::GetEnvironmentStringsW() {
    return reinterpret_cast<WideChar*>(::GetEnvironmentStringsW());
}
bool Win32Platform::FreeEnvironmentStringsW(WideChar* block) {
    return ::FreeEnvironmentStringsW(W(block)) != FALSE;
}
Handle Win32Platform::CreateJobObjectW(const SecurityAttributes* attributes, const WideChar* name) {
    return ::CreateJobObjectW(Win32SecurityAttributes(attributes).get(), W(name));
}
bool Win32Platform::SetInformationJobObject(Handle job, uint32_t informationClass,
                                            const JobExtendedLimitInformation* information) {
    if (informationClass != JobObjectExtendedLimitInformation || information == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION record{};
    record.BasicLimitInformation.LimitFlags = information->limitFlags;
    return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &record,
                                     sizeof record) != FALSE;
}
bool Win32Platform::QueryInformationJobObject(Handle job, uint32_t informationClass,
                                              JobBasicAccountingInformation* information) {
    if (informationClass != JobObjectBasicAccountingInformation || information == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION record{};
    if (::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &record,
                                    sizeof record, nullptr) == FALSE) {
        return false;
    }
    information->totalProcesses = record.TotalProcesses;
    information->activeProcesses = record.ActiveProcesses;
    information->totalTerminatedProcesses = record.TotalTerminatedProcesses;
    return true;
}
bool Win32Platform::AssignProcessToJobObject(Handle job, Handle process) {
    return ::AssignProcessToJobObject(job, process) != FALSE;
}
bool Win32Platform::TerminateJobObject(Handle job, uint32_t exitCode) {
    return ::TerminateJobObject(job, exitCode) != FALSE;
}
bool Win32Platform::CreateProcessW(const WideChar* applicationName, WideChar* commandLine,
                                   const SecurityAttributes* processAttributes,
                                   const SecurityAttributes* threadAttributes, bool inheritHandles,
                                   uint32_t creationFlags, const WideChar* environment,
                                   const WideChar* currentDirectory, const StartupInfo* startupInfo,
                                   ProcessInformation* processInformation) {
    if (startupInfo == nullptr || processInformation == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    STARTUPINFOEXW start{};
    start.StartupInfo.cb = sizeof start.StartupInfo;
    HANDLE job = startupInfo->job;
    DWORD64 policy = startupInfo->mitigationPolicy;
    const DWORD attributes = (job != nullptr ? 1 : 0) + (policy != 0 ? 1 : 0);
    SIZE_T listBytes = 0;
    std::vector<unsigned char> list;
    if (attributes != 0) {
        ::InitializeProcThreadAttributeList(nullptr, attributes, 0, &listBytes);
        list.resize(listBytes);
        start.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
        if (::InitializeProcThreadAttributeList(start.lpAttributeList, attributes, 0, &listBytes) ==
            FALSE) {
            return false;
        }
        start.StartupInfo.cb = sizeof start;
        creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const bool listed =
        (job == nullptr ||
         ::UpdateProcThreadAttribute(start.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job,
                                     sizeof job, nullptr, nullptr) != FALSE) &&
        (policy == 0 || ::UpdateProcThreadAttribute(
                            start.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY,
                            &policy, sizeof policy, nullptr, nullptr) != FALSE);
    PROCESS_INFORMATION started{};
    const BOOL created =
        listed && ::CreateProcessW(W(applicationName), W(commandLine),
                                   Win32SecurityAttributes(processAttributes).get(),
                                   Win32SecurityAttributes(threadAttributes).get(),
                                   inheritHandles ? TRUE : FALSE, creationFlags,
                                   const_cast<WideChar*>(environment), W(currentDirectory),
                                   &start.StartupInfo, &started);
    if (attributes != 0) {
        const DWORD error = ::GetLastError();
        ::DeleteProcThreadAttributeList(start.lpAttributeList);
        ::SetLastError(error);
    }
    if (created == FALSE) return false;
    *processInformation = {started.hProcess, started.hThread, started.dwProcessId,
                           started.dwThreadId};
    return true;
}
uint32_t Win32Platform::ResumeThread(Handle thread) {
    return ::ResumeThread(thread);
}
bool Win32Platform::TerminateProcess(Handle process, uint32_t exitCode) {
    return ::TerminateProcess(process, exitCode) != FALSE;
}
uint32_t Win32Platform::WaitForSingleObject(Handle object, uint32_t milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}
bool Win32Platform::GetExitCodeProcess(Handle process, uint32_t* exitCode) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process, &code) == FALSE) return false;
    *exitCode = code;
    return true;
}

bool Win32Platform::OpenProcessToken(Handle process, uint32_t desiredAccess, Handle* token) {
    return ::OpenProcessToken(process, desiredAccess, reinterpret_cast<PHANDLE>(token)) != FALSE;
}
bool Win32Platform::GetTokenInformation(Handle token, uint32_t informationClass,
                                        TokenUser* information, uint32_t size,
                                        uint32_t* returnLength) {
    static_assert(sizeof(TokenUser) == sizeof(TOKEN_USER) &&
                      offsetof(TokenUser, sid) == offsetof(TOKEN_USER, User.Sid) &&
                      offsetof(TokenUser, attributes) == offsetof(TOKEN_USER, User.Attributes),
                  "TokenUser is laid out as TOKEN_USER");
    if (informationClass != win::kTokenUserClass) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD length = 0;
    const BOOL ok = ::GetTokenInformation(token, ::TokenUser, information, size, &length);
    if (returnLength != nullptr) *returnLength = length;
    return ok != FALSE;
}
bool Win32Platform::ConvertSidToStringSidW(const void* sid, WideChar** text) {
    return ::ConvertSidToStringSidW(const_cast<PSID>(sid), reinterpret_cast<LPWSTR*>(text)) !=
           FALSE;
}
bool Win32Platform::ConvertStringSecurityDescriptorToSecurityDescriptorW(const WideChar* text,
                                                                         uint32_t revision,
                                                                         void** descriptor,
                                                                         uint32_t* size) {
    ULONG length = 0;
    const BOOL ok = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        W(text), revision, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor), &length);
    if (size != nullptr) *size = length;
    return ok != FALSE;
}
bool Win32Platform::SetKernelObjectSecurity(Handle object, uint32_t securityInformation,
                                            const void* descriptor) {
    return ::SetKernelObjectSecurity(object, securityInformation,
                                     const_cast<PSECURITY_DESCRIPTOR>(descriptor)) != FALSE;
}
void Win32Platform::RtlSecureZeroMemory(void* memory, std::size_t size) {
    ::RtlSecureZeroMemory(memory, size);
}

}  // namespace veltomarn

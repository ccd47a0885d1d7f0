#pragma once

#include "platform/platform.h"

namespace veltomarn {

// The product's platform: every member is the one Windows call it is named after.
class Win32Platform final : public Platform {
  public:
    // FileSystem, Processes and Interaction.
    uint32_t GetLastError() override;
    void SetLastError(uint32_t error) override;

    bool SetDefaultDllDirectories(uint32_t flags) override;
    bool SetDllDirectoryW(const WideChar* path) override;
    bool SetCurrentDirectoryW(const WideChar* path) override;
    const WideChar* GetCommandLineW() override;
    WideChar** CommandLineToArgvW(const WideChar* commandLine, int* count) override;
    void* LocalFree(void* memory) override;
    uint32_t GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) override;
    uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                              WideChar** filePart) override;
    uint32_t GetSystemDirectoryW(WideChar* buffer, uint32_t size) override;
    uint32_t GetWindowsDirectoryW(WideChar* buffer, uint32_t size) override;
    uint64_t GetTickCount64() override;
    int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                             bool ignoreCase) override;

    Handle GetStdHandle(uint32_t which) override;
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
    uint32_t GetDriveTypeW(const WideChar* root) override;
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
    int32_t SHGetFolderPathW(void* owner, int folder, Handle token, uint32_t flags,
                             WideChar* path) override;
    void Sleep(uint32_t milliseconds) override;
    WideChar* GetEnvironmentStringsW() override;
    bool FreeEnvironmentStringsW(WideChar* block) override;
    Handle CreateJobObjectW(const SecurityAttributes* attributes, const WideChar* name) override;
    bool SetInformationJobObject(Handle job, uint32_t informationClass,
                                 const JobExtendedLimitInformation* information) override;
    bool QueryInformationJobObject(Handle job, uint32_t informationClass,
                                   JobBasicAccountingInformation* information) override;
    bool AssignProcessToJobObject(Handle job, Handle process) override;
    bool TerminateJobObject(Handle job, uint32_t exitCode) override;
    bool CreateProcessW(const WideChar* applicationName, WideChar* commandLine,
                        const SecurityAttributes* processAttributes,
                        const SecurityAttributes* threadAttributes, bool inheritHandles,
                        uint32_t creationFlags, const WideChar* environment,
                        const WideChar* currentDirectory, const StartupInfo* startupInfo,
                        ProcessInformation* processInformation) override;
    uint32_t ResumeThread(Handle thread) override;
    bool TerminateProcess(Handle process, uint32_t exitCode) override;
    uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) override;
    bool GetExitCodeProcess(Handle process, uint32_t* exitCode) override;

    // Security.
    bool OpenProcessToken(Handle process, uint32_t desiredAccess, Handle* token) override;
    bool GetTokenInformation(Handle token, uint32_t informationClass, TokenUser* information,
                             uint32_t size, uint32_t* returnLength) override;
    bool ConvertSidToStringSidW(const void* sid, WideChar** text) override;
    bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WideChar* text,
                                                              uint32_t revision, void** descriptor,
                                                              uint32_t* size) override;
    bool SetKernelObjectSecurity(Handle object, uint32_t securityInformation,
                                 const void* descriptor) override;

    // Crypto.
    void RtlSecureZeroMemory(void* memory, std::size_t size) override;

    NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                         const WideChar* implementation, uint32_t flags) override;
    NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) override;
    NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                               uint32_t outputSize, uint32_t* resultSize, uint32_t flags) override;
    NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                              uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize,
                              uint32_t flags) override;
    NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                            uint32_t flags) override;
    NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                              uint32_t flags) override;
    NtStatus BCryptDestroyHash(CngHandle hash) override;
    NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey, const WideChar* blobType,
                                 CngHandle* key, const uint8_t* input, uint32_t inputSize,
                                 uint32_t flags) override;
    NtStatus BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                   const uint8_t* hash, uint32_t hashSize, const uint8_t* signature,
                                   uint32_t signatureSize, uint32_t flags) override;
    NtStatus BCryptDestroyKey(CngHandle key) override;
    NtStatus BCryptSetProperty(CngHandle object, const WideChar* property, const uint8_t* input,
                               uint32_t inputSize, uint32_t flags) override;
    NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key, uint8_t* keyObject,
                                        uint32_t keyObjectSize, const uint8_t* secret,
                                        uint32_t secretSize, uint32_t flags) override;
    NtStatus BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                             uint32_t flags) override;
    NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                           const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                           uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* result,
                           uint32_t flags) override;

    void SetWorkMeter(std::function<void(uint64_t)> meter) override;

    void* GetDesktopWindow() override;
    int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                    uint32_t style) override;
    bool InitCommonControlsEx(uint32_t classes) override;
    uint16_t RegisterClassExW(const WindowClass& windowClass) override;
    void* CreateWindowExW(uint32_t exStyle, const WideChar* className, const WideChar* windowName,
                          uint32_t style, int x, int y, int width, int height, void* parent,
                          uintptr_t menu) override;
    bool DestroyWindow(void* window) override;
    bool ShowWindow(void* window, int command) override;
    bool SetForegroundWindow(void* window) override;
    void* SetFocus(void* window) override;
    bool PeekMessageW(WindowMessage* message, void* window, uint32_t filterMin,
                      uint32_t filterMax, uint32_t remove) override;
    bool IsDialogMessageW(void* dialog, WindowMessage* message) override;
    bool TranslateMessage(const WindowMessage* message) override;
    intptr_t DispatchMessageW(const WindowMessage* message) override;
    intptr_t SendMessageW(void* window, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
    intptr_t DefWindowProcW(void* window, uint32_t message, uintptr_t wParam,
                            intptr_t lParam) override;
    int GetSystemMetrics(int index) override;
    int32_t GetDialogBaseUnits() override;
    void* GetStockObject(int object) override;

  private:
    std::function<void(uint64_t)> meter_;
};

}  // namespace veltomarn

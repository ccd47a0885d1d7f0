#pragma once

#include "platform/platform.h"

namespace veltomarn {

// The product's platform: every member is the one Windows call it is named after.
class Win32Platform final : public Platform {
  public:
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

    int MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                    uint32_t style) override;
};

}  // namespace veltomarn

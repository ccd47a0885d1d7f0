#pragma once

// The process itself: start-up hardening, its command line and module, the system locations and
// the clock.

#include "platform/seam_types.h"

namespace veltomarn {

class Processes {
  public:
    virtual ~Processes() = default;

    virtual bool SetDefaultDllDirectories(uint32_t flags) = 0;
    virtual bool SetDllDirectoryW(const WideChar* path) = 0;
    virtual bool SetCurrentDirectoryW(const WideChar* path) = 0;
    virtual const WideChar* GetCommandLineW() = 0;
    // Returns an array of `*count` strings in one block to be released with LocalFree, or null.
    virtual WideChar** CommandLineToArgvW(const WideChar* commandLine, int* count) = 0;
    virtual void* LocalFree(void* memory) = 0;
    // `module` null: the running executable.
    virtual uint32_t GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) = 0;
    virtual uint32_t GetSystemDirectoryW(WideChar* buffer, uint32_t size) = 0;
    virtual uint32_t GetWindowsDirectoryW(WideChar* buffer, uint32_t size) = 0;
    virtual uint64_t GetTickCount64() = 0;
};

}  // namespace veltomarn

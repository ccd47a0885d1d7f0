#pragma once

// The process itself (start-up hardening, its command line, environment and module, the system
// locations, the clock) and the processes it starts, inside job objects.

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
    // Returns an S_OK or another HRESULT; `path` holds MAX_PATH units.
    virtual int32_t SHGetFolderPathW(void* owner, int folder, Handle token, uint32_t flags,
                                     WideChar* path) = 0;
    virtual uint64_t GetTickCount64() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
    // The environment block: "name=value" entries, each ended by a null, then one more null.
    // Released with FreeEnvironmentStringsW.
    virtual WideChar* GetEnvironmentStringsW() = 0;
    virtual bool FreeEnvironmentStringsW(WideChar* block) = 0;

    // --- jobs and processes -------------------------------------------------------------------
    virtual Handle CreateJobObjectW(const SecurityAttributes* attributes, const WideChar* name) = 0;
    // Only JobObjectExtendedLimitInformation is offered.
    virtual bool SetInformationJobObject(Handle job, uint32_t informationClass,
                                         const JobExtendedLimitInformation* information) = 0;
    // Only JobObjectBasicAccountingInformation is offered.
    virtual bool QueryInformationJobObject(Handle job, uint32_t informationClass,
                                           JobBasicAccountingInformation* information) = 0;
    virtual bool AssignProcessToJobObject(Handle job, Handle process) = 0;
    virtual bool TerminateJobObject(Handle job, uint32_t exitCode) = 0;
    // `environment` is a block as GetEnvironmentStringsW returns one (with
    // CREATE_UNICODE_ENVIRONMENT); `commandLine` may be changed by the call.
    virtual bool CreateProcessW(const WideChar* applicationName, WideChar* commandLine,
                                const SecurityAttributes* processAttributes,
                                const SecurityAttributes* threadAttributes, bool inheritHandles,
                                uint32_t creationFlags, const WideChar* environment,
                                const WideChar* currentDirectory, const StartupInfo* startupInfo,
                                ProcessInformation* processInformation) = 0;
    // Returns the previous suspend count, or 0xFFFFFFFF on failure.
    virtual uint32_t ResumeThread(Handle thread) = 0;
    virtual bool TerminateProcess(Handle process, uint32_t exitCode) = 0;
    // Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED and so on.
    virtual uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) = 0;
    virtual bool GetExitCodeProcess(Handle process, uint32_t* exitCode) = 0;
};

}  // namespace veltomarn

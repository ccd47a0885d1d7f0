#pragma once

// A decorator over a real platform for tests: forwards every call; on request fails the n-th call
// of a member or overrides one answer that Wine cannot make for real (a reparse attribute, a link
// count, a size, a named stream, a short write, a changed plaintext byte); and records what tests
// check afterwards: the objects still open, the secrets never wiped, standard output and error,
// message boxes, and calls that read past a string.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace veltomarn::test {
namespace fault {
inline const Handle kStandardOutput = reinterpret_cast<Handle>(0x5101);
inline const Handle kStandardError = reinterpret_cast<Handle>(0x5102);

// An absolute path without the "\\?\" prefix.
inline WideString Plain(const WideChar* path) {
    const WideString text(path);
    return text.rfind(u"\\\\?\\", 0) == 0 ? text.substr(4) : text;
}

inline bool Opened(Handle handle) {
    return handle != nullptr && handle != kInvalidHandle;
}
}  // namespace fault

// The members a test can make fail, by the name the platform gives them.
// clang-format off
#define VELTOMARN_FAULT_CALLS(X)                                                                  \
    X(SetDefaultDllDirectories) X(SetDllDirectoryW) X(SetCurrentDirectoryW) X(GetCommandLineW)    \
    X(CommandLineToArgvW) X(GetModuleFileNameW) X(GetFullPathNameW) X(GetSystemDirectoryW)        \
    X(GetWindowsDirectoryW) X(CompareStringOrdinal) X(GetStdHandle) X(WriteFile) X(CloseHandle)   \
    X(CreateFileW) X(ReadFile) X(SetFilePointerEx) X(GetFileInformationByHandle) X(GetDriveTypeW) \
    X(GetFileType) X(FindFirstFileW) X(FindNextFileW) X(FindFirstStreamW) X(FindNextStreamW)      \
    X(FindClose) X(FlushFileBuffers) X(MoveFileExW) X(CreateDirectoryW) X(RemoveDirectoryW)       \
    X(SetFileInformationByHandle) X(GetDiskFreeSpaceExW) X(SHGetFolderPathW) X(Sleep)             \
    X(GetEnvironmentStringsW) X(FreeEnvironmentStringsW) X(CreateJobObjectW)                      \
    X(SetInformationJobObject) X(QueryInformationJobObject) X(AssignProcessToJobObject)           \
    X(TerminateJobObject) X(CreateProcessW) X(ResumeThread) X(TerminateProcess)                   \
    X(WaitForSingleObject) X(GetExitCodeProcess) X(OpenProcessToken) X(GetTokenInformation)       \
    X(ConvertSidToStringSidW) X(ConvertStringSecurityDescriptorToSecurityDescriptorW)             \
    X(SetKernelObjectSecurity) X(BCryptOpenAlgorithmProvider) X(BCryptCloseAlgorithmProvider)     \
    X(BCryptGetProperty) X(BCryptCreateHash) X(BCryptHashData) X(BCryptFinishHash)                \
    X(BCryptDestroyHash) X(BCryptImportKeyPair) X(BCryptVerifySignature) X(BCryptDestroyKey)      \
    X(BCryptSetProperty) X(BCryptGenerateSymmetricKey) X(BCryptGenRandom) X(BCryptDecrypt)        \
    X(GetDesktopWindow) X(MessageBoxW) X(InitCommonControlsEx) X(RegisterClassExW)                \
    X(CreateWindowExW) X(DestroyWindow)
// clang-format on

enum class Call {
#define VELTOMARN_CALL_ENUMERATOR(member) k##member,
    VELTOMARN_FAULT_CALLS(VELTOMARN_CALL_ENUMERATOR)
#undef VELTOMARN_CALL_ENUMERATOR
};

inline const char* NameOf(Call call) {
#define VELTOMARN_CALL_NAME(member) #member,
    static const char* const kNames[] = {VELTOMARN_FAULT_CALLS(VELTOMARN_CALL_NAME)};
#undef VELTOMARN_CALL_NAME
    return kNames[static_cast<int>(call)];
}
inline std::ostream& operator<<(std::ostream& out, Call call) {
    return out << NameOf(call);
}

// Statuses a test injects or expects from the crypto provider.
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;

class FaultPlatform final : public Platform {
  public:
    using enum Call;

    explicit FaultPlatform(Platform& real) : real_(real) {}
    // A fault or an action that never came due names a call the run never made: the test would
    // pass without testing anything.
    ~FaultPlatform() override {
        for (const Fault& fault : faults_) {
            EXPECT_TRUE(fault.fired) << fault.member << " call " << fault.nth << " never failed";
        }
        for (const auto& [call, action] : actions_) {
            ADD_FAILURE() << call.first << " call " << call.second << " never came";
        }
    }

    // The `nth` call (1-based, counted since this platform was made) of `member` does not reach
    // the real platform: it returns the member's failure value with last error `error` (a crypto
    // member returns `error` as its status). `nth` 0: every call.
    void Fail(Call member, int nth, uint32_t error) { faults_.push_back({member, nth, error}); }
    // Runs `action` just before the `nth` call of `member` is forwarded.
    void Before(Call member, int nth, std::function<void()> action) {
        actions_.emplace(std::make_pair(member, nth), std::move(action));
    }

    // Answers for objects named by absolute path without the "\\?\" prefix, compared exactly.
    std::map<WideString, uint32_t> extraAttributes;  // OR-ed into handle and listing answers
    std::map<WideString, uint32_t> linkCounts;
    std::map<WideString, uint64_t> sizes;
    std::map<WideString, WideString> extraStreams;  // listed after "::$DATA"
    int shortWriteNth = 0;     // this WriteFile call writes one byte less and succeeds
    int flipDecryptedNth = 0;  // this BCryptDecrypt call returns one plaintext byte changed
    std::optional<uint32_t> driveType;
    std::optional<WideString> commandLine;
    std::optional<WideString> modulePath;
    std::optional<WideString> localAppData;
    std::optional<uint64_t> freeBytes;  // available to the caller, on every volume

    // Observations.
    std::map<Call, int> calls;
    // For each member, the calls (1-based) that stand for all its calls: the first from each call
    // site in each phase of the run. A phase ends where a call site that creates or deletes
    // something or starts a process is first seen (what a failure leaves behind changes only
    // there); calls alike in both are one step of a loop (over ancestors, files, chunks).
    std::map<Call, std::vector<int>> distinctCalls;
    std::set<const void*> open;  // handles, searches and CNG objects not closed yet
    std::string standardOutput;
    std::string standardError;
    std::vector<WideString> messageBoxes;  // caption + '|' + text
    std::vector<StartupInfo> startups;     // what each CreateProcessW call was given
    std::vector<std::string> misuses;      // calls whose arguments were out of bounds
    std::vector<WideString> accessLists;   // each one applied: the object's path, ' ', its SDDL
    // Secrets and plaintext handed to or made by the crypto provider that no wipe has covered yet.
    std::size_t UnwipedSecrets() const { return secrets_.size(); }

    uint32_t GetLastError() override { return real_.GetLastError(); }
    void SetLastError(uint32_t error) override { real_.SetLastError(error); }
    bool SetDefaultDllDirectories(uint32_t flags) override {
        return !Failing(kSetDefaultDllDirectories) && real_.SetDefaultDllDirectories(flags);
    }
    bool SetDllDirectoryW(const WideChar* path) override {
        return !Failing(kSetDllDirectoryW) && real_.SetDllDirectoryW(path);
    }
    bool SetCurrentDirectoryW(const WideChar* path) override {
        return !Failing(kSetCurrentDirectoryW) && real_.SetCurrentDirectoryW(path);
    }
    const WideChar* GetCommandLineW() override {
        Failing(kGetCommandLineW);
        return commandLine ? commandLine->c_str() : real_.GetCommandLineW();
    }
    WideChar** CommandLineToArgvW(const WideChar* line, int* count) override {
        return Failing(kCommandLineToArgvW) ? nullptr : real_.CommandLineToArgvW(line, count);
    }
    void* LocalFree(void* memory) override {
        open.erase(memory);
        return real_.LocalFree(memory);
    }
    uint32_t GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) override {
        if (Failing(kGetModuleFileNameW)) return 0;
        if (!modulePath) return real_.GetModuleFileNameW(module, buffer, size);
        // As Windows answers: a name that does not fit is cut to the buffer, without a null.
        const auto length = static_cast<uint32_t>(std::min<std::size_t>(modulePath->size(), size));
        std::copy_n(modulePath->begin(), length, buffer);
        if (length < size) buffer[length] = 0;
        return length;
    }
    uint32_t GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                              WideChar** filePart) override {
        return Failing(kGetFullPathNameW) ? 0
                                          : real_.GetFullPathNameW(path, size, buffer, filePart);
    }
    uint32_t GetSystemDirectoryW(WideChar* buffer, uint32_t size) override {
        return Failing(kGetSystemDirectoryW) ? 0 : real_.GetSystemDirectoryW(buffer, size);
    }
    uint32_t GetWindowsDirectoryW(WideChar* buffer, uint32_t size) override {
        return Failing(kGetWindowsDirectoryW) ? 0 : real_.GetWindowsDirectoryW(buffer, size);
    }
    uint64_t GetTickCount64() override { return real_.GetTickCount64(); }
    int CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b, int countB,
                             bool ignoreCase) override {
        for (const auto& [text, count] : {std::pair{a, countA}, std::pair{b, countB}}) {
            if (count > 0 && std::find(text, text + count, 0) != text + count) {
                misuses.push_back("CompareStringOrdinal reads past the end of a string");
            }
        }
        return Failing(kCompareStringOrdinal)
                   ? 0
                   : real_.CompareStringOrdinal(a, countA, b, countB, ignoreCase);
    }
    Handle GetStdHandle(uint32_t which) override {
        if (Failing(kGetStdHandle)) return kInvalidHandle;
        return which == win::kStdErrorHandle ? fault::kStandardError : fault::kStandardOutput;
    }
    bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) override {
        if (!fault::Opened(file)) misuses.push_back("WriteFile without a handle");
        if (Failing(kWriteFile)) return false;
        if (calls[kWriteFile] == shortWriteNth && size > 0) --size;
        if (file == fault::kStandardOutput || file == fault::kStandardError) {
            (file == fault::kStandardOutput ? standardOutput : standardError)
                .append(static_cast<const char*>(data), size);
            *written = size;
            return true;
        }
        return real_.WriteFile(file, data, size, written);
    }
    bool CloseHandle(Handle handle) override {
        // The real object is closed even when failure is reported, so only the answer is wrong.
        const bool failing = Failing(kCloseHandle);
        open.erase(handle);
        paths_.erase(handle);
        return real_.CloseHandle(handle) && !failing;
    }
    Handle CreateFileW(const WideChar* path, uint32_t access, uint32_t share,
                       const SecurityAttributes* security, uint32_t disposition, uint32_t flags,
                       Handle templateFile) override {
        if (Failing(kCreateFileW, disposition != win::kOpenExisting)) return kInvalidHandle;
        const Handle handle =
            real_.CreateFileW(path, access, share, security, disposition, flags, templateFile);
        if (fault::Opened(handle)) {
            open.insert(handle);
            paths_[handle] = fault::Plain(path);
        }
        return handle;
    }
    bool ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) override {
        return !Failing(kReadFile) && real_.ReadFile(file, buffer, size, read);
    }
    bool SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                          uint32_t moveMethod) override {
        return !Failing(kSetFilePointerEx) &&
               real_.SetFilePointerEx(file, distance, newPosition, moveMethod);
    }
    bool GetFileInformationByHandle(Handle file, FileInformation* information) override {
        if (Failing(kGetFileInformationByHandle)) return false;
        if (!real_.GetFileInformationByHandle(file, information)) return false;
        const WideString& path = paths_[file];
        if (extraAttributes.count(path) != 0) information->attributes |= extraAttributes[path];
        if (linkCounts.count(path) != 0) information->numberOfLinks = linkCounts[path];
        if (sizes.count(path) != 0) {
            information->sizeHigh = static_cast<uint32_t>(sizes[path] >> 32);
            information->sizeLow = static_cast<uint32_t>(sizes[path]);
        }
        return true;
    }
    uint32_t GetDriveTypeW(const WideChar* root) override {
        return Failing(kGetDriveTypeW) ? 0 : driveType ? *driveType : real_.GetDriveTypeW(root);
    }
    uint32_t GetFileType(Handle file) override {
        return Failing(kGetFileType) ? 0 : real_.GetFileType(file);
    }
    Handle FindFirstFileW(const WideChar* pattern, FindData* data) override {
        if (Failing(kFindFirstFileW)) return kInvalidHandle;
        const Handle search = real_.FindFirstFileW(pattern, data);
        if (!fault::Opened(search)) return search;
        open.insert(search);
        const WideString directory = fault::Plain(pattern);
        paths_[search] = directory.substr(0, directory.rfind(u'\\'));
        const WideString entry = paths_[search] + u'\\' + data->name;
        if (extraAttributes.count(entry) != 0) data->attributes |= extraAttributes[entry];
        return search;
    }
    bool FindNextFileW(Handle search, FindData* data) override {
        if (Failing(kFindNextFileW) || !real_.FindNextFileW(search, data)) return false;
        const WideString entry = paths_[search] + u'\\' + data->name;
        if (extraAttributes.count(entry) != 0) data->attributes |= extraAttributes[entry];
        return true;
    }
    Handle FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                            uint32_t flags) override {
        if (Failing(kFindFirstStreamW)) return kInvalidHandle;
        const auto extra = extraStreams.find(fault::Plain(path));
        if (extra == extraStreams.end()) {
            const Handle search = real_.FindFirstStreamW(path, infoLevel, data, flags);
            if (fault::Opened(search)) open.insert(search);
            return search;
        }
        // Wine lists no stream at all: the injected search lists the data stream, then the extra.
        const Handle search = reinterpret_cast<Handle>(0x6000 + 16 * streams_.size() + 16);
        *data = StreamData{0, u"::$DATA"};
        streams_[search] = extra->second;
        open.insert(search);
        return search;
    }
    bool FindNextStreamW(Handle search, StreamData* data) override {
        if (Failing(kFindNextStreamW)) return false;
        const auto injected = streams_.find(search);
        if (injected == streams_.end()) return real_.FindNextStreamW(search, data);
        if (injected->second.empty()) {
            real_.SetLastError(win::kErrorHandleEof);
            return false;
        }
        *data = StreamData{1, injected->second};
        injected->second.clear();
        return true;
    }
    bool FindClose(Handle search) override {
        const bool failing = Failing(kFindClose);
        open.erase(search);
        paths_.erase(search);
        if (streams_.erase(search) != 0) return !failing;
        return real_.FindClose(search) && !failing;
    }
    bool FlushFileBuffers(Handle file) override {
        return !Failing(kFlushFileBuffers) && real_.FlushFileBuffers(file);
    }
    bool MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) override {
        return !Failing(kMoveFileExW) && real_.MoveFileExW(from, to, flags);
    }
    bool CreateDirectoryW(const WideChar* path, const SecurityAttributes* attributes) override {
        return !Failing(kCreateDirectoryW) && real_.CreateDirectoryW(path, attributes);
    }
    bool RemoveDirectoryW(const WideChar* path) override {
        return !Failing(kRemoveDirectoryW) && real_.RemoveDirectoryW(path);
    }
    bool SetFileInformationByHandle(Handle file, uint32_t type,
                                    const FileDispositionInfo* info) override {
        return !Failing(kSetFileInformationByHandle) &&
               real_.SetFileInformationByHandle(file, type, info);
    }
    bool GetDiskFreeSpaceExW(const WideChar* path, uint64_t* available, uint64_t* total,
                             uint64_t* free) override {
        if (Failing(kGetDiskFreeSpaceExW) ||
            !real_.GetDiskFreeSpaceExW(path, available, total, free))
            return false;
        if (freeBytes && available != nullptr) *available = *freeBytes;
        return true;
    }
    int32_t SHGetFolderPathW(void* owner, int folder, Handle token, uint32_t flags,
                             WideChar* path) override {
        if (Failing(kSHGetFolderPathW)) return static_cast<int32_t>(kStatusUnsuccessful);
        if (!localAppData) return real_.SHGetFolderPathW(owner, folder, token, flags, path);
        *std::copy(localAppData->begin(), localAppData->end(), path) = 0;
        return 0;
    }
    void Sleep(uint32_t milliseconds) override {
        Failing(kSleep);
        real_.Sleep(milliseconds);
    }
    WideChar* GetEnvironmentStringsW() override {
        return Failing(kGetEnvironmentStringsW) ? nullptr : Opens(real_.GetEnvironmentStringsW());
    }
    bool FreeEnvironmentStringsW(WideChar* block) override {
        open.erase(block);
        return real_.FreeEnvironmentStringsW(block) && !Failing(kFreeEnvironmentStringsW);
    }
    Handle CreateJobObjectW(const SecurityAttributes* attributes, const WideChar* name) override {
        return Failing(kCreateJobObjectW) ? nullptr
                                          : Opens(real_.CreateJobObjectW(attributes, name));
    }
    bool SetInformationJobObject(Handle job, uint32_t type,
                                 const JobExtendedLimitInformation* info) override {
        return !Failing(kSetInformationJobObject) && real_.SetInformationJobObject(job, type, info);
    }
    bool QueryInformationJobObject(Handle job, uint32_t type,
                                   JobBasicAccountingInformation* info) override {
        return !Failing(kQueryInformationJobObject) &&
               real_.QueryInformationJobObject(job, type, info);
    }
    bool AssignProcessToJobObject(Handle job, Handle process) override {
        return !Failing(kAssignProcessToJobObject) && real_.AssignProcessToJobObject(job, process);
    }
    bool TerminateJobObject(Handle job, uint32_t exitCode) override {
        return !Failing(kTerminateJobObject) && real_.TerminateJobObject(job, exitCode);
    }
    bool CreateProcessW(const WideChar* application, WideChar* commandLine,
                        const SecurityAttributes* processAttributes,
                        const SecurityAttributes* threadAttributes, bool inherit, uint32_t flags,
                        const WideChar* environment, const WideChar* directory,
                        const StartupInfo* startup, ProcessInformation* started) override {
        startups.push_back(*startup);
        if (Failing(kCreateProcessW) ||
            !real_.CreateProcessW(application, commandLine, processAttributes, threadAttributes,
                                  inherit, flags, environment, directory, startup, started)) {
            return false;
        }
        open.insert(started->process);
        open.insert(started->thread);
        return true;
    }
    uint32_t ResumeThread(Handle thread) override {
        return Failing(kResumeThread) ? win::kResumeThreadFailed : real_.ResumeThread(thread);
    }
    bool TerminateProcess(Handle process, uint32_t exitCode) override {
        return !Failing(kTerminateProcess) && real_.TerminateProcess(process, exitCode);
    }
    uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) override {
        return Failing(kWaitForSingleObject) ? kWaitFailed
                                             : real_.WaitForSingleObject(object, milliseconds);
    }
    bool GetExitCodeProcess(Handle process, uint32_t* exitCode) override {
        return !Failing(kGetExitCodeProcess) && real_.GetExitCodeProcess(process, exitCode);
    }
    bool OpenProcessToken(Handle process, uint32_t access, Handle* token) override {
        if (Failing(kOpenProcessToken) || !real_.OpenProcessToken(process, access, token))
            return false;
        open.insert(*token);
        return true;
    }
    bool GetTokenInformation(Handle token, uint32_t type, TokenUser* info, uint32_t size,
                             uint32_t* length) override {
        if (info == nullptr && size != 0) misuses.push_back("GetTokenInformation sizes no buffer");
        return !Failing(kGetTokenInformation) &&
               real_.GetTokenInformation(token, type, info, size, length);
    }
    bool ConvertSidToStringSidW(const void* sid, WideChar** text) override {
        if (Failing(kConvertSidToStringSidW) || !real_.ConvertSidToStringSidW(sid, text))
            return false;
        open.insert(*text);
        return true;
    }
    bool ConvertStringSecurityDescriptorToSecurityDescriptorW(const WideChar* text,
                                                              uint32_t revision, void** descriptor,
                                                              uint32_t* size) override {
        if (Failing(kConvertStringSecurityDescriptorToSecurityDescriptorW) ||
            !real_.ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor,
                                                                        size))
            return false;
        open.insert(*descriptor);
        descriptors_[*descriptor] = text;
        return true;
    }
    bool SetKernelObjectSecurity(Handle object, uint32_t information,
                                 const void* descriptor) override {
        if (Failing(kSetKernelObjectSecurity)) return false;
        accessLists.push_back(paths_[object] + u" " + descriptors_[descriptor]);
        return real_.SetKernelObjectSecurity(object, information, descriptor);
    }
    void SetWorkMeter(std::function<void(uint64_t)> meter) override {
        real_.SetWorkMeter(std::move(meter));
    }
    void RtlSecureZeroMemory(void* memory, std::size_t size) override {
        real_.RtlSecureZeroMemory(memory, size);
        const auto* begin = static_cast<const uint8_t*>(memory);
        std::erase_if(secrets_, [&](const Secret& secret) {
            return secret.bytes >= begin && secret.bytes + secret.size <= begin + size;
        });
    }
    NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* id,
                                         const WideChar* implementation, uint32_t flags) override {
        if (Failing(kBCryptOpenAlgorithmProvider)) return static_cast<NtStatus>(injectedStatus_);
        const NtStatus status =
            real_.BCryptOpenAlgorithmProvider(algorithm, id, implementation, flags);
        return Track(status, *algorithm);
    }
    NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) override {
        for (const auto& [object, provider] : providers_) {
            if (provider == algorithm && open.count(object) != 0)
                misuses.push_back("a provider closed before an object made from it");
        }
        return Released(kBCryptCloseAlgorithmProvider, algorithm,
                        [&] { return real_.BCryptCloseAlgorithmProvider(algorithm, flags); });
    }
    NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                               uint32_t outputSize, uint32_t* resultSize, uint32_t flags) override {
        if (Failing(kBCryptGetProperty)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptGetProperty(object, property, output, outputSize, resultSize, flags);
    }
    NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* object,
                              uint32_t objectSize, const uint8_t* secret, uint32_t secretSize,
                              uint32_t flags) override {
        Record(object, objectSize);  // holds the last block of what is hashed
        if (Failing(kBCryptCreateHash)) return static_cast<NtStatus>(injectedStatus_);
        const NtStatus status =
            real_.BCryptCreateHash(algorithm, hash, object, objectSize, secret, secretSize, flags);
        return Track(status, *hash, algorithm);
    }
    NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                            uint32_t flags) override {
        if (Failing(kBCryptHashData)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptHashData(hash, input, size, flags);
    }
    NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                              uint32_t flags) override {
        if (Failing(kBCryptFinishHash)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptFinishHash(hash, output, size, flags);
    }
    NtStatus BCryptDestroyHash(CngHandle hash) override {
        return Released(kBCryptDestroyHash, hash, [&] { return real_.BCryptDestroyHash(hash); });
    }
    NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey, const WideChar* blobType,
                                 CngHandle* key, const uint8_t* input, uint32_t inputSize,
                                 uint32_t flags) override {
        if (Failing(kBCryptImportKeyPair)) return static_cast<NtStatus>(injectedStatus_);
        const NtStatus status =
            real_.BCryptImportKeyPair(algorithm, importKey, blobType, key, input, inputSize, flags);
        return Track(status, *key, algorithm);
    }
    NtStatus BCryptVerifySignature(CngHandle key, const WideChar* hashAlgorithm,
                                   const uint8_t* hash, uint32_t hashSize, const uint8_t* signature,
                                   uint32_t signatureSize, uint32_t flags) override {
        if (Failing(kBCryptVerifySignature)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptVerifySignature(key, hashAlgorithm, hash, hashSize, signature,
                                           signatureSize, flags);
    }
    NtStatus BCryptDestroyKey(CngHandle key) override {
        return Released(kBCryptDestroyKey, key, [&] { return real_.BCryptDestroyKey(key); });
    }
    NtStatus BCryptSetProperty(CngHandle object, const WideChar* property, const uint8_t* input,
                               uint32_t inputSize, uint32_t flags) override {
        if (Failing(kBCryptSetProperty)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptSetProperty(object, property, input, inputSize, flags);
    }
    NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key, uint8_t* keyObject,
                                        uint32_t keyObjectSize, const uint8_t* secret,
                                        uint32_t secretSize, uint32_t flags) override {
        Record(secret, secretSize);
        Record(keyObject, keyObjectSize);
        if (Failing(kBCryptGenerateSymmetricKey)) return static_cast<NtStatus>(injectedStatus_);
        const NtStatus status = real_.BCryptGenerateSymmetricKey(
            algorithm, key, keyObject, keyObjectSize, secret, secretSize, flags);
        return Track(status, *key, algorithm);
    }
    NtStatus BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                             uint32_t flags) override {
        if (Failing(kBCryptGenRandom)) return static_cast<NtStatus>(injectedStatus_);
        return real_.BCryptGenRandom(algorithm, buffer, size, flags);
    }
    NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                           const AuthenticatedCipherInfo* info, uint8_t* iv, uint32_t ivSize,
                           uint8_t* output, uint32_t outputSize, uint32_t* result,
                           uint32_t flags) override {
        Record(output, outputSize);
        if (Failing(kBCryptDecrypt)) return static_cast<NtStatus>(injectedStatus_);
        const NtStatus status = real_.BCryptDecrypt(key, input, inputSize, info, iv, ivSize, output,
                                                    outputSize, result, flags);
        if (calls[kBCryptDecrypt] == flipDecryptedNth && status >= 0 && *result > 0) output[0] ^= 1;
        return status;
    }
    void* GetDesktopWindow() override {
        return Failing(kGetDesktopWindow) ? nullptr : real_.GetDesktopWindow();
    }
    int MessageBoxW(void*, const WideChar* text, const WideChar* caption, uint32_t) override {
        if (Failing(kMessageBoxW)) return 0;
        messageBoxes.push_back(WideString(caption) + u"|" + text);
        return 1;
    }
    // The progress window's calls: forwarded, each can fail.
    bool InitCommonControlsEx(uint32_t classes) override {
        return !Failing(kInitCommonControlsEx) && real_.InitCommonControlsEx(classes);
    }
    uint16_t RegisterClassExW(const WindowClass& windowClass) override {
        return Failing(kRegisterClassExW) ? 0 : real_.RegisterClassExW(windowClass);
    }
    void* CreateWindowExW(uint32_t exStyle, const WideChar* className, const WideChar* name,
                          uint32_t style, int x, int y, int width, int height, void* parent,
                          uintptr_t menu) override {
        return Failing(kCreateWindowExW) ? nullptr
                                         : real_.CreateWindowExW(exStyle, className, name, style, x,
                                                                 y, width, height, parent, menu);
    }
    bool DestroyWindow(void* window) override {
        return !Failing(kDestroyWindow) && real_.DestroyWindow(window);
    }
    bool ShowWindow(void* window, int command) override {
        return real_.ShowWindow(window, command);
    }
    bool SetForegroundWindow(void* window) override { return real_.SetForegroundWindow(window); }
    void* SetFocus(void* window) override { return real_.SetFocus(window); }
    bool PeekMessageW(WindowMessage* message, void* window, uint32_t filterMin, uint32_t filterMax,
                      uint32_t remove) override {
        return real_.PeekMessageW(message, window, filterMin, filterMax, remove);
    }
    bool IsDialogMessageW(void* dialog, WindowMessage* message) override {
        return real_.IsDialogMessageW(dialog, message);
    }
    bool TranslateMessage(const WindowMessage* message) override {
        return real_.TranslateMessage(message);
    }
    intptr_t DispatchMessageW(const WindowMessage* message) override {
        return real_.DispatchMessageW(message);
    }
    intptr_t SendMessageW(void* window, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override {
        return real_.SendMessageW(window, message, wParam, lParam);
    }
    intptr_t DefWindowProcW(void* window, uint32_t message, uintptr_t wParam,
                            intptr_t lParam) override {
        return real_.DefWindowProcW(window, message, wParam, lParam);
    }
    int GetSystemMetrics(int index) override { return real_.GetSystemMetrics(index); }
    int32_t GetDialogBaseUnits() override { return real_.GetDialogBaseUnits(); }
    void* GetStockObject(int object) override { return real_.GetStockObject(object); }

  private:
    static constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

    template <typename Object>
    Object Opens(Object object) {
        if (object != nullptr) open.insert(object);
        return object;
    }
    struct Fault {
        Call member;
        int nth;
        uint32_t error;
        bool fired = false;
    };
    struct Secret {
        const uint8_t* bytes;
        std::size_t size;
    };

    // Counts the call; true when it is to fail (the last error is then set already).
    // `site` is where the product called: a default argument is evaluated in the caller.
    // `creates`: the call may create something.
    bool Failing(Call member, bool creates = false,
                 const void* site = __builtin_return_address(0)) {
        const int nth = ++calls[member];
        static const std::set<Call> kChanging = {kCreateDirectoryW, kSetFileInformationByHandle,
                                                 kRemoveDirectoryW, kCreateProcessW};
        if ((creates || kChanging.count(member) != 0) &&
            changingSites_.insert({member, site}).second)
            ++phase_;
        if (classes_.insert({member, site, phase_}).second) distinctCalls[member].push_back(nth);
        const auto [first, last] = actions_.equal_range({member, nth});
        for (auto it = first; it != last;) {
            const std::function<void()> action = std::move(it->second);
            it = actions_.erase(it);
            action();
        }
        for (Fault& fault : faults_) {
            if (fault.member == member && (fault.nth == nth || fault.nth == 0)) {
                fault.fired = true;
                injectedStatus_ = fault.error;
                real_.SetLastError(fault.error);
                return true;
            }
        }
        return false;
    }
    // A CNG object released: it counts as closed whatever the call answers.
    template <typename Release>
    NtStatus Released(Call member, const void* object, Release call,
                      const void* site = __builtin_return_address(0)) {
        const bool failing = Failing(member, false, site);
        open.erase(object);
        const NtStatus status = call();
        return failing ? static_cast<NtStatus>(injectedStatus_) : status;
    }
    // Notes a CNG object that a successful call made.
    NtStatus Track(NtStatus status, const void* opened, const void* provider = nullptr) {
        if (status >= 0 && opened != nullptr) open.insert(opened);
        if (status >= 0 && provider != nullptr) providers_[opened] = provider;
        return status;
    }
    void Record(const uint8_t* bytes, std::size_t size) {
        if (size != 0) secrets_.push_back({bytes, size});
    }

    Platform& real_;
    std::set<std::pair<Call, const void*>> changingSites_;
    std::size_t phase_ = 0;
    std::set<std::tuple<Call, const void*, std::size_t>> classes_;
    std::vector<Fault> faults_;
    std::multimap<std::pair<Call, int>, std::function<void()>> actions_;
    uint32_t injectedStatus_ = 0;
    std::map<Handle, WideString> paths_;    // open file handles and searches: their path
    std::map<Handle, WideString> streams_;  // injected stream searches: the stream still to list
    std::map<const void*, const void*> providers_;   // CNG objects: the provider that made them
    std::map<const void*, WideString> descriptors_;  // each descriptor made: its SDDL
    std::vector<Secret> secrets_;
};

}  // namespace veltomarn::test

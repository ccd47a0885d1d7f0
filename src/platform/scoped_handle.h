#pragma once

// Move-only ownership of platform handles. The owner closes what it holds through the part of the
// platform that produced it, exactly once; a kernel handle's close keeps the thread's last error
// unchanged, so that a failure being reported is not masked by the cleanup.

#include <utility>

#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/processes.h"

namespace veltomarn {

template <typename Traits>
class ScopedResource {
  public:
    using Value = typename Traits::Value;
    using Owner = typename Traits::Owner;

    ScopedResource() = default;
    ScopedResource(Owner& owner, Value value) : owner_(&owner), value_(value) {}
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ScopedResource(ScopedResource&& other) noexcept
        : owner_(other.owner_), value_(std::exchange(other.value_, Traits::Null())) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other) {
            reset();
            owner_ = other.owner_;
            value_ = std::exchange(other.value_, Traits::Null());
        }
        return *this;
    }
    ~ScopedResource() { reset(); }

    bool valid() const { return Traits::IsValid(value_); }
    explicit operator bool() const { return valid(); }
    Value get() const { return value_; }

    // Closes the held value, if any; afterwards the owner is empty.
    void reset() {
        if (valid()) Traits::Close(*owner_, value_);
        value_ = Traits::Null();
    }

    // Gives up ownership without closing.
    [[nodiscard]] Value release() { return std::exchange(value_, Traits::Null()); }

  private:
    Owner* owner_ = nullptr;
    Value value_ = Traits::Null();
};

// Closes through `close`, keeping the last error.
template <typename Close>
void KeepingLastError(FileSystem& files, Close close) {
    const uint32_t lastError = files.GetLastError();
    close();
    files.SetLastError(lastError);
}

struct KernelHandleTraits {
    using Value = Handle;
    using Owner = FileSystem;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr && v != kInvalidHandle; }
    static void Close(FileSystem& files, Value v) {
        KeepingLastError(files, [&] { files.CloseHandle(v); });
    }
};

// A file, directory, job, process or thread handle.
using ScopedHandle = ScopedResource<KernelHandleTraits>;

struct FindHandleTraits {
    using Value = Handle;
    using Owner = FileSystem;
    static Value Null() { return kInvalidHandle; }
    static bool IsValid(Value v) { return v != nullptr && v != kInvalidHandle; }
    static void Close(FileSystem& files, Value v) {
        KeepingLastError(files, [&] { files.FindClose(v); });
    }
};

// A directory listing or a stream enumeration.
using ScopedFindHandle = ScopedResource<FindHandleTraits>;

struct AlgorithmProviderTraits {
    using Value = CngHandle;
    using Owner = Crypto;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Crypto& crypto, Value v) { crypto.BCryptCloseAlgorithmProvider(v, 0); }
};

struct HashObjectTraits {
    using Value = CngHandle;
    using Owner = Crypto;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Crypto& crypto, Value v) { crypto.BCryptDestroyHash(v); }
};

struct KeyObjectTraits {
    using Value = CngHandle;
    using Owner = Crypto;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Crypto& crypto, Value v) { crypto.BCryptDestroyKey(v); }
};

struct LocalMemoryTraits {
    using Value = void*;
    using Owner = Processes;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Processes& processes, Value v) { processes.LocalFree(v); }
};

// Memory a call hands over to be released with LocalFree (an argument array, a SID's text, a
// security descriptor).
using ScopedLocalMemory = ScopedResource<LocalMemoryTraits>;

struct EnvironmentBlockTraits {
    using Value = WideChar*;
    using Owner = Processes;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Processes& processes, Value v) { processes.FreeEnvironmentStringsW(v); }
};

// The process's environment block from GetEnvironmentStringsW.
using ScopedEnvironmentBlock = ScopedResource<EnvironmentBlockTraits>;

// A job and the process started into it, with the process's primary thread. Released in the
// order thread, process, job: the job goes last, and closing it (kill-on-close) ends whatever is
// still running in it.
struct JobProcess {
    ScopedHandle job;
    ScopedHandle process;
    ScopedHandle thread;
};

// A CNG algorithm provider, a CNG hash object and a CNG key.
using ScopedAlgorithmProvider = ScopedResource<AlgorithmProviderTraits>;
using ScopedHashObject = ScopedResource<HashObjectTraits>;
using ScopedKeyObject = ScopedResource<KeyObjectTraits>;

}  // namespace veltomarn

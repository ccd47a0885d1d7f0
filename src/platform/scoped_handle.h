#pragma once

// Move-only ownership of platform handles. The owner closes what it holds through the platform
// that produced it, exactly once, and keeps the thread's last error unchanged across the close so
// that a failure being reported is not masked by the cleanup.

#include <utility>

#include "platform/platform.h"

namespace veltomarn {

template <typename Traits>
class ScopedResource {
  public:
    using Value = typename Traits::Value;

    ScopedResource() = default;
    ScopedResource(Platform& platform, Value value) : platform_(&platform), value_(value) {}
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ScopedResource(ScopedResource&& other) noexcept
        : platform_(other.platform_), value_(std::exchange(other.value_, Traits::Null())) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other) {
            reset();
            platform_ = other.platform_;
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
        if (valid()) {
            const uint32_t lastError = platform_->GetLastError();
            Traits::Close(*platform_, value_);
            platform_->SetLastError(lastError);
        }
        value_ = Traits::Null();
    }

    // Gives up ownership without closing.
    [[nodiscard]] Value release() { return std::exchange(value_, Traits::Null()); }

  private:
    Platform* platform_ = nullptr;
    Value value_ = Traits::Null();
};

struct KernelHandleTraits {
    using Value = Handle;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr && v != kInvalidHandle; }
    static void Close(Platform& platform, Value v) { platform.CloseHandle(v); }
};

// A file, directory, job, process or thread handle.
using ScopedHandle = ScopedResource<KernelHandleTraits>;

struct FindHandleTraits {
    using Value = Handle;
    static Value Null() { return kInvalidHandle; }
    static bool IsValid(Value v) { return v != nullptr && v != kInvalidHandle; }
    static void Close(Platform& platform, Value v) { platform.FindClose(v); }
};

// A directory listing or a stream enumeration.
using ScopedFindHandle = ScopedResource<FindHandleTraits>;

struct AlgorithmProviderTraits {
    using Value = CngHandle;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Platform& platform, Value v) { platform.BCryptCloseAlgorithmProvider(v, 0); }
};

struct HashObjectTraits {
    using Value = CngHandle;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Platform& platform, Value v) { platform.BCryptDestroyHash(v); }
};

struct KeyObjectTraits {
    using Value = CngHandle;
    static Value Null() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Platform& platform, Value v) { platform.BCryptDestroyKey(v); }
};

// A CNG algorithm provider, a CNG hash object and a CNG key.
using ScopedAlgorithmProvider = ScopedResource<AlgorithmProviderTraits>;
using ScopedHashObject = ScopedResource<HashObjectTraits>;
using ScopedKeyObject = ScopedResource<KeyObjectTraits>;

}  // namespace veltomarn

#pragma once

// A byte buffer for secrets and plaintext. Its whole capacity is overwritten with zero bytes
// through the crypto part's RtlSecureZeroMemory on demand and on destruction, so the compiler
// cannot drop the wipe and tests can see it happen.

#include <cstdint>
#include <vector>

#include "platform/crypto.h"

namespace veltomarn {

class SecureBuffer {
  public:
    // Allocates `capacity` zero bytes once; the buffer never reallocates afterwards.
    SecureBuffer(Crypto& crypto, std::size_t capacity)
        : crypto_(crypto), bytes_(capacity, 0), size_(capacity) {}
    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;
    ~SecureBuffer() { Wipe(); }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return bytes_.size(); }

    // Sets the number of bytes in use, at most the capacity.
    void Resize(std::size_t size) { size_ = size <= bytes_.size() ? size : bytes_.size(); }

    // Wipes the current bytes, then makes a new zero-filled buffer of `capacity` bytes.
    void Reallocate(std::size_t capacity) {
        Wipe();
        bytes_.assign(capacity, 0);
        bytes_.shrink_to_fit();
        size_ = capacity;
    }

    // Zeroes the whole capacity.
    void Wipe() {
        if (!bytes_.empty()) crypto_.RtlSecureZeroMemory(bytes_.data(), bytes_.size());
    }

  private:
    Crypto& crypto_;
    std::vector<uint8_t> bytes_;
    std::size_t size_;
};

}  // namespace veltomarn

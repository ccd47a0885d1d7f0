#pragma once

// SHA-256 through the platform's crypto provider, and the digest of a guarded file.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/guarded_directory.h"
#include "core/secure_buffer.h"
#include "platform/crypto.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

using Sha256Digest = std::array<uint8_t, 32>;

// Size of each read of FileDigest.
inline constexpr uint32_t kDigestReadBytes = 131072;

// One SHA-256 computation. Owns the provider, the hash object and the hash object's buffer, and
// releases them in that order (hash, provider, buffer) on every path.
class Sha256Hash {
  public:
    // Throws "HASH_PROVIDER", "HASH_PROPERTY" (object length unreadable or over 1 MiB),
    // "HASH_CREATE".
    explicit Sha256Hash(Crypto& crypto);
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;

    // Feeds bytes; more than 4 GiB are fed in pieces. Throws "HASH_READ".
    void Update(const uint8_t* data, std::size_t size);
    // Finishes the computation; call once. Throws "HASH_FINISH".
    Sha256Digest Finish();

  private:
    Crypto& crypto_;
    // Declared in reverse release order: the hash goes first, then the provider, then the buffer,
    // wiped: the provider keeps the last partial block of the hashed bytes in it.
    SecureBuffer object_;
    ScopedAlgorithmProvider provider_;
    ScopedHashObject hash_;
};

// The 64-character lower-case hex text of a digest.
std::string DigestHex(const Sha256Digest& digest);

// The digest text of file `relative` of `guard`, which must be exactly `expectedSize` bytes: its
// size is checked before reading and against the bytes actually read. The file is opened through
// the guard (4 GiB limit) and stays held there; a handle read before is rewound first.
// Throws what OpenFile and Sha256Hash throw, and "FILE_INFORMATION", "REPARSE_POINT",
// "FILE_SIZE_MISMATCH", "FILE_SEEK", "FILE_READ", "FILE_CHANGED", "HASH_READ", "HASH_FINISH".
std::string FileDigest(GuardedDirectory& guard, Crypto& crypto, const std::string& relative,
                       uint64_t expectedSize);

}  // namespace veltomarn

#pragma once

// The cryptography of sealing, from OpenSSL: fresh random bytes, streamed SHA-256, and
// AES-256-GCM chunks under the payload key.

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "core/sha256.h"
#include "payload/payload_format.h"
#include "release/release_keys.h"

namespace veltomarn::release {

using ChunkNonce = std::array<uint8_t, kChunkNonceBytes>;

// From the system's random generator. Throws ToolError (2).
void RandomBytes(uint8_t* bytes, std::size_t count);

class Sha256Stream {
  public:
    Sha256Stream();
    void Update(const uint8_t* data, std::size_t size);
    Sha256Digest Finish();

  private:
    struct Deleter {
        void operator()(EVP_MD_CTX* context) const;
    };
    std::unique_ptr<EVP_MD_CTX, Deleter> context_;
};

// Plaintext of one chunk, wiped after use and when it goes away.
class ChunkBuffer {
  public:
    ChunkBuffer() : bytes_(kPayloadChunkBytes) {}
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;
    ~ChunkBuffer() { Wipe(); }
    uint8_t* data() { return bytes_.data(); }
    void Wipe();

  private:
    std::vector<uint8_t> bytes_;
};

// AES-256-GCM with one key for the whole payload and a fresh random nonce for every chunk. The
// nonces of the payload are remembered, so none is used twice however the generator behaves.
class ChunkSealer {
  public:
    explicit ChunkSealer(const PayloadKeyMaterial& key);

    // Encrypts `length` bytes of `plaintext` (at most 1 MiB) for a chunk with additional data
    // `aad`, fills `record` (nonce, tag, length) and returns the ciphertext, valid until the next
    // call. Throws ToolError (2).
    const uint8_t* Seal(const std::vector<uint8_t>& aad, const uint8_t* plaintext,
                        std::size_t length, std::array<uint8_t, kChunkRecordBytes>& record);

  private:
    struct Deleter {
        void operator()(EVP_CIPHER_CTX* context) const;
    };
    ChunkNonce FreshNonce();

    std::unique_ptr<EVP_CIPHER_CTX, Deleter> context_;
    std::set<ChunkNonce> used_;
    std::vector<uint8_t> ciphertext_ = std::vector<uint8_t>(kPayloadChunkBytes);
};

}  // namespace veltomarn::release

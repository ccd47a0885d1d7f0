#pragma once

// Decrypting, authenticating and checking the sealed payload's chunk stream, to nowhere or into a
// destination directory. The only place where the payload key exists.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/guarded_directory.h"
#include "core/secure_buffer.h"
#include "payload/payload_format.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "platform/scoped_handle.h"

namespace veltomarn {

// The AES-256-GCM payload key: provider, key and the key object buffer holding the schedule.
// Released in that order: key destroyed, provider closed, buffer wiped.
struct PayloadKey {
    explicit PayloadKey(Crypto& crypto) : object(crypto, 0) {}
    SecureBuffer object;
    ScopedAlgorithmProvider provider;
    ScopedKeyObject key;
};

inline constexpr std::size_t kPayloadKeyBytes = 32;

// Fills `key` (kPayloadKeyBytes long) with the payload key compiled into this build, combined from
// its two shares only now.
void CompiledInPayloadKey(SecureBuffer& key);

// Makes the AES-256-GCM key object from `key` (kPayloadKeyBytes) and returns it ready to decrypt.
// `key` is wiped as soon as the key object exists, and on every failure. Throws "AES_PROVIDER",
// "AES_MODE", "AES_PROPERTY", "AES_KEY", after releasing whatever it had opened.
std::unique_ptr<PayloadKey> OpenPayloadKey(Crypto& crypto, SecureBuffer& key);

// Destroys the key, closes the provider and wipes the key object buffer.
void ReleasePayloadKey(PayloadKey& key);

// Where unsealing writes: nowhere (every file is decrypted, authenticated and hashed, and that is
// all), or into a held destination directory, creating with `attributes`. Unsealing to nowhere
// may keep the plaintext of chosen files in memory: each file whose path is a key of `kept` and
// whose size is at most that buffer's capacity leaves its plaintext there (sized to the file); a
// larger one leaves the buffer as it was. Only an unsealing that returned vouches for a kept file.
struct UnsealTarget {
    GuardedDirectory* destination = nullptr;
    const SecurityAttributes* attributes = nullptr;
    std::map<std::string, SecureBuffer>* kept = nullptr;

    static UnsealTarget Nowhere() { return {}; }
    static UnsealTarget Into(GuardedDirectory& destination, const SecurityAttributes* attributes) {
        return {&destination, attributes};
    }
    static UnsealTarget Keeping(std::map<std::string, SecureBuffer>& kept) {
        return {nullptr, nullptr, &kept};
    }
};

// Unseals every file of `index` from `payload` (positioned at the first chunk record) with payload
// key `key`, which is wiped as OpenPayloadKey wipes it. Into a destination, each file is written
// as "<path>.sealed-partial" (created new), flushed, and renamed to its path only after its whole
// plaintext matched its digest; its parent directories are created or taken and held first.
// Plaintext is wiped after every chunk and on every failure; the key is released on every path.
// On failure, committed files and the failing file's partial file stay. Throws the codes of the
// key, the guard, "CACHE_SUBDIRECTORY", "CACHE_FILE_CREATE", "PAYLOAD_TRUNCATED",
// "PAYLOAD_CHUNK_LENGTH", "PAYLOAD_NONCE_REUSE", "PAYLOAD_AUTHENTICATION", the SHA-256 codes,
// "CACHE_WRITE", "PAYLOAD_PLAINTEXT_HASH", "CACHE_FLUSH", "CACHE_COMMIT", "PAYLOAD_TRAILING_DATA".
void UnsealPayload(FileSystem& files, Crypto& crypto, Handle payload, const PayloadIndex& index,
                   SecureBuffer& key, const UnsealTarget& target);

}  // namespace veltomarn

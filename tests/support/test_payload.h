#pragma once

// Sealed payloads for tests: files sealed with AES-256-GCM (OpenSSL) under the compiled-in payload
// key, laid out byte for byte as the bootstrap reads them, with hooks that make every kind of bad
// payload: header and record fields that lie, chosen nonces, a record digest of other bytes, and,
// after sealing, chunks exchanged, replaced, re-announced, bytes appended or cut off.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/scoped_handle.h"
#include "support/memory_platform.h"

namespace veltomarn::testing {

using Nonce = std::array<uint8_t, 12>;
using PayloadKeyBytes = std::array<uint8_t, 32>;

inline const WideString kTestPayloadPath = u"C:\\pkg\\VeltoMarn.payload";

// The key the bootstrap forms: the byte-wise XOR of the two compiled-in shares.
PayloadKeyBytes CompiledPayloadKey();

// The SHA-256 of `bytes`, computed without the platform.
std::array<uint8_t, 32> Sha256Of(const std::string& bytes);

// One chunk as it stands in the stream: the 32-byte chunk record, then the ciphertext.
struct SealedChunk {
    Nonce nonce{};
    std::array<uint8_t, 16> tag{};
    uint32_t length = 0;  // as announced; the builder announces the ciphertext's length
    std::vector<uint8_t> ciphertext;
};

// A sealed payload taken apart, so that tests can damage any piece before writing it out.
struct SealedPayload {
    std::vector<uint8_t> header;                   // 44 bytes
    std::vector<std::vector<uint8_t>> records;     // one file record per file, in table order
    std::vector<std::vector<SealedChunk>> chunks;  // per file, in stream order
    std::vector<uint8_t> trailing;                 // bytes after the last chunk

    // The header and every record: what ReadPayloadIndex keeps as indexBytes.
    std::vector<uint8_t> IndexBytes() const;
    // The whole payload file.
    std::vector<uint8_t> Bytes() const;
    // Offset of chunk `chunk` of file `file` (its chunk record) within Bytes().
    std::size_t ChunkOffset(std::size_t file, std::size_t chunk) const;
};

struct PayloadFile {
    std::string path;
    std::string plaintext;
};

// The three files every payload must hold, in byte order, with small distinct contents.
std::vector<PayloadFile> RequiredPayloadFiles();
// `files` plus the required ones, in byte order of the paths.
std::vector<PayloadFile> SortedWithRequired(std::map<std::string, std::string> files);

class PayloadBuilder {
  public:
    // Seals `files` in the order given (the table order).
    explicit PayloadBuilder(std::vector<PayloadFile> files);

    // Header fields as written; by default the file count, the sum of the record sizes, and 16
    // bytes of this builder's own (so that two builders make two distinct payloads).
    PayloadBuilder& FileCount(uint32_t count);
    PayloadBuilder& PlaintextTotal(uint64_t total);
    PayloadBuilder& Opaque(const std::array<uint8_t, 16>& opaque);

    // Record fields as written for file `file`; by default the path's length, the plaintext's
    // size, its SHA-256 and the chunk count of the recorded size. The chunks are sealed under the
    // record as written, so they still authenticate.
    PayloadBuilder& RecordPathLength(std::size_t file, uint16_t length);
    PayloadBuilder& RecordSize(std::size_t file, uint64_t size);
    PayloadBuilder& RecordChunkCount(std::size_t file, uint32_t count);
    // The record's digest is the SHA-256 of `bytes` instead of the plaintext's.
    PayloadBuilder& RecordDigestOf(std::size_t file, const std::string& bytes);

    // Chunk `chunk` of file `file` is sealed under `nonce` (the default nonces are all distinct).
    PayloadBuilder& ChunkNonce(std::size_t file, std::size_t chunk, const Nonce& nonce);
    // Seals with another key than the compiled-in one.
    PayloadBuilder& Key(const PayloadKeyBytes& key);

    SealedPayload Seal() const;
    std::vector<uint8_t> Bytes() const { return Seal().Bytes(); }

  private:
    struct RecordOverrides {
        std::optional<uint16_t> pathLength;
        std::optional<uint64_t> size;
        std::optional<uint32_t> chunkCount;
        std::optional<std::string> digestOf;
    };

    std::vector<PayloadFile> files_;
    std::optional<uint32_t> fileCount_;
    std::optional<uint64_t> plaintextTotal_;
    std::array<uint8_t, 16> opaque_{};
    std::vector<RecordOverrides> records_;
    std::map<std::pair<std::size_t, std::size_t>, Nonce> nonces_;
    PayloadKeyBytes key_{};
};

// Exchanges two chunks of `payload` (of the same file or of two files).
void SwapChunks(SealedPayload& payload, std::size_t fileA, std::size_t chunkA, std::size_t fileB,
                std::size_t chunkB);

// Writes `bytes` as the payload file at `path` (replacing what was there) and opens it for
// reading as the package check does.
ScopedHandle WritePayloadFile(MemoryPlatform& platform, const std::vector<uint8_t>& bytes,
                              const WideString& path = kTestPayloadPath);

// Where the file pointer of `file` stands (SetFilePointerEx by 0 from the current position).
int64_t FilePosition(MemoryPlatform& platform, Handle file);

}  // namespace veltomarn::testing

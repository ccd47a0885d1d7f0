#pragma once

// The sealed payload "VeltoMarn.payload": a 44-byte header, a file table, then the chunk stream.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/names.h"
#include "core/sha256.h"
#include "platform/file_system.h"

namespace veltomarn {

inline constexpr std::size_t kPayloadHeaderBytes = 44;
inline constexpr std::size_t kPayloadRecordFixedBytes = 46;
inline constexpr uint32_t kMaxPayloadFiles = 512;
inline constexpr uint64_t kMaxPayloadPlaintextBytes = 4294967296;
inline constexpr uint64_t kPayloadChunkBytes = 1048576;
inline constexpr uint8_t kPayloadMagic[16] = {'V', 'E', 'L', 'T', 'O', '-', 'S', 'E',
                                              'A', 'L', 'E', 'D', '-', 'V', '1', 0};
inline constexpr std::size_t kPayloadIdentityBytes = 16;  // the header's opaque field
// A chunk record: nonce, GCM tag, plaintext length (little-endian); the ciphertext follows.
inline constexpr std::size_t kChunkNonceBytes = 12;
inline constexpr std::size_t kChunkTagBytes = 16;
using ChunkLength = uint32_t;
inline constexpr std::size_t kChunkRecordBytes =
    kChunkNonceBytes + kChunkTagBytes + sizeof(ChunkLength);

struct PayloadEntry {
    std::string path;
    uint64_t size = 0;
    uint32_t chunkCount = 0;
    Sha256Digest digest{};
    std::vector<uint8_t> record;  // the file record exactly as read
};

// The header and file table exactly as read, and what they say. Never changed after reading.
struct PayloadIndex {
    std::vector<uint8_t> header;      // 44 bytes
    std::vector<uint8_t> indexBytes;  // header and every record, as read
    std::vector<PayloadEntry> entries;
    uint64_t plaintextBytes = 0;
};

// One ReadFile of exactly `size` bytes into `buffer`. Throws "PAYLOAD_TRUNCATED" when the read
// fails or ends early.
void ReadExact(FileSystem& files, Handle file, uint8_t* buffer, uint32_t size);

// The bytes the index is parsed from, in order.
class PayloadSource {
  public:
    // Fills `buffer` with exactly the next `size` bytes. Throws "PAYLOAD_TRUNCATED" when there
    // are fewer.
    virtual void Read(uint8_t* buffer, uint32_t size) = 0;

  protected:
    ~PayloadSource() = default;
};

// Reads and checks the header and the file table from `source`, reading no byte past the table.
// Throws, first failing check deciding: "PAYLOAD_TRUNCATED", "PAYLOAD_MAGIC", "PAYLOAD_LIMIT",
// "PAYLOAD_PATH_LENGTH", "PAYLOAD_FILE_LIMIT", "PAYLOAD_CHUNK_COUNT", the path codes,
// "PAYLOAD_RESERVED_NAME", "PAYLOAD_ORDER", "PAYLOAD_ALIAS", "PAYLOAD_DIRECTORY_ALIAS",
// "PAYLOAD_PARTIAL_ALIAS", "PAYLOAD_REQUIRED_FILES".
PayloadIndex ParsePayloadIndex(PayloadSource& source);

// Rewinds `file` and parses its index (ParsePayloadIndex); leaves the file positioned at the first
// chunk record. Throws "PAYLOAD_SEEK" and what ParsePayloadIndex throws.
PayloadIndex ReadPayloadIndex(FileSystem& files, Handle file);

// The plaintext total that the 44-byte `header` states (not checked against any limit).
uint64_t HeaderPlaintextBytes(const uint8_t* header);

// The number of chunks a file of `size` bytes is sealed in: ceil(size / 1 MiB), at least 1.
uint64_t ChunkCountFor(uint64_t size);

// What the sealing side writes, in the layout the reader above takes apart.
// The 44-byte header: magic, file count, plaintext total, identity.
std::vector<uint8_t> EncodePayloadHeader(
    uint32_t fileCount, uint64_t plaintextBytes,
    const std::array<uint8_t, kPayloadIdentityBytes>& identity);
// A file record: path length, size, SHA-256, chunk count (ChunkCountFor), path.
std::vector<uint8_t> EncodeFileRecord(const std::string& path, uint64_t size,
                                      const Sha256Digest& digest);
// The bytes a file of `size` bytes under `path` takes in the payload: record, chunk records and
// ciphertext.
uint64_t SealedFileBytes(const std::string& path, uint64_t size);
// The additional data that binds chunk `chunk` to its payload and file: the header, the file's
// record, the chunk index (4 bytes, little-endian).
std::vector<uint8_t> ChunkAdditionalData(const std::vector<uint8_t>& header,
                                         const std::vector<uint8_t>& record, uint32_t chunk);

}  // namespace veltomarn

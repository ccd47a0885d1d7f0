#include "payload/payload_format.h"

#include <algorithm>

#include "core/failure.h"
#include "core/relative_path.h"
#include "platform/byte_cursor.h"

namespace veltomarn {
namespace {

// The header: magic, file count, plaintext total, identity. The file record's fixed part: path
// length, size, SHA-256, chunk count; the path follows. Read and written in this order.
using FileCount = uint32_t;
using PlaintextTotal = uint64_t;
using PathLength = uint16_t;
using FileSize = uint64_t;
using ChunkCount = uint32_t;
static_assert(sizeof kPayloadMagic + sizeof(FileCount) + sizeof(PlaintextTotal) +
                  kPayloadIdentityBytes ==
              kPayloadHeaderBytes);
static_assert(sizeof(PathLength) + sizeof(FileSize) + sizeof(Sha256Digest) + sizeof(ChunkCount) ==
              kPayloadRecordFixedBytes);

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class FileSource final : public PayloadSource {
  public:
    FileSource(FileSystem& files, Handle file) : files_(files), file_(file) {}
    void Read(uint8_t* buffer, uint32_t size) override { ReadExact(files_, file_, buffer, size); }

  private:
    FileSystem& files_;
    const Handle file_;
};

}  // namespace

uint64_t HeaderPlaintextBytes(const uint8_t* header) {
    ByteReader fields({header, kPayloadHeaderBytes});
    fields.Bytes(sizeof kPayloadMagic);
    fields.Read<FileCount>();
    return fields.Read<PlaintextTotal>();
}

uint64_t ChunkCountFor(uint64_t size) {
    return size == 0 ? 1 : (size + kPayloadChunkBytes - 1) / kPayloadChunkBytes;
}

std::vector<uint8_t> EncodePayloadHeader(
    uint32_t fileCount, uint64_t plaintextBytes,
    const std::array<uint8_t, kPayloadIdentityBytes>& identity) {
    std::vector<uint8_t> header;
    header.reserve(kPayloadHeaderBytes);
    ByteWriter fields(header);
    fields.PutBytes(kPayloadMagic);
    fields.Put<FileCount>(fileCount);
    fields.Put<PlaintextTotal>(plaintextBytes);
    fields.PutBytes(identity);
    return header;
}

std::vector<uint8_t> EncodeFileRecord(const std::string& path, uint64_t size,
                                      const Sha256Digest& digest) {
    std::vector<uint8_t> record;
    ByteWriter fields(record);
    fields.Put<PathLength>(path.size());
    fields.Put<FileSize>(size);
    fields.PutBytes(digest);
    fields.Put<ChunkCount>(ChunkCountFor(size));
    record.insert(record.end(), path.begin(), path.end());
    return record;
}

uint64_t SealedFileBytes(const std::string& path, uint64_t size) {
    return kPayloadRecordFixedBytes + path.size() + ChunkCountFor(size) * kChunkRecordBytes + size;
}

std::vector<uint8_t> ChunkAdditionalData(const std::vector<uint8_t>& header,
                                         const std::vector<uint8_t>& record, uint32_t chunk) {
    std::vector<uint8_t> data;
    data.reserve(header.size() + record.size() + 4);
    data.insert(data.end(), header.begin(), header.end());
    data.insert(data.end(), record.begin(), record.end());
    ByteWriter(data).Put<uint32_t>(chunk);
    return data;
}

void ReadExact(FileSystem& files, Handle file, uint8_t* buffer, uint32_t size) {
    uint32_t read = 0;
    check(files.ReadFile(file, buffer, size, &read) && read == size, "PAYLOAD_TRUNCATED");
}

PayloadIndex ReadPayloadIndex(FileSystem& files, Handle file) {
    // The handle is shared through the package guard and was hashed before: rewind.
    check(files.SetFilePointerEx(file, 0, nullptr, win::kFileBegin), "PAYLOAD_SEEK");
    FileSource source(files, file);
    return ParsePayloadIndex(source);
}

PayloadIndex ParsePayloadIndex(PayloadSource& source) {
    PayloadIndex index;
    index.header.resize(kPayloadHeaderBytes);
    source.Read(index.header.data(), kPayloadHeaderBytes);
    ByteReader header(index.header);
    check(std::ranges::equal(header.Bytes(sizeof kPayloadMagic), kPayloadMagic), "PAYLOAD_MAGIC");
    const uint64_t count = header.Read<FileCount>();
    const uint64_t total = header.Read<PlaintextTotal>();
    check(count >= 1 && count <= kMaxPayloadFiles && total <= kMaxPayloadPlaintextBytes,
          "PAYLOAD_LIMIT");
    index.plaintextBytes = total;
    index.indexBytes = index.header;

    PathSet listed;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < count; ++i) {
        PayloadEntry entry;
        entry.record.resize(kPayloadRecordFixedBytes);
        source.Read(entry.record.data(), kPayloadRecordFixedBytes);
        ByteReader fixed(entry.record);
        const uint32_t pathLength = fixed.Read<PathLength>();
        check(pathLength >= 1 && pathLength <= kMaxRelativePathBytes, "PAYLOAD_PATH_LENGTH");
        entry.size = fixed.Read<FileSize>();
        check(entry.size <= kMaxPayloadPlaintextBytes &&
                  sum + entry.size <= kMaxPayloadPlaintextBytes,
              "PAYLOAD_FILE_LIMIT");
        sum += entry.size;
        std::ranges::copy(fixed.Bytes(entry.digest.size()), entry.digest.begin());
        entry.chunkCount = fixed.Read<ChunkCount>();
        check(entry.chunkCount == ChunkCountFor(entry.size), "PAYLOAD_CHUNK_COUNT");

        entry.record.resize(kPayloadRecordFixedBytes + pathLength);
        source.Read(entry.record.data() + kPayloadRecordFixedBytes, pathLength);
        entry.path.assign(entry.record.begin() + kPayloadRecordFixedBytes, entry.record.end());
        ValidateRelativePath(entry.path);
        check(entry.path != kOwnerReservedName && !EndsWith(entry.path, kPartialSuffix),
              "PAYLOAD_RESERVED_NAME");
        listed.Add(entry.path, "PAYLOAD_ORDER", "PAYLOAD_ALIAS");
        index.indexBytes.insert(index.indexBytes.end(), entry.record.begin(), entry.record.end());
        index.entries.push_back(std::move(entry));
    }

    listed.CheckDirectories("PAYLOAD_DIRECTORY_ALIAS");
    for (const PayloadEntry& entry : index.entries) {
        listed.Claim(entry.path + kPartialSuffix, "PAYLOAD_PARTIAL_ALIAS");
    }
    check(sum == index.plaintextBytes, "PAYLOAD_REQUIRED_FILES");
    for (const char* required : {kBootstrapFileName, kInventoryName, kSignatureName}) {
        check(listed.paths().count(required) == 1, "PAYLOAD_REQUIRED_FILES");
    }
    return index;
}

}  // namespace veltomarn

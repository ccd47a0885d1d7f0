#include "payload/payload_format.h"

#include <cstring>
#include <set>

#include "core/failure.h"
#include "core/relative_path.h"

namespace veltomarn {
namespace {

constexpr uint8_t kMagic[16] = {'V', 'E', 'L', 'T', 'O', '-', 'S', 'E',
                                'A', 'L', 'E', 'D', '-', 'V', '1', 0};

uint64_t LittleEndian(const uint8_t* bytes, std::size_t count) {
    uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

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

uint64_t ChunkCountFor(uint64_t size) {
    return size == 0 ? 1 : (size + kPayloadChunkBytes - 1) / kPayloadChunkBytes;
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
    check(std::memcmp(index.header.data(), kMagic, sizeof kMagic) == 0, "PAYLOAD_MAGIC");
    const uint64_t count = LittleEndian(index.header.data() + 16, 4);
    const uint64_t total = LittleEndian(index.header.data() + 20, 8);
    check(count >= 1 && count <= kMaxPayloadFiles && total <= kMaxPayloadPlaintextBytes,
          "PAYLOAD_LIMIT");
    index.plaintextBytes = total;
    index.indexBytes = index.header;

    std::set<std::string> paths;
    std::set<std::string> directories;
    std::set<std::string> folded;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < count; ++i) {
        PayloadEntry entry;
        entry.record.resize(kPayloadRecordFixedBytes);
        source.Read(entry.record.data(), kPayloadRecordFixedBytes);
        const uint8_t* fixed = entry.record.data();
        const auto pathLength = static_cast<uint32_t>(LittleEndian(fixed, 2));
        check(pathLength >= 1 && pathLength <= kMaxRelativePathBytes, "PAYLOAD_PATH_LENGTH");
        entry.size = LittleEndian(fixed + 2, 8);
        check(entry.size <= kMaxPayloadPlaintextBytes &&
                  sum + entry.size <= kMaxPayloadPlaintextBytes,
              "PAYLOAD_FILE_LIMIT");
        sum += entry.size;
        std::memcpy(entry.digest.data(), fixed + 10, entry.digest.size());
        entry.chunkCount = static_cast<uint32_t>(LittleEndian(fixed + 42, 4));
        check(entry.chunkCount == ChunkCountFor(entry.size), "PAYLOAD_CHUNK_COUNT");

        entry.record.resize(kPayloadRecordFixedBytes + pathLength);
        source.Read(entry.record.data() + kPayloadRecordFixedBytes, pathLength);
        entry.path.assign(entry.record.begin() + kPayloadRecordFixedBytes, entry.record.end());
        ValidateRelativePath(entry.path);
        check(entry.path != kOwnerReservedName && !EndsWith(entry.path, kPartialSuffix),
              "PAYLOAD_RESERVED_NAME");
        // std::string compares as unsigned bytes.
        check(index.entries.empty() || index.entries.back().path < entry.path, "PAYLOAD_ORDER");
        paths.insert(entry.path);
        check(folded.insert(FoldPathCase(entry.path)).second, "PAYLOAD_ALIAS");
        for (std::size_t k = 0; k < entry.path.size(); ++k) {
            if (entry.path[k] == '/') directories.insert(entry.path.substr(0, k));
        }
        index.indexBytes.insert(index.indexBytes.end(), entry.record.begin(), entry.record.end());
        index.entries.push_back(std::move(entry));
    }

    for (const std::string& directory : directories) {
        check(folded.insert(FoldPathCase(directory)).second, "PAYLOAD_DIRECTORY_ALIAS");
    }
    for (const PayloadEntry& entry : index.entries) {
        check(folded.insert(FoldPathCase(entry.path + kPartialSuffix)).second,
              "PAYLOAD_PARTIAL_ALIAS");
    }
    check(sum == index.plaintextBytes, "PAYLOAD_REQUIRED_FILES");
    for (const char* required : {kBootstrapFileName, kInventoryName, kSignatureName}) {
        check(paths.count(required) == 1, "PAYLOAD_REQUIRED_FILES");
    }
    return index;
}

}  // namespace veltomarn

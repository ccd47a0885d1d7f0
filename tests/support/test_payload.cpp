#include "support/test_payload.h"

#include <openssl/evp.h>
#include <payload_key.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

namespace veltomarn::testing {
namespace {

constexpr std::size_t kChunkBytes = 1048576;
constexpr uint8_t kMagic[16] = {'V', 'E', 'L', 'T', 'O', '-', 'S', 'E',
                                'A', 'L', 'E', 'D', '-', 'V', '1', 0};

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

void Require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test payload: ") + what);
}

void PutLittleEndian(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t ChunksFor(uint64_t size) {
    return size == 0 ? 1 : (size + kChunkBytes - 1) / kChunkBytes;
}

SealedChunk SealChunk(const PayloadKeyBytes& key, const Nonce& nonce,
                      const std::vector<uint8_t>& additional, const uint8_t* plaintext,
                      std::size_t size) {
    SealedChunk chunk;
    chunk.nonce = nonce;
    chunk.length = static_cast<uint32_t>(size);
    chunk.ciphertext.resize(size);
    const std::unique_ptr<EVP_CIPHER_CTX, CipherFree> context(EVP_CIPHER_CTX_new());
    int length = 0;
    bool ok =
        context != nullptr &&
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce.data()) == 1 &&
        EVP_EncryptUpdate(context.get(), nullptr, &length, additional.data(),
                          static_cast<int>(additional.size())) == 1;
    if (ok && size != 0) {
        ok = EVP_EncryptUpdate(context.get(), chunk.ciphertext.data(), &length, plaintext,
                               static_cast<int>(size)) == 1;
    }
    uint8_t end[16];
    ok = ok && EVP_EncryptFinal_ex(context.get(), end, &length) == 1 &&
         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, chunk.tag.data()) == 1;
    Require(ok, "AES-256-GCM sealing failed");
    return chunk;
}

std::array<uint8_t, 16> NextOpaque() {
    // Every builder gets its own opaque field, so that two builders make two distinct payloads
    // whose chunks must not authenticate in each other.
    static uint32_t counter = 0;
    ++counter;
    std::array<uint8_t, 16> opaque{};
    for (std::size_t i = 0; i < opaque.size(); ++i) {
        opaque[i] = static_cast<uint8_t>((counter >> (8 * (i % 4))) ^ (0x5C + 17 * i));
    }
    return opaque;
}

}  // namespace

PayloadKeyBytes CompiledPayloadKey() {
    PayloadKeyBytes key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(kPayloadKeyShareA[i] ^ kPayloadKeyShareB[i]);
    }
    return key;
}

std::array<uint8_t, 32> Sha256Of(const std::string& bytes) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    Require(EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) ==
                    1 &&
                length == digest.size(),
            "SHA-256 failed");
    return digest;
}

std::vector<uint8_t> SealedPayload::IndexBytes() const {
    std::vector<uint8_t> bytes = header;
    for (const auto& record : records) bytes.insert(bytes.end(), record.begin(), record.end());
    return bytes;
}

std::vector<uint8_t> SealedPayload::Bytes() const {
    std::vector<uint8_t> bytes = IndexBytes();
    for (const auto& file : chunks) {
        for (const SealedChunk& chunk : file) {
            bytes.insert(bytes.end(), chunk.nonce.begin(), chunk.nonce.end());
            bytes.insert(bytes.end(), chunk.tag.begin(), chunk.tag.end());
            PutLittleEndian(bytes, chunk.length, 4);
            bytes.insert(bytes.end(), chunk.ciphertext.begin(), chunk.ciphertext.end());
        }
    }
    bytes.insert(bytes.end(), trailing.begin(), trailing.end());
    return bytes;
}

std::size_t SealedPayload::ChunkOffset(std::size_t file, std::size_t chunk) const {
    std::size_t offset = IndexBytes().size();
    for (std::size_t f = 0; f < chunks.size(); ++f) {
        for (std::size_t c = 0; c < chunks[f].size(); ++c) {
            if (f == file && c == chunk) return offset;
            offset += 32 + chunks[f][c].ciphertext.size();
        }
    }
    if (file == chunks.size() && chunk == 0) return offset;  // the end of the stream
    throw std::out_of_range("test payload: no such chunk");
}

std::vector<PayloadFile> RequiredPayloadFiles() {
    return {{"RELEASE.sig", "signature bytes"},
            {"RELEASE.signed", "signed inventory\n"},
            {"VeltoMarnLauncher.exe", "MZ inner launcher"}};
}

std::vector<PayloadFile> SortedWithRequired(std::map<std::string, std::string> files) {
    for (PayloadFile& file : RequiredPayloadFiles()) files.emplace(file.path, file.plaintext);
    std::vector<PayloadFile> sorted;
    for (auto& [path, plaintext] : files) sorted.push_back({path, std::move(plaintext)});
    return sorted;
}

PayloadBuilder::PayloadBuilder(std::vector<PayloadFile> files)
    : files_(std::move(files)),
      opaque_(NextOpaque()),
      records_(files_.size()),
      key_(CompiledPayloadKey()) {}

PayloadBuilder& PayloadBuilder::FileCount(uint32_t count) {
    fileCount_ = count;
    return *this;
}

PayloadBuilder& PayloadBuilder::PlaintextTotal(uint64_t total) {
    plaintextTotal_ = total;
    return *this;
}

PayloadBuilder& PayloadBuilder::Opaque(const std::array<uint8_t, 16>& opaque) {
    opaque_ = opaque;
    return *this;
}

PayloadBuilder& PayloadBuilder::RecordPathLength(std::size_t file, uint16_t length) {
    records_.at(file).pathLength = length;
    return *this;
}

PayloadBuilder& PayloadBuilder::RecordSize(std::size_t file, uint64_t size) {
    records_.at(file).size = size;
    return *this;
}

PayloadBuilder& PayloadBuilder::RecordChunkCount(std::size_t file, uint32_t count) {
    records_.at(file).chunkCount = count;
    return *this;
}

PayloadBuilder& PayloadBuilder::RecordDigestOf(std::size_t file, const std::string& bytes) {
    records_.at(file).digestOf = bytes;
    return *this;
}

PayloadBuilder& PayloadBuilder::ChunkNonce(std::size_t file, std::size_t chunk,
                                           const Nonce& nonce) {
    nonces_[{file, chunk}] = nonce;
    return *this;
}

PayloadBuilder& PayloadBuilder::Key(const PayloadKeyBytes& key) {
    key_ = key;
    return *this;
}

SealedPayload PayloadBuilder::Seal() const {
    SealedPayload payload;
    uint64_t sum = 0;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const PayloadFile& file = files_[i];
        const RecordOverrides& overrides = records_[i];
        const uint64_t size = overrides.size.value_or(file.plaintext.size());
        sum += size;
        std::vector<uint8_t> record;
        PutLittleEndian(record, overrides.pathLength.value_or(file.path.size()), 2);
        PutLittleEndian(record, size, 8);
        const auto digest = Sha256Of(overrides.digestOf.value_or(file.plaintext));
        record.insert(record.end(), digest.begin(), digest.end());
        PutLittleEndian(record, overrides.chunkCount.value_or(ChunksFor(size)), 4);
        record.insert(record.end(), file.path.begin(), file.path.end());
        payload.records.push_back(std::move(record));
    }
    payload.header.assign(std::begin(kMagic), std::end(kMagic));
    PutLittleEndian(payload.header, fileCount_.value_or(files_.size()), 4);
    PutLittleEndian(payload.header, plaintextTotal_.value_or(sum), 8);
    payload.header.insert(payload.header.end(), opaque_.begin(), opaque_.end());

    for (std::size_t i = 0; i < files_.size(); ++i) {
        const std::string& plaintext = files_[i].plaintext;
        const auto* bytes = reinterpret_cast<const uint8_t*>(plaintext.data());
        std::vector<SealedChunk> chunks;
        const uint64_t count = ChunksFor(plaintext.size());
        for (std::size_t c = 0; c < count; ++c) {
            std::vector<uint8_t> additional = payload.header;
            additional.insert(additional.end(), payload.records[i].begin(),
                              payload.records[i].end());
            PutLittleEndian(additional, c, 4);
            Nonce nonce{};
            std::copy_n(opaque_.begin(), 4, nonce.begin());
            for (int k = 0; k < 4; ++k) {
                nonce[4 + k] = static_cast<uint8_t>(i >> (8 * k));
                nonce[8 + k] = static_cast<uint8_t>(c >> (8 * k));
            }
            const auto chosen = nonces_.find({i, c});
            if (chosen != nonces_.end()) nonce = chosen->second;
            const std::size_t offset = c * kChunkBytes;
            const std::size_t length = std::min(kChunkBytes, plaintext.size() - offset);
            chunks.push_back(SealChunk(key_, nonce, additional, bytes + offset, length));
        }
        payload.chunks.push_back(std::move(chunks));
    }
    return payload;
}

void SwapChunks(SealedPayload& payload, std::size_t fileA, std::size_t chunkA, std::size_t fileB,
                std::size_t chunkB) {
    std::swap(payload.chunks.at(fileA).at(chunkA), payload.chunks.at(fileB).at(chunkB));
}

ScopedHandle WritePayloadFile(MemoryPlatform& platform, const std::vector<uint8_t>& bytes,
                              const WideString& path) {
    platform.AddFile(path, std::string(bytes.begin(), bytes.end()));
    const WideString longPath = u"\\\\?\\" + path;
    ScopedHandle handle(
        platform, platform.CreateFileW(longPath.c_str(), win::kGenericRead, win::kFileShareRead,
                                       nullptr, win::kOpenExisting, 0, nullptr));
    Require(handle.valid(), "cannot open the payload file");
    return handle;
}

int64_t FilePosition(MemoryPlatform& platform, Handle file) {
    constexpr uint32_t kFileCurrent = 1;
    int64_t position = -1;
    Require(platform.SetFilePointerEx(file, 0, &position, kFileCurrent), "cannot tell a position");
    return position;
}

}  // namespace veltomarn::testing

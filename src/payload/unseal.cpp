#include "payload/unseal.h"

#include <algorithm>
#include <array>
#include <memory>
#include <set>

#include "core/failure.h"
#include "core/sha256.h"
#include "platform/byte_cursor.h"

namespace veltomarn {
namespace {

constexpr WideChar kAesAlgorithm[] = u"AES";
constexpr WideChar kChainingModeProperty[] = u"ChainingMode";
constexpr WideChar kChainingModeGcm[] = u"ChainingModeGCM";
constexpr WideChar kObjectLengthProperty[] = u"ObjectLength";
constexpr uint32_t kMaxKeyObjectBytes = 1048576;
constexpr FileCreation kPartialFile{win::kGenericWrite, win::kCreateNew,
                                    win::kFileFlagSequentialScan | win::kFileAttributeNormal};

// The payload's one stream of chunks, the nonce set and the two chunk buffers.
class ChunkReader {
  public:
    ChunkReader(FileSystem& files, Crypto& crypto, Handle payload, const PayloadKey& key)
        : files_(files),
          crypto_(crypto),
          payload_(payload),
          key_(key),
          ciphertext_(kPayloadChunkBytes),
          plaintext_(crypto, kPayloadChunkBytes) {}

    // Reads, checks and decrypts the next chunk of `entry` into the plaintext buffer.
    const SecureBuffer& Next(const PayloadIndex& index, const PayloadEntry& entry, uint32_t chunk,
                             uint64_t remaining) {
        std::array<uint8_t, kChunkRecordBytes> record{};
        ReadExact(files_, payload_, record.data(), kChunkRecordBytes);
        ByteReader fields(record);
        std::array<uint8_t, kChunkNonceBytes> nonce{};
        std::ranges::copy(fields.Bytes(kChunkNonceBytes), nonce.begin());
        const std::span<const uint8_t> tag = fields.Bytes(kChunkTagBytes);
        const uint32_t length = fields.Read<ChunkLength>();
        check(length == std::min<uint64_t>(remaining, kPayloadChunkBytes), "PAYLOAD_CHUNK_LENGTH");
        // Refused before its ciphertext is read.
        check(nonces_.insert(nonce).second, "PAYLOAD_NONCE_REUSE");
        if (length != 0) ReadExact(files_, payload_, ciphertext_.data(), length);

        const std::vector<uint8_t> additional =
            ChunkAdditionalData(index.header, entry.record, chunk);
        const AuthenticatedCipherInfo info{.nonce = nonce.data(),
                                           .nonceSize = kChunkNonceBytes,
                                           .authData = additional.data(),
                                           .authDataSize = static_cast<uint32_t>(additional.size()),
                                           .tag = tag.data(),
                                           .tagSize = kChunkTagBytes};
        // The output buffer always has a byte, so an empty chunk still has somewhere to go.
        plaintext_.Resize(length);
        uint32_t produced = 0;
        const NtStatus status =
            crypto_.BCryptDecrypt(key_.key.get(), ciphertext_.data(), length, &info, nullptr, 0,
                                  plaintext_.data(), length, &produced, 0);
        if (!NtSuccess(status) || produced != length) {
            // The provider may have written unauthenticated plaintext before it refused.
            plaintext_.Wipe();
            fail("PAYLOAD_AUTHENTICATION");
        }
        return plaintext_;
    }

    void WipePlaintext() { plaintext_.Wipe(); }

  private:
    FileSystem& files_;
    Crypto& crypto_;
    const Handle payload_;
    const PayloadKey& key_;
    std::set<std::array<uint8_t, kChunkNonceBytes>> nonces_;
    std::vector<uint8_t> ciphertext_;
    SecureBuffer plaintext_;
};

// Unseals one entry into `hash`; `partial` is the open partial file, or no handle when unsealing
// to nowhere; `keep`, when given, has room for the whole file and receives its plaintext.
void UnsealEntry(FileSystem& files, ChunkReader& reader, const PayloadIndex& index,
                 const PayloadEntry& entry, Sha256Hash& hash, Handle partial, SecureBuffer* keep) {
    uint64_t remaining = entry.size;
    for (uint32_t chunk = 0; chunk < entry.chunkCount; ++chunk) {
        const SecureBuffer& plaintext = reader.Next(index, entry, chunk, remaining);
        hash.Update(plaintext.data(), plaintext.size());
        if (partial != nullptr) WriteAll(files, partial, plaintext.data(), plaintext.size());
        // Each chunk's length was checked against what remains of the file: it fits.
        if (keep != nullptr) {
            std::copy_n(plaintext.data(), plaintext.size(), keep->data() + entry.size - remaining);
        }
        reader.WipePlaintext();
        remaining -= plaintext.size();
    }
    const Sha256Digest digest = hash.Finish();
    check(digest == entry.digest, "PAYLOAD_PLAINTEXT_HASH");
}

}  // namespace

std::unique_ptr<PayloadKey> OpenPayloadKey(Crypto& crypto, SecureBuffer& secret) {
    // The key bytes are wiped on leaving, whatever happened: the key object holds the schedule.
    struct WipeOnExit {
        SecureBuffer& buffer;
        ~WipeOnExit() { buffer.Wipe(); }
    } wipe{secret};
    auto key = std::make_unique<PayloadKey>(crypto);
    // On any failure below, `key` is released by its destructor in the documented order.
    CngHandle provider = nullptr;
    check(NtSuccess(crypto.BCryptOpenAlgorithmProvider(&provider, kAesAlgorithm, nullptr, 0)),
          "AES_PROVIDER");
    key->provider = ScopedAlgorithmProvider(crypto, provider);
    check(NtSuccess(crypto.BCryptSetProperty(key->provider.get(), kChainingModeProperty,
                                             reinterpret_cast<const uint8_t*>(kChainingModeGcm),
                                             sizeof kChainingModeGcm, 0)),
          "AES_MODE");
    uint32_t objectLength = 0;
    uint32_t resultSize = 0;
    const NtStatus status = crypto.BCryptGetProperty(key->provider.get(), kObjectLengthProperty,
                                                     reinterpret_cast<uint8_t*>(&objectLength),
                                                     sizeof objectLength, &resultSize, 0);
    check(NtSuccess(status) && objectLength <= kMaxKeyObjectBytes, "AES_PROPERTY");
    key->object.Reallocate(objectLength);

    check(secret.size() == kPayloadKeyBytes, "AES_KEY");
    CngHandle handle = nullptr;
    const NtStatus generated =
        crypto.BCryptGenerateSymmetricKey(key->provider.get(), &handle, key->object.data(),
                                          objectLength, secret.data(), kPayloadKeyBytes, 0);
    check(NtSuccess(generated), "AES_KEY");
    key->key = ScopedKeyObject(crypto, handle);
    return key;
}

void ReleasePayloadKey(PayloadKey& key) {
    key.key.reset();
    key.provider.reset();
    key.object.Wipe();
}

void UnsealPayload(FileSystem& files, Crypto& crypto, Handle payload, const PayloadIndex& index,
                   SecureBuffer& secret, const UnsealTarget& target) {
    const std::unique_ptr<PayloadKey> key = OpenPayloadKey(crypto, secret);
    ChunkReader reader(files, crypto, payload, *key);

    for (const PayloadEntry& entry : index.entries) {
        // The file's hash exists before anything of the file is created.
        Sha256Hash hash(crypto);
        GuardedDirectory* const destination = target.destination;
        if (destination == nullptr) {
            SecureBuffer* keep = nullptr;
            if (target.kept != nullptr) {
                const auto kept = target.kept->find(entry.path);
                if (kept != target.kept->end() && entry.size <= kept->second.capacity()) {
                    keep = &kept->second;
                    keep->Resize(entry.size);
                }
            }
            UnsealEntry(files, reader, index, entry, hash, nullptr, keep);
            continue;
        }
        for (std::size_t i = 0; i < entry.path.size(); ++i) {
            if (entry.path[i] == '/') {
                destination->CreateDirectoryAt(entry.path.substr(0, i), target.attributes,
                                               "CACHE_SUBDIRECTORY");
            }
        }
        const std::string partialPath = entry.path + kPartialSuffix;
        {
            const ScopedHandle partial = destination->CreateFileAt(
                partialPath, kPartialFile, target.attributes, "CACHE_FILE_CREATE");
            UnsealEntry(files, reader, index, entry, hash, partial.get(), nullptr);
            check(files.FlushFileBuffers(partial.get()), "CACHE_FLUSH");
        }
        destination->MoveFileAt(partialPath, entry.path, "CACHE_COMMIT");
    }

    uint8_t trailing = 0;
    uint32_t read = 0;
    check(files.ReadFile(payload, &trailing, 1, &read) && read == 0, "PAYLOAD_TRAILING_DATA");
    ReleasePayloadKey(*key);
}

}  // namespace veltomarn

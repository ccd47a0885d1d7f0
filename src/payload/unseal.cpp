#include "payload/unseal.h"

#include <payload_key.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>

#include "core/failure.h"
#include "core/sha256.h"

namespace veltomarn {
namespace {

constexpr WideChar kAesAlgorithm[] = u"AES";
constexpr WideChar kChainingModeProperty[] = u"ChainingMode";
constexpr WideChar kChainingModeGcm[] = u"ChainingModeGCM";
constexpr WideChar kObjectLengthProperty[] = u"ObjectLength";
constexpr uint32_t kMaxKeyObjectBytes = 1048576;
constexpr uint32_t kChunkRecordBytes = 32;
constexpr uint32_t kNonceBytes = 12;
constexpr uint32_t kTagBytes = 16;
constexpr uint32_t kPartialFileAccess = win::kGenericWrite;
constexpr uint32_t kPartialFileFlags = win::kFileFlagSequentialScan | win::kFileAttributeNormal;
constexpr uint32_t kMoveFileWriteThrough = 8;

bool Succeeded(NtStatus status) {
    return status >= 0;
}

uint32_t LittleEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

// The additional data of chunk `chunk` of `entry`: header, the entry's record, the chunk index.
std::vector<uint8_t> AdditionalData(const PayloadIndex& index, const PayloadEntry& entry,
                                    uint32_t chunk) {
    std::vector<uint8_t> data;
    data.reserve(index.header.size() + entry.record.size() + 4);
    data.insert(data.end(), index.header.begin(), index.header.end());
    data.insert(data.end(), entry.record.begin(), entry.record.end());
    for (int shift = 0; shift < 32; shift += 8)
        data.push_back(static_cast<uint8_t>(chunk >> shift));
    return data;
}

// The payload's one stream of chunks, the nonce set and the two chunk buffers.
class ChunkReader {
  public:
    ChunkReader(Platform& platform, Handle payload, const PayloadKey& key)
        : platform_(platform),
          payload_(payload),
          key_(key),
          ciphertext_(kPayloadChunkBytes),
          plaintext_(platform, kPayloadChunkBytes) {}

    // Reads, checks and decrypts the next chunk of `entry` into the plaintext buffer.
    const SecureBuffer& Next(const PayloadIndex& index, const PayloadEntry& entry, uint32_t chunk,
                             uint64_t remaining) {
        std::array<uint8_t, kChunkRecordBytes> record{};
        ReadExact(platform_, payload_, record.data(), kChunkRecordBytes);
        const uint32_t length = LittleEndian32(record.data() + kNonceBytes + kTagBytes);
        check(length == std::min<uint64_t>(remaining, kPayloadChunkBytes), "PAYLOAD_CHUNK_LENGTH");
        std::array<uint8_t, kNonceBytes> nonce{};
        std::copy_n(record.begin(), kNonceBytes, nonce.begin());
        // Refused before its ciphertext is read.
        check(nonces_.insert(nonce).second, "PAYLOAD_NONCE_REUSE");
        if (length != 0) ReadExact(platform_, payload_, ciphertext_.data(), length);

        const std::vector<uint8_t> additional = AdditionalData(index, entry, chunk);
        const AuthenticatedCipherInfo info{nonce.data(),
                                           kNonceBytes,
                                           additional.data(),
                                           static_cast<uint32_t>(additional.size()),
                                           record.data() + kNonceBytes,
                                           kTagBytes};
        // The output buffer always has a byte, so an empty chunk still has somewhere to go.
        plaintext_.Resize(length);
        uint32_t produced = 0;
        const NtStatus status =
            platform_.BCryptDecrypt(key_.key.get(), ciphertext_.data(), length, &info, nullptr, 0,
                                    plaintext_.data(), length, &produced, 0);
        if (!Succeeded(status) || produced != length) {
            // The provider may have written unauthenticated plaintext before it refused.
            plaintext_.Wipe();
            fail("PAYLOAD_AUTHENTICATION");
        }
        return plaintext_;
    }

    void WipePlaintext() { plaintext_.Wipe(); }

  private:
    Platform& platform_;
    const Handle payload_;
    const PayloadKey& key_;
    std::set<std::array<uint8_t, kNonceBytes>> nonces_;
    std::vector<uint8_t> ciphertext_;
    SecureBuffer plaintext_;
};

// Unseals one entry into `hash`; `partial` is the open partial file, or no handle when unsealing
// to nowhere.
void UnsealEntry(Platform& platform, ChunkReader& reader, const PayloadIndex& index,
                 const PayloadEntry& entry, Sha256Hash& hash, Handle partial) {
    uint64_t remaining = entry.size;
    for (uint32_t chunk = 0; chunk < entry.chunkCount; ++chunk) {
        const SecureBuffer& plaintext = reader.Next(index, entry, chunk, remaining);
        hash.Update(plaintext.data(), plaintext.size());
        if (partial != nullptr) {
            uint32_t written = 0;
            const auto size = static_cast<uint32_t>(plaintext.size());
            const bool ok = platform.WriteFile(partial, plaintext.data(), size, &written);
            check(ok && written == size, "CACHE_WRITE");
        }
        reader.WipePlaintext();
        remaining -= plaintext.size();
    }
    const Sha256Digest digest = hash.Finish();
    check(std::equal(digest.begin(), digest.end(), entry.digest.begin()), "PAYLOAD_PLAINTEXT_HASH");
}

}  // namespace

void CompiledInPayloadKey(SecureBuffer& key) {
    key.Resize(kPayloadKeyBytes);
    for (std::size_t i = 0; i < kPayloadKeyBytes; ++i) {
        key.data()[i] = static_cast<uint8_t>(kPayloadKeyShareA[i] ^ kPayloadKeyShareB[i]);
    }
}

std::unique_ptr<PayloadKey> OpenPayloadKey(Platform& platform, SecureBuffer& secret) {
    // The key bytes are wiped on leaving, whatever happened: the key object holds the schedule.
    struct WipeOnExit {
        SecureBuffer& buffer;
        ~WipeOnExit() { buffer.Wipe(); }
    } wipe{secret};
    auto key = std::make_unique<PayloadKey>(platform);
    // On any failure below, `key` is released by its destructor in the documented order.
    CngHandle provider = nullptr;
    check(Succeeded(platform.BCryptOpenAlgorithmProvider(&provider, kAesAlgorithm, nullptr, 0)),
          "AES_PROVIDER");
    key->provider = ScopedAlgorithmProvider(platform, provider);
    check(Succeeded(platform.BCryptSetProperty(key->provider.get(), kChainingModeProperty,
                                               reinterpret_cast<const uint8_t*>(kChainingModeGcm),
                                               sizeof kChainingModeGcm, 0)),
          "AES_MODE");
    uint32_t objectLength = 0;
    uint32_t resultSize = 0;
    const NtStatus status = platform.BCryptGetProperty(key->provider.get(), kObjectLengthProperty,
                                                       reinterpret_cast<uint8_t*>(&objectLength),
                                                       sizeof objectLength, &resultSize, 0);
    check(Succeeded(status) && objectLength <= kMaxKeyObjectBytes, "AES_PROPERTY");
    key->object.Reallocate(objectLength);

    check(secret.size() == kPayloadKeyBytes, "AES_KEY");
    CngHandle handle = nullptr;
    const NtStatus generated =
        platform.BCryptGenerateSymmetricKey(key->provider.get(), &handle, key->object.data(),
                                            objectLength, secret.data(), kPayloadKeyBytes, 0);
    check(Succeeded(generated), "AES_KEY");
    key->key = ScopedKeyObject(platform, handle);
    return key;
}

void ReleasePayloadKey(PayloadKey& key) {
    key.key.reset();
    key.provider.reset();
    key.object.Wipe();
}

void EnsureEntryDirectories(GuardedDirectory& destination, const PayloadEntry& entry,
                            void* securityAttributes) {
    Platform& platform = destination.platform();
    for (std::size_t i = 0; i < entry.path.size(); ++i) {
        if (entry.path[i] != '/') continue;
        const std::string parent = entry.path.substr(0, i);
        const WideString path = LocalLongPath(JoinRelative(destination.base(), parent));
        if (!platform.CreateDirectoryW(path.c_str(), securityAttributes)) {
            check(platform.GetLastError() == win::kErrorAlreadyExists, "CACHE_SUBDIRECTORY");
        }
        destination.HoldParents(parent + "/placeholder");
    }
}

void UnsealPayload(Platform& platform, Handle payload, const PayloadIndex& index,
                   SecureBuffer& secret, const WideString& destinationRoot,
                   void* securityAttributes) {
    const std::unique_ptr<PayloadKey> key = OpenPayloadKey(platform, secret);
    std::unique_ptr<GuardedDirectory> destination;
    if (!destinationRoot.empty()) {
        destination = std::make_unique<GuardedDirectory>(platform, destinationRoot, 0);
    }
    ChunkReader reader(platform, payload, *key);

    for (const PayloadEntry& entry : index.entries) {
        // The file's hash exists before anything of the file is created.
        Sha256Hash hash(platform);
        if (destination == nullptr) {
            UnsealEntry(platform, reader, index, entry, hash, nullptr);
            continue;
        }
        EnsureEntryDirectories(*destination, entry, securityAttributes);
        const WideString partialPath =
            LocalLongPath(JoinRelative(destinationRoot, entry.path + kPartialSuffix));
        {
            ScopedHandle partial(
                platform,
                platform.CreateFileW(partialPath.c_str(), kPartialFileAccess, 0, securityAttributes,
                                     win::kCreateNew, kPartialFileFlags, nullptr));
            check(partial.valid(), "CACHE_FILE_CREATE");
            UnsealEntry(platform, reader, index, entry, hash, partial.get());
            check(platform.FlushFileBuffers(partial.get()), "CACHE_FLUSH");
        }
        const WideString finalPath = LocalLongPath(JoinRelative(destinationRoot, entry.path));
        const WideString partialAgain =
            LocalLongPath(JoinRelative(destinationRoot, entry.path + kPartialSuffix));
        check(platform.MoveFileExW(partialAgain.c_str(), finalPath.c_str(), kMoveFileWriteThrough),
              "CACHE_COMMIT");
    }

    uint8_t trailing = 0;
    uint32_t read = 0;
    check(platform.ReadFile(payload, &trailing, 1, &read) && read == 0, "PAYLOAD_TRAILING_DATA");
    destination.reset();
    ReleasePayloadKey(*key);
}

}  // namespace veltomarn

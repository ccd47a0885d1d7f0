// Feeds arbitrary bytes, as the payload file, to the index reader and then to unsealing to
// nowhere, with any one CNG call or read made to fail. Only Failure may come out; afterwards no
// provider, key or hash may be alive, and the plaintext buffer must have been wiped after the last
// decryption. A payload that unseals must have been read to its very end, each chunk once.
//
// Input: byte 0 picks the failing call (values past the list: none), byte 1 its use (1-256), the
// rest is the payload file.
//
// The crypto here is a stand-in of this file's own, not AES-GCM or SHA-256: fuzzing looks for
// crashes, leaks and escapes, not for cryptographic strength, and it must be able to build valid
// payloads to start from. "Decryption" XORs the ciphertext with a keystream drawn from the key
// and the nonce, writes the result to the output first (as Windows does), then compares the tag,
// a 16-byte mix of key, nonce, additional data and ciphertext; a mismatch gives
// STATUS_AUTH_TAG_MISMATCH. The "digest" is four 64-bit FNV-1a lanes with different bases.
// Object buffers and handles are checked at every use, and every input byte is read, so that the
// sanitizers see any wrong length or stale pointer the unsealing passes.

#include <payload_key.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/failure.h"
#include "fuzz_platform.h"
#include "payload/payload_format.h"
#include "payload/unseal.h"

extern "C" std::size_t LLVMFuzzerMutate(uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using veltomarn::CngHandle;
using veltomarn::Failure;
using veltomarn::NtStatus;
using veltomarn::WideChar;
using veltomarn::WideString;
using veltomarn::fuzzing::BufferPlatform;
using veltomarn::fuzzing::Require;

constexpr NtStatus kSuccess = 0;
constexpr NtStatus kUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr NtStatus kAuthTagMismatch = static_cast<NtStatus>(0xC000A002);
constexpr uint32_t kKeyObjectBytes = 96;
constexpr uint32_t kHashObjectBytes = 40;

const char* const kFaultableCalls[] = {
    "BCryptOpenAlgorithmProvider",
    "BCryptSetProperty",
    "BCryptGetProperty",
    "BCryptGenerateSymmetricKey",
    "BCryptCreateHash",
    "BCryptHashData",
    "BCryptFinishHash",
    "BCryptDecrypt",
    "ReadFile",
};
constexpr std::size_t kFaultableCount = sizeof kFaultableCalls / sizeof kFaultableCalls[0];

uint64_t Mix(uint64_t state, uint8_t byte) {
    return (state ^ byte) * 0x100000001B3ull;
}

uint64_t Mix(uint64_t state, const uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) state = Mix(state, bytes[i]);
    return state;
}

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The stand-in digest: four FNV-1a lanes.
struct StubHash {
    std::array<uint64_t, 4> lanes{0xCBF29CE484222325ull, 0x84222325CBF29CE4ull, 1, 2};
    void Update(const uint8_t* bytes, std::size_t size) {
        for (uint64_t& lane : lanes) lane = Mix(lane, bytes, size);
    }
    std::array<uint8_t, 32> Finish() const {
        std::array<uint8_t, 32> digest{};
        for (std::size_t i = 0; i < 32; ++i) {
            digest[i] = static_cast<uint8_t>(SplitMix(lanes[i / 8]) >> (8 * (i % 8)));
        }
        return digest;
    }
};

std::array<uint8_t, 32> StubDigest(const std::string& bytes) {
    StubHash hash;
    hash.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return hash.Finish();
}

uint8_t KeyStream(uint64_t keyNonce, std::size_t i) {
    return static_cast<uint8_t>(SplitMix(keyNonce + i / 8) >> (8 * (i % 8)));
}

std::array<uint8_t, 16> StubTag(const std::array<uint8_t, 32>& key, const uint8_t* nonce,
                                const uint8_t* additional, std::size_t additionalSize,
                                const uint8_t* ciphertext, std::size_t size) {
    std::array<uint8_t, 16> tag{};
    for (int half = 0; half < 2; ++half) {
        uint64_t state = 0xCBF29CE484222325ull + static_cast<uint64_t>(half);
        state = Mix(state, key.data(), key.size());
        state = Mix(state, nonce, 12);
        state = Mix(SplitMix(state ^ additionalSize), additional, additionalSize);
        state = Mix(SplitMix(state ^ size), ciphertext, size);
        state = SplitMix(state);
        for (int i = 0; i < 8; ++i) tag[8 * half + i] = static_cast<uint8_t>(state >> (8 * i));
    }
    return tag;
}

uint64_t KeyNonce(const std::array<uint8_t, 32>& key, const uint8_t* nonce) {
    return Mix(Mix(0x84222325CBF29CE4ull, key.data(), key.size()), nonce, 12);
}

std::array<uint8_t, 32> CompiledKey() {
    std::array<uint8_t, 32> key{};
    for (std::size_t i = 0; i < 32; ++i) {
        key[i] =
            static_cast<uint8_t>(veltomarn::kPayloadKeyShareA[i] ^ veltomarn::kPayloadKeyShareB[i]);
    }
    return key;
}

class StubCngPlatform final : public BufferPlatform {
  public:
    StubCngPlatform(const uint8_t* data, std::size_t size, std::string failingCall, int failingUse)
        : BufferPlatform(data, size),
          failingCall_(std::move(failingCall)),
          failingUse_(failingUse) {}

    std::size_t live() const { return objects_.size(); }
    int decryptions() const { return decryptions_; }
    uint64_t plaintextBytes() const { return plaintextBytes_; }
    const Range& lastOutput() const { return lastOutput_; }
    std::size_t wipesAtLastDecryption() const { return wipesAtLastDecryption_; }

    bool ReadFile(veltomarn::Handle file, void* buffer, uint32_t size, uint32_t* read) override {
        if (Due("ReadFile")) {
            if (read != nullptr) *read = 0;
            return Fail();
        }
        return BufferPlatform::ReadFile(file, buffer, size, read);
    }

    NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* id,
                                         const WideChar* implementation, uint32_t flags) override {
        Require(algorithm != nullptr && implementation == nullptr && flags == 0);
        if (Due("BCryptOpenAlgorithmProvider")) return kUnsuccessful;
        const WideString name(id);
        Require(name == u"AES" || name == u"SHA256");
        *algorithm = Add(Object(name == u"AES" ? Kind::kAes : Kind::kSha256));
        return kSuccess;
    }
    NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t) override {
        Object& object = Find(algorithm);
        Require(object.kind == Kind::kAes || object.kind == Kind::kSha256);
        Remove(algorithm);
        return kSuccess;
    }
    NtStatus BCryptSetProperty(CngHandle algorithm, const WideChar* property, const uint8_t* input,
                               uint32_t size, uint32_t) override {
        Require(Find(algorithm).kind == Kind::kAes);
        Require(WideString(property) == u"ChainingMode" && size == 32);
        Require(std::memcmp(input, u"ChainingModeGCM", 32) == 0);
        return Due("BCryptSetProperty") ? kUnsuccessful : kSuccess;
    }
    NtStatus BCryptGetProperty(CngHandle algorithm, const WideChar* property, uint8_t* output,
                               uint32_t size, uint32_t* result, uint32_t) override {
        const Kind kind = Find(algorithm).kind;
        Require(WideString(property) == u"ObjectLength" && size == 4 && result != nullptr);
        if (Due("BCryptGetProperty")) return kUnsuccessful;
        const uint32_t length = kind == Kind::kAes ? kKeyObjectBytes : kHashObjectBytes;
        std::memcpy(output, &length, 4);
        *result = 4;
        return kSuccess;
    }
    NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key, uint8_t* keyObject,
                                        uint32_t objectSize, const uint8_t* secret,
                                        uint32_t secretSize, uint32_t flags) override {
        Require(Find(algorithm).kind == Kind::kAes && objectSize == kKeyObjectBytes);
        Require(secretSize == 32 && flags == 0);
        if (Due("BCryptGenerateSymmetricKey")) return kUnsuccessful;
        Object object(Kind::kKey);
        std::memcpy(object.key.data(), secret, 32);
        std::memset(keyObject, 0x4B, objectSize);  // the schedule lives in the caller's buffer
        object.buffer = keyObject;
        *key = Add(object);
        return kSuccess;
    }
    NtStatus BCryptDestroyKey(CngHandle key) override {
        Require(Find(key).kind == Kind::kKey);
        Remove(key);
        return kSuccess;
    }
    NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                           const veltomarn::AuthenticatedCipherInfo* info, uint8_t* iv,
                           uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* result,
                           uint32_t flags) override {
        const Object& object = Find(key);
        Require(object.kind == Kind::kKey && object.buffer[0] == 0x4B);
        Require(info != nullptr && info->nonceSize == 12 && info->tagSize == 16);
        Require(iv == nullptr && ivSize == 0 && flags == 0 && result != nullptr);
        Require(output != nullptr && outputSize == inputSize &&
                (input != nullptr || inputSize == 0));
        wipesAtLastDecryption_ = wipes().size();
        lastOutput_ = {output, outputSize};
        const uint64_t stream = KeyNonce(object.key, info->nonce);
        for (uint32_t i = 0; i < inputSize; ++i) output[i] = input[i] ^ KeyStream(stream, i);
        if (Due("BCryptDecrypt")) return kUnsuccessful;
        const auto tag =
            StubTag(object.key, info->nonce, info->authData, info->authDataSize, input, inputSize);
        if (std::memcmp(tag.data(), info->tag, 16) != 0) return kAuthTagMismatch;
        *result = inputSize;
        ++decryptions_;
        plaintextBytes_ += inputSize;
        return kSuccess;
    }
    NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                              uint32_t objectSize, const uint8_t* secret, uint32_t secretSize,
                              uint32_t flags) override {
        Require(Find(algorithm).kind == Kind::kSha256 && objectSize == kHashObjectBytes);
        Require(secret == nullptr && secretSize == 0 && flags == 0);
        if (Due("BCryptCreateHash")) return kUnsuccessful;
        std::memset(hashObject, 0x48, objectSize);
        Object object(Kind::kHash);
        object.buffer = hashObject;
        *hash = Add(object);
        return kSuccess;
    }
    NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                            uint32_t) override {
        Object& object = Find(hash);
        Require(object.kind == Kind::kHash && !object.finished && object.buffer[0] == 0x48);
        if (Due("BCryptHashData")) return kUnsuccessful;
        object.hash.Update(input, size);
        return kSuccess;
    }
    NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size, uint32_t) override {
        Object& object = Find(hash);
        Require(object.kind == Kind::kHash && !object.finished && size == 32);
        if (Due("BCryptFinishHash")) return kUnsuccessful;
        object.finished = true;
        const auto digest = object.hash.Finish();
        std::memcpy(output, digest.data(), 32);
        return kSuccess;
    }
    NtStatus BCryptDestroyHash(CngHandle hash) override {
        Require(Find(hash).kind == Kind::kHash);
        Remove(hash);
        return kSuccess;
    }

  private:
    enum class Kind { kAes, kSha256, kKey, kHash };
    struct Object {
        explicit Object(Kind k) : kind(k) {}
        Kind kind;
        std::array<uint8_t, 32> key{};
        const uint8_t* buffer = nullptr;
        StubHash hash;
        bool finished = false;
    };

    bool Due(const char* call) { return failingCall_ == call && ++uses_[call] == failingUse_; }
    CngHandle Add(const Object& object) {
        const auto handle = reinterpret_cast<CngHandle>(next_++);
        objects_.emplace(handle, object);
        return handle;
    }
    Object& Find(CngHandle handle) {
        const auto it = objects_.find(handle);
        Require(it != objects_.end());
        return it->second;
    }
    void Remove(CngHandle handle) { objects_.erase(handle); }

    const std::string failingCall_;
    const int failingUse_;
    std::map<std::string, int> uses_;
    std::map<CngHandle, Object> objects_;
    uintptr_t next_ = 0x7000;
    int decryptions_ = 0;
    uint64_t plaintextBytes_ = 0;
    Range lastOutput_{nullptr, 0};
    std::size_t wipesAtLastDecryption_ = 0;
};

void PutLe(std::vector<uint8_t>& out, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A sound payload under the stand-in crypto, with the fault selector "none" in front.
std::vector<uint8_t> SealedSeed(const std::vector<std::pair<std::string, std::string>>& files,
                                uint8_t opaque) {
    std::vector<uint8_t> header = {'V', 'E', 'L', 'T', 'O', '-', 'S', 'E',
                                   'A', 'L', 'E', 'D', '-', 'V', '1', 0};
    uint64_t total = 0;
    for (const auto& file : files) total += file.second.size();
    PutLe(header, files.size(), 4);
    PutLe(header, total, 8);
    for (int i = 0; i < 16; ++i) header.push_back(static_cast<uint8_t>(opaque + i));
    std::vector<uint8_t> bytes = {0xFF, 0x00};
    bytes.insert(bytes.end(), header.begin(), header.end());
    std::vector<std::vector<uint8_t>> records;
    for (const auto& [path, plaintext] : files) {
        std::vector<uint8_t> record;
        PutLe(record, path.size(), 2);
        PutLe(record, plaintext.size(), 8);
        const auto digest = StubDigest(plaintext);
        record.insert(record.end(), digest.begin(), digest.end());
        PutLe(record, 1, 4);  // the seeds' files are small: one chunk each
        record.insert(record.end(), path.begin(), path.end());
        bytes.insert(bytes.end(), record.begin(), record.end());
        records.push_back(record);
    }
    const auto key = CompiledKey();
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::vector<uint8_t> additional = header;
        additional.insert(additional.end(), records[i].begin(), records[i].end());
        PutLe(additional, 0, 4);
        std::array<uint8_t, 12> nonce{};
        nonce[0] = opaque;
        nonce[1] = static_cast<uint8_t>(i);
        const std::string& plaintext = files[i].second;
        std::vector<uint8_t> ciphertext(plaintext.size());
        const uint64_t stream = KeyNonce(key, nonce.data());
        for (std::size_t k = 0; k < plaintext.size(); ++k) {
            ciphertext[k] = static_cast<uint8_t>(plaintext[k]) ^ KeyStream(stream, k);
        }
        const auto tag = StubTag(key, nonce.data(), additional.data(), additional.size(),
                                 ciphertext.data(), ciphertext.size());
        bytes.insert(bytes.end(), nonce.begin(), nonce.end());
        bytes.insert(bytes.end(), tag.begin(), tag.end());
        PutLe(bytes, ciphertext.size(), 4);
        bytes.insert(bytes.end(), ciphertext.begin(), ciphertext.end());
    }
    return bytes;
}

const std::vector<std::vector<uint8_t>>& Seeds() {
    static const std::vector<std::vector<uint8_t>> seeds = {
        SealedSeed({{"RELEASE.sig", "sig"},
                    {"RELEASE.signed", "inventory"},
                    {"VeltoMarnLauncher.exe", "MZ"},
                    {"a/b/c", "nested"},
                    {"empty", ""}},
                   0x10),
        SealedSeed({{"RELEASE.sig", ""},
                    {"RELEASE.signed", ""},
                    {"VeltoMarnLauncher.exe", ""},
                    {"z", "last"}},
                   0x20),
    };
    return seeds;
}

// Exchanges, copies or drops whole chunks, or copies one chunk's nonce onto another: the stream's
// own attacks, one step from a sound seed.
std::size_t MutateChunks(uint8_t* data, std::size_t size, std::size_t maxSize, unsigned int seed) {
    if (size < 2 + 44) return LLVMFuzzerMutate(data, size, maxSize);
    std::size_t tableEnd = 2 + 44;
    const unsigned count = std::min(data[2 + 16] | data[2 + 17] << 8, 64);
    for (unsigned i = 0; i < count && tableEnd + 46 <= size; ++i) {
        tableEnd += 46 + (data[tableEnd] | data[tableEnd + 1] << 8);
    }
    std::vector<std::vector<uint8_t>> chunks;
    std::size_t at = tableEnd;
    while (at + 32 <= size) {
        const std::size_t length = 32 + (data[at + 28] | data[at + 29] << 8);
        if (at + length > size) break;
        chunks.emplace_back(data + at, data + at + length);
        at += length;
    }
    if (chunks.empty()) return LLVMFuzzerMutate(data, size, maxSize);
    const std::size_t a = (seed >> 8) % chunks.size();
    const std::size_t b = (seed >> 18) % chunks.size();
    switch ((seed >> 4) % 4) {
        case 0:
            std::swap(chunks[a], chunks[b]);
            break;
        case 1:
            chunks[b] = chunks[a];
            break;
        case 2:
            std::copy_n(chunks[a].begin(), 12, chunks[b].begin());
            break;
        default:
            chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(a));
    }
    std::vector<uint8_t> out(data, data + tableEnd);
    for (const auto& chunk : chunks) out.insert(out.end(), chunk.begin(), chunk.end());
    out.insert(out.end(), data + at, data + size);
    if (out.size() > maxSize) return size;
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    if (size == 0 || seed % 16 == 0) {
        const std::vector<uint8_t>& start = Seeds()[(seed / 16) % Seeds().size()];
        if (start.size() <= maxSize) {
            std::memcpy(data, start.data(), start.size());
            if (seed % 32 == 0) return start.size();
            size = start.size();
        }
    }
    if (seed % 8 == 2 && size >= 2) {
        // A sound payload with one call failing at one of its first uses.
        data[0] = static_cast<uint8_t>((seed >> 8) % kFaultableCount);
        data[1] = static_cast<uint8_t>((seed >> 16) % 8);
        return size;
    }
    if (seed % 4 == 1) return MutateChunks(data, size, maxSize, seed);
    return LLVMFuzzerMutate(data, size, maxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string failingCall = data[0] < kFaultableCount ? kFaultableCalls[data[0]] : "";
    StubCngPlatform platform(data + 2, size - 2, failingCall, data[1] + 1);
    veltomarn::PayloadIndex index;
    try {
        index = veltomarn::ReadPayloadIndex(platform, BufferPlatform::kFile);
    } catch (const Failure&) {
        return 0;  // the index fuzzer's business
    } catch (...) {
        __builtin_trap();
    }
    bool unsealed = false;
    try {
        veltomarn::UnsealPayload(platform, BufferPlatform::kFile, index, WideString(), nullptr);
        unsealed = true;
    } catch (const Failure&) {
    } catch (...) {
        __builtin_trap();
    }
    Require(platform.live() == 0);
    if (platform.lastOutput().begin != nullptr) {
        bool wiped = false;
        for (std::size_t i = platform.wipesAtLastDecryption(); i < platform.wipes().size(); ++i) {
            const auto& wipe = platform.wipes()[i];
            wiped = wiped || (wipe.begin <= platform.lastOutput().begin &&
                              platform.lastOutput().begin + platform.lastOutput().size <=
                                  wipe.begin + wipe.size);
        }
        Require(wiped);
    }
    if (unsealed) {
        Require(platform.position() == size - 2);
        uint64_t chunks = 0;
        for (const auto& entry : index.entries) chunks += entry.chunkCount;
        Require(static_cast<uint64_t>(platform.decryptions()) == chunks);
        Require(platform.plaintextBytes() == index.plaintextBytes);
    }
    return 0;
}

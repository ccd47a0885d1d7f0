#include "core/sha256.h"

#include <algorithm>
#include <limits>

#include "core/failure.h"
#include "core/hex_text.h"

namespace veltomarn {
namespace {

constexpr WideChar kSha256Algorithm[] = u"SHA256";
constexpr WideChar kObjectLengthProperty[] = u"ObjectLength";
constexpr uint32_t kMaxHashObjectBytes = 1048576;
constexpr uint64_t kMaxDigestFileBytes = 4294967296;

}  // namespace

Sha256Hash::Sha256Hash(Crypto& crypto) : crypto_(crypto), object_(crypto, 0) {
    CngHandle provider = nullptr;
    check(NtSuccess(crypto_.BCryptOpenAlgorithmProvider(&provider, kSha256Algorithm, nullptr, 0)),
          "HASH_PROVIDER");
    provider_ = ScopedAlgorithmProvider(crypto_, provider);

    uint32_t objectLength = 0;
    uint32_t resultSize = 0;
    const NtStatus status = crypto_.BCryptGetProperty(provider_.get(), kObjectLengthProperty,
                                                      reinterpret_cast<uint8_t*>(&objectLength),
                                                      sizeof objectLength, &resultSize, 0);
    check(NtSuccess(status) && objectLength <= kMaxHashObjectBytes, "HASH_PROPERTY");
    object_.Reallocate(objectLength);

    CngHandle hash = nullptr;
    check(NtSuccess(crypto_.BCryptCreateHash(provider_.get(), &hash, object_.data(), objectLength,
                                             nullptr, 0, 0)),
          "HASH_CREATE");
    hash_ = ScopedHashObject(crypto_, hash);
}

void Sha256Hash::Update(const uint8_t* data, std::size_t size) {
    constexpr std::size_t kMaxPiece = std::numeric_limits<uint32_t>::max();
    do {
        const std::size_t piece = std::min(size, kMaxPiece);
        check(NtSuccess(crypto_.BCryptHashData(hash_.get(), data, static_cast<uint32_t>(piece), 0)),
              "HASH_READ");
        data += piece;
        size -= piece;
    } while (size != 0);
}

Sha256Digest Sha256Hash::Finish() {
    Sha256Digest digest{};
    check(NtSuccess(crypto_.BCryptFinishHash(hash_.get(), digest.data(), digest.size(), 0)),
          "HASH_FINISH");
    return digest;
}

std::string DigestHex(const Sha256Digest& digest) {
    return HexText(digest.data(), digest.size());
}

std::string FileDigest(GuardedDirectory& guard, Crypto& crypto, const std::string& relative,
                       uint64_t expectedSize) {
    FileSystem& files = guard.files();
    const Handle file = guard.OpenFile(relative, kMaxDigestFileBytes);
    const FileInformation information = QueryFileInformation(files, file);
    check(information.size() == expectedSize, "FILE_SIZE_MISMATCH");
    // The handle is shared through the guard and may have been read before: rewind.
    check(files.SetFilePointerEx(file, 0, nullptr, win::kFileBegin), "FILE_SEEK");

    Sha256Hash hash(crypto);
    std::vector<uint8_t> buffer(kDigestReadBytes);
    uint64_t total = 0;
    while (true) {
        uint32_t read = 0;
        check(files.ReadFile(file, buffer.data(), kDigestReadBytes, &read), "FILE_READ");
        if (read == 0) break;
        total += read;
        check(total <= expectedSize, "FILE_CHANGED");
        hash.Update(buffer.data(), read);
    }
    check(total == expectedSize, "FILE_CHANGED");
    return DigestHex(hash.Finish());
}

}  // namespace veltomarn

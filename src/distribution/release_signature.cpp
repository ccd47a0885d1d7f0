#include "distribution/release_signature.h"

#include "core/failure.h"
#include "core/sha256.h"
#include "platform/scoped_handle.h"

namespace veltomarn {
namespace {

constexpr WideChar kRsaAlgorithm[] = u"RSA";
constexpr WideChar kRsaPublicBlob[] = u"RSAPUBLICBLOB";
constexpr WideChar kSha256Algorithm[] = u"SHA256";
constexpr uint32_t kPadPkcs1 = 2;

}  // namespace

void VerifyReleaseSignature(Crypto& crypto, const std::vector<uint8_t>& inventory,
                            const std::vector<uint8_t>& signature,
                            const std::vector<uint8_t>& releaseKeyBlob) {
    check(signature.size() == kSignatureBytes, "SIGNATURE_SIZE");
    Sha256Digest digest;
    {
        Sha256Hash hash(crypto);
        hash.Update(inventory.data(), inventory.size());
        digest = hash.Finish();
    }

    CngHandle provider = nullptr;
    check(NtSuccess(crypto.BCryptOpenAlgorithmProvider(&provider, kRsaAlgorithm, nullptr, 0)),
          "SIGNATURE_PROVIDER");
    const ScopedAlgorithmProvider rsa(crypto, provider);

    CngHandle imported = nullptr;
    NtStatus status = crypto.BCryptImportKeyPair(rsa.get(), nullptr, kRsaPublicBlob, &imported,
                                                 releaseKeyBlob.data(),
                                                 static_cast<uint32_t>(releaseKeyBlob.size()), 0);
    const ScopedKeyObject key(crypto, NtSuccess(status) ? imported : nullptr);
    if (NtSuccess(status)) {
        status = crypto.BCryptVerifySignature(key.get(), kSha256Algorithm, digest.data(),
                                              static_cast<uint32_t>(digest.size()),
                                              signature.data(), kSignatureBytes, kPadPkcs1);
    }
    // A key the provider refuses reads the same as a signature that does not match.
    check(NtSuccess(status), "SIGNATURE_INVALID");
}

}  // namespace veltomarn

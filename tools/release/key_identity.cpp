#include "release/key_identity.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

#include "core/sha256.h"
#include "platform/openssl/openssl_cng.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/tool_error.h"
#include "test_keys.h"

namespace veltomarn::release {
namespace {

constexpr std::size_t kModulusBytes = 384;
constexpr uint64_t kMaxBootstrapBytes = 1u << 30;

std::vector<uint8_t> TestPublicBlob() {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(kTestReleasePublicKeyPem, -1), BIO_free);
    const KeyPointer key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    return key ? PublicKeyBlob(key.get()) : std::vector<uint8_t>();
}

// Whether `bytes` holds the modulus of the public blob `publicBlob` (its last 384 bytes, as the
// bootstrap stores them).
bool HoldsModulus(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& publicBlob) {
    if (publicBlob.size() < kModulusBytes) return false;
    const auto modulus = publicBlob.end() - kModulusBytes;
    return std::search(bytes.begin(), bytes.end(), modulus, publicBlob.end()) != bytes.end();
}

}  // namespace

std::string Fingerprint(const std::vector<uint8_t>& publicBlob) {
    // The blob holds exactly the modulus and the exponent, so the DER made from it is the one any
    // encoding of the same public key gives.
    const KeyPointer key(
        RsaPublicKeyFromBlob(publicBlob.data(), static_cast<uint32_t>(publicBlob.size())));
    unsigned char* der = nullptr;
    const int length = key ? i2d_PUBKEY(key.get(), &der) : -1;
    if (length <= 0) Refuse("the release key cannot be encoded as a SubjectPublicKeyInfo");
    const std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
        der, [](unsigned char* bytes) { OPENSSL_free(bytes); });
    OpensslCng crypto;
    Sha256Hash hash(crypto);
    hash.Update(der, static_cast<std::size_t>(length));
    return DigestHex(hash.Finish());
}

bool IsTestReleaseKey(const std::vector<uint8_t>& publicBlob) {
    return publicBlob == TestPublicBlob();
}

bool IsTestPayloadKey(const PayloadKeyMaterial& key) {
    return key == ParsePayloadKeyShares(kTestPayloadKeyShares, "the TEST-ONLY shares");
}

void WarnTestKey(std::ostream& err, const std::string& what) {
    static bool warned = false;
    if (warned) return;
    warned = true;
    err << "veltomarn-release: warning: " << what
        << " is one of the repository's TEST-ONLY keys (keys/test): never ship it\n";
}

void CheckBootstrapKey(const std::string& bootstrap, const std::vector<uint8_t>& publicBlob,
                       std::ostream& err) {
    const std::vector<uint8_t> bytes = ReadWholeFile(bootstrap, kMaxBootstrapBytes, true);
    const std::vector<uint8_t> test = TestPublicBlob();
    const bool holdsTest = HoldsModulus(bytes, test);
    if (!HoldsModulus(bytes, publicBlob)) {
        Refuse(ShowPath(bootstrap) + ": this bootstrap was built with another release key than " +
               "the one that signs (fingerprint " + Fingerprint(publicBlob) + ")" +
               (holdsTest ? ": it holds the repository's TEST-ONLY key (fingerprint " +
                                Fingerprint(test) + ")"
                          : "") +
               "; every player would get SIGNATURE_INVALID. Build it with "
               "VELTOMARN_RELEASE_PUBLIC_KEY set to the signing key's public half");
    }
    if (holdsTest) WarnTestKey(err, "the release key that " + ShowPath(bootstrap) + " holds");
}

void CheckBootstrapShares(const std::string& bootstrap, const PayloadKeyMaterial& key,
                          const std::string& sharesPath) {
    const std::vector<uint8_t> bytes = ReadWholeFile(bootstrap, kMaxBootstrapBytes, true);
    for (const auto& share : key.shares()) {
        if (std::search(bytes.begin(), bytes.end(), share.begin(), share.end()) == bytes.end()) {
            Refuse(ShowPath(bootstrap) + ": this bootstrap does not hold the payload key shares " +
                   "of " + ShowPath(sharesPath) + " (another build, or not a bootstrap); every " +
                   "player would get PAYLOAD_AUTHENTICATION. Build it with " +
                   "VELTOMARN_PAYLOAD_KEY set to that file");
        }
    }
}

}  // namespace veltomarn::release

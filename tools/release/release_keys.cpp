#include "release/release_keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "platform/openssl/openssl_cng.h"
#include "release/tool_support.h"

namespace veltomarn::release {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 1048576;
constexpr std::size_t kSignatureBytes = 384;
constexpr std::size_t kKeyBlobBytes = 411;

std::string OpensslReason() {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) return "no further detail";
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPointer = std::unique_ptr<BIO, BioDeleter>;

struct ContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using ContextPointer = std::unique_ptr<EVP_PKEY_CTX, ContextDeleter>;

// Refuses any key the bootstrap could not import as its release key.
void CheckKeyShape(const EVP_PKEY* key, const std::string& path) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        Refuse(ShowPath(path) + ": not an RSA key (the release key is RSA-3072)");
    }
    const int bits = EVP_PKEY_get_bits(key);
    if (bits != kReleaseKeyBits) {
        Refuse(ShowPath(path) + ": the modulus has " + std::to_string(bits) +
               " bits; the release key must have 3072");
    }
    BIGNUM* exponent = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) != 1) {
        Refuse(ShowPath(path) + ": the public exponent cannot be read: " + OpensslReason());
    }
    const int exponentBytes = BN_num_bytes(exponent);
    BN_free(exponent);
    if (exponentBytes != 3) {
        Refuse(ShowPath(path) + ": the public exponent is " + std::to_string(exponentBytes) +
               " bytes long; the release key needs a 3-byte exponent such as 65537");
    }
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

void KeyDeleter::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

KeyPointer LoadPrivateKey(const std::string& path) {
    std::vector<uint8_t> pem = ReadWholeFile(path, kMaxKeyFileBytes, true);
    BioPointer bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPointer key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    bio.reset();
    Wipe(pem);
    if (!key) {
        Refuse(ShowPath(path) + ": no PEM private key could be read: " + OpensslReason());
    }
    CheckKeyShape(key.get(), path);
    return key;
}

std::vector<uint8_t> LoadPublicKeyBlob(const std::string& path) {
    const std::vector<uint8_t> pem = ReadWholeFile(path, kMaxKeyFileBytes, true);
    BioPointer bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPointer key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        Refuse(ShowPath(path) +
               ": no PEM public key (BEGIN PUBLIC KEY) could be read: " + OpensslReason());
    }
    CheckKeyShape(key.get(), path);
    return PublicKeyBlob(key.get());
}

std::vector<uint8_t> PublicKeyBlob(const EVP_PKEY* key) {
    std::vector<uint8_t> blob = RsaPublicBlobFromKey(key);
    if (blob.size() != kKeyBlobBytes) Refuse("the key does not form a 411-byte RSA public blob");
    return blob;
}

std::vector<uint8_t> SignDigest(EVP_PKEY* key, const std::array<uint8_t, 32>& digest) {
    ContextPointer context(EVP_PKEY_CTX_new(key, nullptr));
    std::vector<uint8_t> signature(kSignatureBytes);
    std::size_t length = signature.size();
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) !=
            1) {
        Refuse("signing failed: " + OpensslReason());
    }
    if (length != kSignatureBytes) Refuse("signing gave a signature of an unexpected length");
    return signature;
}

KeyPointer GenerateReleaseKey() {
    KeyPointer key(EVP_RSA_gen(kReleaseKeyBits));
    if (!key) Refuse("RSA key generation failed: " + OpensslReason());
    return key;
}

std::string PrivateKeyPem(EVP_PKEY* key) {
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        Refuse("the private key cannot be written as PEM: " + OpensslReason());
    }
    std::string text = BioText(bio.get());
    // The memory BIO's buffer held the key too.
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size > 0) OPENSSL_cleanse(data, static_cast<std::size_t>(size));
    return text;
}

std::string PublicKeyPem(EVP_PKEY* key) {
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
        Refuse("the public key cannot be written as PEM: " + OpensslReason());
    }
    return BioText(bio.get());
}

std::string NewPayloadKeyShares() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::array<uint8_t, 2 * kPayloadKeyShareBytes> random{};
    if (RAND_priv_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        Refuse("the system random generator failed: " + OpensslReason());
    }
    std::string text;
    for (std::size_t share = 0; share < 2; ++share) {
        for (std::size_t k = 0; k < kPayloadKeyShareBytes; ++k) {
            const uint8_t byte = random[share * kPayloadKeyShareBytes + k];
            text.push_back(kHex[byte >> 4]);
            text.push_back(kHex[byte & 0x0F]);
        }
        text.push_back('\n');
    }
    OPENSSL_cleanse(random.data(), random.size());
    return text;
}

}  // namespace veltomarn::release

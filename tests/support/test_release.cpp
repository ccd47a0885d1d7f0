#include "support/test_release.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>
#include <stdexcept>

namespace veltomarn::testing {
namespace {

constexpr std::size_t kSignatureBytes = 384;
constexpr std::size_t kExponentBytes = 3;

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(BIGNUM* number) const { BN_free(number); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

void Require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test release: ") + what);
}

OpenSslPtr<EVP_PKEY> ReadKey(const char* file, bool privateKey) {
    const std::string path = std::string(VELTOMARN_TEST_KEYS_DIR) + "/" + file;
    OpenSslPtr<BIO> bio(BIO_new_file(path.c_str(), "r"));
    Require(bio != nullptr, "cannot open a test key file");
    OpenSslPtr<EVP_PKEY> key(privateKey
                                 ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                 : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    Require(key != nullptr, "cannot read a test key");
    return key;
}

EVP_PKEY* TestPrivateKey() {
    static const OpenSslPtr<EVP_PKEY> key = ReadKey("release-signing-TEST-ONLY.key.pem", true);
    return key.get();
}

EVP_PKEY* OtherPrivateKey() {
    // Generating a 3072-bit key takes a while: once per test program is enough.
    static const OpenSslPtr<EVP_PKEY> key(EVP_RSA_gen(3072));
    Require(key != nullptr, "cannot generate a key");
    return key.get();
}

std::vector<uint8_t> BigEndian(EVP_PKEY* key, const char* parameter, std::size_t length) {
    BIGNUM* raw = nullptr;
    Require(EVP_PKEY_get_bn_param(key, parameter, &raw) == 1, "cannot read a key number");
    const OpenSslPtr<BIGNUM> number(raw);
    std::vector<uint8_t> bytes(length);
    Require(BN_bn2binpad(number.get(), bytes.data(), static_cast<int>(length)) ==
                static_cast<int>(length),
            "key number too long");
    return bytes;
}

std::vector<uint8_t> Sign(EVP_PKEY* key, const EVP_MD* digest, int padding,
                          const std::vector<uint8_t>& data) {
    OpenSslPtr<EVP_MD_CTX> context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    Require(context != nullptr &&
                EVP_DigestSignInit(context.get(), &keyContext, digest, nullptr, key) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(keyContext, padding) == 1,
            "cannot start a signature");
    if (padding == RSA_PKCS1_PSS_PADDING) {
        Require(EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) == 1,
                "cannot set the PSS salt");
    }
    std::size_t length = 0;
    Require(EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) == 1,
            "cannot size a signature");
    std::vector<uint8_t> signature(length);
    Require(EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) == 1,
            "cannot sign");
    signature.resize(length);
    Require(signature.size() == kSignatureBytes, "signature is not 384 bytes");
    return signature;
}

}  // namespace

std::vector<uint8_t> ToBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1,
            "cannot hash");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0F]);
    }
    return text;
}

RsaPublicNumbers TestReleaseKeyNumbers() {
    const OpenSslPtr<EVP_PKEY> key = ReadKey("release-signing-TEST-ONLY.pub.pem", false);
    return {BigEndian(key.get(), OSSL_PKEY_PARAM_RSA_N, kSignatureBytes),
            BigEndian(key.get(), OSSL_PKEY_PARAM_RSA_E, kExponentBytes)};
}

std::vector<uint8_t> SignWith(SignatureScheme scheme, const std::vector<uint8_t>& data) {
    switch (scheme) {
        case SignatureScheme::kPkcs1Sha256:
            return Sign(TestPrivateKey(), EVP_sha256(), RSA_PKCS1_PADDING, data);
        case SignatureScheme::kPssSha256:
            return Sign(TestPrivateKey(), EVP_sha256(), RSA_PKCS1_PSS_PADDING, data);
        case SignatureScheme::kPkcs1Sha1:
            return Sign(TestPrivateKey(), EVP_sha1(), RSA_PKCS1_PADDING, data);
        case SignatureScheme::kPkcs1Sha512:
            return Sign(TestPrivateKey(), EVP_sha512(), RSA_PKCS1_PADDING, data);
        case SignatureScheme::kOtherKey3072:
            return Sign(OtherPrivateKey(), EVP_sha256(), RSA_PKCS1_PADDING, data);
    }
    throw std::logic_error("unknown signature scheme");
}

std::vector<uint8_t> SignWithTestKey(const std::vector<uint8_t>& data) {
    return SignWith(SignatureScheme::kPkcs1Sha256, data);
}

std::string InventoryText(const ReleaseFiles& files, uint64_t sequence) {
    const auto manifest = files.find("package/release.json");
    std::string text =
        "VELTO-MARN-SIGNED-DISTRIBUTION-V1\nchannel=community\nsequence=" +
        std::to_string(sequence) + "\nabi=1\nmanifest=" +
        (manifest == files.end() ? std::string(64, '0') : Sha256Hex(manifest->second)) +
        "\nfiles=" + std::to_string(files.size()) + "\n";
    for (const auto& [path, bytes] : files) {
        text += Sha256Hex(bytes) + "\t" + std::to_string(bytes.size()) + "\t" + path + "\n";
    }
    return text;
}

WideString PackagePath(const WideString& base, const std::string& relative) {
    WideString path = base;
    path.push_back(u'\\');
    for (const char c : relative) {
        path.push_back(c == '/' ? u'\\' : static_cast<WideChar>(static_cast<unsigned char>(c)));
    }
    return path;
}

SignedRelease WriteSignedRelease(MemoryPlatform& platform, const WideString& base,
                                 const ReleasePlan& plan) {
    platform.AddDirectory(base);
    for (const auto& [path, bytes] : plan.files) platform.AddFile(PackagePath(base, path), bytes);
    SignedRelease release;
    release.inventory = InventoryText(plan.files, plan.sequence);
    if (plan.editInventory) plan.editInventory(release.inventory);
    release.signature = SignWithTestKey(ToBytes(release.inventory));
    platform.AddFile(PackagePath(base, "RELEASE.signed"), release.inventory);
    platform.AddFile(PackagePath(base, "RELEASE.sig"),
                     std::string(release.signature.begin(), release.signature.end()));
    if (plan.afterSigning) plan.afterSigning(platform, base);
    return release;
}

}  // namespace veltomarn::testing

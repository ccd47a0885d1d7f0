#include "release/release_keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/stat.h>

#include "platform/openssl/openssl_cng.h"
#include "release/key_identity.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"

namespace veltomarn::release {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 1048576;
constexpr std::size_t kSignatureBytes = 384;
constexpr std::size_t kKeyBlobBytes = 411;
constexpr std::size_t kMaxKeySharesFileBytes = 4096;
constexpr std::size_t kShareHexDigits = 2 * kPayloadKeyShareBytes;
// PBKDF2-HMAC-SHA256 rounds for a new encrypted key: a guess costs what it costs a signer to
// load the key, a fraction of a second.
constexpr int kKeyDerivationRounds = 600000;
constexpr int kKeySaltBytes = 16;

std::string OpensslReason() {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0) return "no further detail";
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

// The passphrase for an encrypted private key from VELTOMARN_KEY_PASSPHRASE, or the first line of
// the file VELTOMARN_KEY_PASSPHRASE_FILE names; empty when neither is set.
// Refuses a secret's file that group or others may read: on a shared machine they could copy it.
void RefuseExposedSecret(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) RefuseSystem("cannot inspect", path, errno);
    if ((status.st_mode & (S_IRGRP | S_IROTH)) == 0) return;
    Refuse(ShowPath(path) + ": group or others may read this secret; nothing was changed. Make " +
           "it readable by you alone: chmod 600 " + ShowPath(path));
}

std::vector<uint8_t> PassphraseFromEnvironment() {
    if (const char* value = std::getenv("VELTOMARN_KEY_PASSPHRASE"); value != nullptr) {
        return std::vector<uint8_t>(value, value + std::strlen(value));
    }
    const char* file = std::getenv("VELTOMARN_KEY_PASSPHRASE_FILE");
    if (file == nullptr) return {};
    RefuseExposedSecret(file);
    std::vector<uint8_t> text = ReadWholeFile(file, kMaxKeyFileBytes, true);
    const auto end =
        std::find_if(text.begin(), text.end(), [](uint8_t c) { return c == '\n' || c == '\r'; });
    std::fill(end, text.end(), 0);
    text.resize(static_cast<std::size_t>(end - text.begin()));
    return text;
}

// The passphrase of an encrypted key: given (the environment), or asked on the terminal with
// OpenSSL's prompt, once however often OpenSSL's decoders ask. A prompt that Ctrl-C or an empty
// answer ended is not asked again.
struct Passphrase {
    std::vector<uint8_t> bytes;
    bool fromTerminal = false;
    bool asked = false;
    bool interrupted = false;  // Ctrl-C at the prompt
};

// A pem_password_cb over a Passphrase (`user`).
int SupplyPassphrase(char* buffer, int size, int writing, void* user) {
    auto& passphrase = *static_cast<Passphrase*>(user);
    if (passphrase.fromTerminal && !passphrase.asked) {
        passphrase.asked = true;
        std::array<char, 1024> typed{};
        // -2: the prompt was interrupted.
        const int result = EVP_read_pw_string_min(
            typed.data(), 0, static_cast<int>(typed.size()) - 1, "Enter PEM pass phrase:", writing);
        passphrase.interrupted = result == -2;
        const std::size_t length = result == 0 ? std::strlen(typed.data()) : 0;
        passphrase.bytes.assign(typed.begin(), typed.begin() + static_cast<std::ptrdiff_t>(length));
        OPENSSL_cleanse(typed.data(), typed.size());
    }
    if (passphrase.bytes.empty()) return -1;
    const int length = static_cast<int>(
        std::min<std::size_t>(passphrase.bytes.size(), static_cast<std::size_t>(size)));
    std::copy_n(passphrase.bytes.begin(), length, buffer);
    return length;
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

int HexValue(uint8_t digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
}

// What the memory BIO holds, copied once into a buffer of its exact size.
std::vector<uint8_t> BioBytes(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

}  // namespace

void KeyDeleter::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

KeyPointer LoadPrivateKey(const std::string& path) {
    std::vector<uint8_t> pem = ReadWholeFile(path, kMaxKeyFileBytes, true);
    const WipeOnExit wipePem(pem);
    const std::string_view text(reinterpret_cast<const char*>(pem.data()), pem.size());
    const bool isPublic = text.find("-----BEGIN PUBLIC KEY-----") != std::string_view::npos;
    const bool encrypted = text.find("ENCRYPTED") != std::string_view::npos;
    if (encrypted) RefuseExposedSecret(path);  // before its passphrase is asked for
    Passphrase passphrase{encrypted ? PassphraseFromEnvironment() : std::vector<uint8_t>()};
    const WipeOnExit wipePassphrase(passphrase.bytes);
    passphrase.fromTerminal = encrypted && passphrase.bytes.empty();
    BioPointer bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPointer key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, SupplyPassphrase, &passphrase)
                       : nullptr);
    bio.reset();
    const bool entered = !passphrase.bytes.empty();
    if (!key && isPublic) {
        ERR_clear_error();
        Refuse(ShowPath(path) +
               ": this is a public key; the signing key is the private one "
               "(release-signing.key.pem from keygen)");
    }
    if (!key && passphrase.interrupted) {
        ERR_clear_error();
        throw ToolError(128 + SIGINT, "interrupted at the passphrase prompt; nothing was changed");
    }
    if (!key && encrypted) {
        ERR_clear_error();
        Refuse(ShowPath(path) + (entered ? ": wrong passphrase" : ": no passphrase was entered") +
               "; nothing was changed (VELTOMARN_KEY_PASSPHRASE or VELTOMARN_KEY_PASSPHRASE_FILE "
               "can give it)");
    }
    if (!key) {
        Refuse(ShowPath(path) + ": no PEM private key could be read: " + OpensslReason());
    }
    CheckKeyShape(key.get(), path);
    // The repository's TEST-ONLY key is published anyway, and checked out with the usual mode.
    if (!IsTestReleaseKey(PublicKeyBlob(key.get()))) RefuseExposedSecret(path);
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

std::vector<uint8_t> SignDigest(EVP_PKEY* key, const Sha256Digest& digest) {
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

std::vector<uint8_t> NewKeyPassphrase() {
    std::vector<uint8_t> passphrase = PassphraseFromEnvironment();
    if (!passphrase.empty()) return passphrase;
    std::array<char, 1024> typed{};
    const int result = EVP_read_pw_string_min(typed.data(), 0, static_cast<int>(typed.size()) - 1,
                                              "Passphrase for the new signing key:", 1);
    const std::size_t length = result == 0 ? std::strlen(typed.data()) : 0;
    passphrase.assign(typed.begin(), typed.begin() + static_cast<std::ptrdiff_t>(length));
    OPENSSL_cleanse(typed.data(), typed.size());
    ERR_clear_error();
    if (result == -2) {
        throw ToolError(128 + SIGINT, "interrupted at the passphrase prompt; nothing was written");
    }
    if (result != 0 || passphrase.empty()) {
        Refuse(std::string(result != 0 ? "the passphrase could not be read from a terminal, or "
                                         "its two entries differ"
                                       : "no passphrase was entered") +
               "; nothing was written (VELTOMARN_KEY_PASSPHRASE or VELTOMARN_KEY_PASSPHRASE_FILE "
               "can give it)");
    }
    return passphrase;
}

std::vector<uint8_t> PrivateKeyPem(EVP_PKEY* key, const std::vector<uint8_t>* passphrase) {
    // A secure-memory BIO wipes its buffer when it grows it and when it is freed, a failed write
    // included. The key's PKCS #8 form is wiped when it is freed.
    BioPointer bio(BIO_new(BIO_s_secmem()));
    bool written = false;
    if (bio && passphrase == nullptr) {
        written =
            PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    } else if (bio) {
        const std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
            EVP_PKEY2PKCS8(key), PKCS8_PRIV_KEY_INFO_free);
        // -1: PBES2 with the cipher given; no salt given: a random one.
        const std::unique_ptr<X509_SIG, decltype(&X509_SIG_free)> encrypted(
            info ? PKCS8_encrypt(-1, EVP_aes_256_cbc(),
                                 reinterpret_cast<const char*>(passphrase->data()),
                                 static_cast<int>(passphrase->size()), nullptr, kKeySaltBytes,
                                 kKeyDerivationRounds, info.get())
                 : nullptr,
            X509_SIG_free);
        written = encrypted && PEM_write_bio_PKCS8(bio.get(), encrypted.get()) == 1;
    }
    if (!written) Refuse("the private key cannot be written as PEM: " + OpensslReason());
    return BioBytes(bio.get());
}

std::vector<uint8_t> PublicKeyPem(EVP_PKEY* key) {
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) {
        Refuse("the public key cannot be written as PEM: " + OpensslReason());
    }
    return BioBytes(bio.get());
}

std::vector<uint8_t> NewPayloadKeyShares() {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::array<uint8_t, 2 * kPayloadKeyShareBytes> random{};
    if (RAND_priv_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        OPENSSL_cleanse(random.data(), random.size());
        Refuse("the system random generator failed: " + OpensslReason());
    }
    // Sized once, so no reallocation leaves a copy of the digits behind.
    std::vector<uint8_t> text(2 * (kShareHexDigits + 1));
    auto digit = text.begin();
    for (std::size_t k = 0; k < random.size(); ++k) {
        *digit++ = kHexDigits[random[k] >> 4];
        *digit++ = kHexDigits[random[k] & 0x0F];
        if ((k + 1) % kPayloadKeyShareBytes == 0) *digit++ = '\n';
    }
    OPENSSL_cleanse(random.data(), random.size());
    return text;
}

PayloadKeyMaterial::~PayloadKeyMaterial() {
    OPENSSL_cleanse(bytes_.data(), bytes_.size());
    OPENSSL_cleanse(shares_.data(), sizeof shares_);
}

bool PayloadKeyMaterial::operator==(const PayloadKeyMaterial& other) const {
    return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), bytes_.size()) == 0;
}

PayloadKeyMaterial LoadPayloadKey(const std::string& path) {
    std::vector<uint8_t> text = ReadWholeFile(path, kMaxKeySharesFileBytes, true);
    const WipeOnExit wipeText(text);
    return ParsePayloadKeyShares(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), ShowPath(path));
}

PayloadKeyMaterial ParsePayloadKeyShares(std::string_view text, const std::string& shown) {
    const auto refuse = [&](const std::string& why) {
        Refuse(shown + ": " + why +
               "; payload key shares are two lines of exactly 64 lower-case hex digits, as "
               "keygen writes them");
    };
    const std::size_t line = kShareHexDigits + 1;
    if (text.size() != 2 * line && text.size() != 2 * line - 1) {
        refuse("not a payload key shares file (" + std::to_string(text.size()) + " bytes)");
    }
    PayloadKeyMaterial key;
    bool distinct = false;
    for (std::size_t share = 0; share < 2; ++share) {
        const std::size_t start = share * line;
        if (start + kShareHexDigits < text.size() && text[start + kShareHexDigits] != '\n') {
            refuse("line " + std::to_string(share + 1) + " does not end after 64 digits");
        }
        for (std::size_t k = 0; k < kPayloadKeyShareBytes; ++k) {
            const int high = HexValue(text[start + 2 * k]);
            const int low = HexValue(text[start + 2 * k + 1]);
            if (high < 0 || low < 0) {
                refuse("line " + std::to_string(share + 1) +
                       " holds a character other than 0-9 and a-f");
            }
            const auto byte = static_cast<uint8_t>(high * 16 + low);
            key.bytes()[k] ^= byte;
            key.shares()[share][k] = byte;
        }
    }
    for (const uint8_t byte : key.bytes()) distinct = distinct || byte != 0;
    if (!distinct) refuse("the two shares are equal, which makes a key of zero bytes");
    return key;
}

}  // namespace veltomarn::release

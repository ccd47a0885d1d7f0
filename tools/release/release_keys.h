#pragma once

// The release signing key on the publisher's side: loading it with the shape the bootstrap
// demands, signing, and making new keys.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "core/sha256.h"

namespace veltomarn::release {

inline constexpr int kReleaseKeyBits = 3072;
inline constexpr std::size_t kPayloadKeyShareBytes = 32;

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const;
};
using KeyPointer = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// The private key in PEM file `path` (PKCS #8 or traditional). An encrypted one takes its
// passphrase from the environment variable VELTOMARN_KEY_PASSPHRASE, or else from the first line
// of the file that VELTOMARN_KEY_PASSPHRASE_FILE names, or else asks for it on the terminal. It
// must be an RSA key with a 3072-bit modulus and a 3-byte public exponent, the only shape the
// bootstrap imports. Throws ToolError (2) naming the path and what is wrong ("this is a public
// key", "wrong passphrase").
KeyPointer LoadPrivateKey(const std::string& path);

// The public key in PEM file `path` ("BEGIN PUBLIC KEY"), with the same shape rules, as the
// 411-byte CNG RSA public key blob the bootstrap builds from its compiled-in key. Throws
// ToolError (2).
std::vector<uint8_t> LoadPublicKeyBlob(const std::string& path);

// The 411-byte CNG RSA public key blob of a key's public half.
std::vector<uint8_t> PublicKeyBlob(const EVP_PKEY* key);

// The 384-byte RSA PKCS #1 v1.5 signature of SHA-256 digest `digest` with `key`. Throws ToolError.
std::vector<uint8_t> SignDigest(EVP_PKEY* key, const Sha256Digest& digest);

// A freshly generated RSA-3072 key with exponent 65537.
KeyPointer GenerateReleaseKey();

// The passphrase for a new encrypted key, from where LoadPrivateKey takes one: the environment
// (VELTOMARN_KEY_PASSPHRASE, or the first line of the file VELTOMARN_KEY_PASSPHRASE_FILE names,
// which group and others must not read), or else asked twice on the terminal. The caller wipes
// it. Throws ToolError (2) for none, two entries that differ or no terminal; 130 for Ctrl-C.
std::vector<uint8_t> NewKeyPassphrase();

// PEM texts: the private key as PKCS #8, unencrypted ("BEGIN PRIVATE KEY") or, with a
// `passphrase`, encrypted ("BEGIN ENCRYPTED PRIVATE KEY": PBES2, AES-256-CBC under a key from
// PBKDF2-HMAC-SHA256 with a random salt); the public key as SubjectPublicKeyInfo ("BEGIN PUBLIC
// KEY"). The private key's text is made in the one buffer returned, and every buffer it passed
// through on the way was wiped: the caller wipes the result.
std::vector<uint8_t> PrivateKeyPem(EVP_PKEY* key, const std::vector<uint8_t>* passphrase);
std::vector<uint8_t> PublicKeyPem(EVP_PKEY* key);

// Two lines of 64 lower-case hex digits, each ended by LF: two independent 32-byte shares from
// the system's random generator, whose XOR is the AES-256 payload key. Written straight into the
// one buffer returned, which the caller wipes; the random bytes are wiped.
std::vector<uint8_t> NewPayloadKeyShares();

// The AES-256 payload key, wiped when it goes away.
class PayloadKeyMaterial {
  public:
    PayloadKeyMaterial() = default;
    PayloadKeyMaterial(const PayloadKeyMaterial& other) = default;
    PayloadKeyMaterial& operator=(const PayloadKeyMaterial& other) = default;
    ~PayloadKeyMaterial();

    std::array<uint8_t, 32>& bytes() { return bytes_; }
    const std::array<uint8_t, 32>& bytes() const { return bytes_; }
    // The two shares it was formed from, as a bootstrap built from them stores them.
    std::array<std::array<uint8_t, 32>, 2>& shares() { return shares_; }
    const std::array<std::array<uint8_t, 32>, 2>& shares() const { return shares_; }
    // Compares in constant time.
    bool operator==(const PayloadKeyMaterial& other) const;

  private:
    std::array<uint8_t, 32> bytes_{};
    std::array<std::array<uint8_t, 32>, 2> shares_{};
};

// The payload key formed from the shares file `path` as the bootstrap's build forms it: the
// byte-wise XOR of two shares, each a line of exactly 64 lower-case hex digits ended by LF (the
// LF after the second line may be missing), nothing else in the file. Two equal shares (a key of
// zero bytes) are refused. Throws ToolError (2) naming the path; never shows the key.
PayloadKeyMaterial LoadPayloadKey(const std::string& path);

// The key of shares text `text`, with the rules of LoadPayloadKey; `shown` names it in messages.
PayloadKeyMaterial ParsePayloadKeyShares(std::string_view text, const std::string& shown);

}  // namespace veltomarn::release

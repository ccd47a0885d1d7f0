#pragma once

// The seam's crypto part on Linux, for the release tool: the CNG calls the package check makes
// (SHA-256, RSA public-key import and PKCS #1 v1.5 verification, AES-GCM decryption) answered as
// Windows answers them, with OpenSSL's libcrypto doing the arithmetic, and wiping through
// OPENSSL_cleanse.
//
// What is emulated:
// - Providers "SHA256" and "RSA" (no implementation name, or "Microsoft Primitive Provider"; no
//   flags). Any other algorithm: STATUS_NOT_FOUND; the HMAC flag: STATUS_NOT_SUPPORTED.
// - BCryptGetProperty: "ObjectLength" (286 by default, Wine's value), "HashDigestLength" (32),
//   "HashBlockLength" (64), "AlgorithmName"; a null output is a size query.
// - SHA-256 hash objects, reusable or not. The state lives here; when the caller passes a hash
//   object buffer of 16 bytes or more, a marker is written at its start and checked at every
//   later use, so a buffer released or overwritten while its hash is alive is noticed
//   (STATUS_INVALID_HANDLE), as a real provider would trip over it.
// - "RSAPUBLICBLOB" import (BCRYPT_RSAKEY_BLOB with magic "RSA1", no primes) and verification
//   with BCRYPT_PAD_PKCS1 over SHA1, SHA256, SHA384 or SHA512 (the hash named in the padding
//   record); a signature that does not verify: STATUS_INVALID_SIGNATURE.
// - Provider "AES" with "ChainingMode" set to "ChainingModeGCM" (the only mode emulated), keys of
//   16, 24 or 32 bytes, and authenticated decryption with a 12-byte nonce and a 16-byte tag. As
//   Windows does, the plaintext is written to the output before the tag is checked, so a caller
//   that does not wipe its buffer after STATUS_AUTH_TAG_MISMATCH keeps unauthenticated bytes.
//
// Handles are small numbers, never addresses, so a stale or foreign handle is refused
// (STATUS_INVALID_HANDLE) instead of being dereferenced. One thread uses an instance.

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/crypto.h"

namespace veltomarn {

namespace cng {
inline constexpr NtStatus kStatusSuccess = 0;
inline constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);
inline constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);
inline constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
inline constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023);
inline constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);
inline constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);
inline constexpr NtStatus kStatusInvalidSignature = static_cast<NtStatus>(0xC000A000);
inline constexpr NtStatus kStatusAuthTagMismatch = static_cast<NtStatus>(0xC000A002);

inline constexpr uint32_t kPadPkcs1 = 2;
}  // namespace cng

// An OpenSSL RSA public key made from a BCRYPT_RSAKEY_BLOB with magic "RSA1" and no primes, or
// null when the blob is malformed (sizes that disagree, a missing exponent or modulus). The caller
// frees it with EVP_PKEY_free.
EVP_PKEY* RsaPublicKeyFromBlob(const uint8_t* blob, uint32_t size);

// The BCRYPT_RSAKEY_BLOB ("RSA1", bit length, exponent and modulus big-endian at their shortest,
// no primes) of the public half of RSA key `key`; empty when `key` is not an RSA key.
std::vector<uint8_t> RsaPublicBlobFromKey(const EVP_PKEY* key);

class OpensslCng final : public Crypto {
  public:
    OpensslCng();
    ~OpensslCng() override;
    OpensslCng(const OpensslCng&) = delete;
    OpensslCng& operator=(const OpensslCng&) = delete;

    // The "ObjectLength" that the SHA-256 provider reports from now on.
    void SetHashObjectLength(uint32_t length) { hashObjectLength_ = length; }
    // How a progress line follows a long check.
    void SetWorkMeter(std::function<void(uint64_t)> meter) override { meter_ = std::move(meter); }
    // Providers, hash objects and keys made and not yet closed or destroyed.
    std::size_t LiveObjects() const { return objects_.size(); }

    void RtlSecureZeroMemory(void* memory, std::size_t size) override;
    NtStatus BCryptOpenAlgorithmProvider(CngHandle* algorithm, const WideChar* algorithmId,
                                         const WideChar* implementation, uint32_t flags) override;
    NtStatus BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) override;
    NtStatus BCryptGetProperty(CngHandle object, const WideChar* property, uint8_t* output,
                               uint32_t outputSize, uint32_t* resultSize, uint32_t flags) override;
    NtStatus BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                              uint32_t hashObjectSize, const uint8_t* secret, uint32_t secretSize,
                              uint32_t flags) override;
    NtStatus BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                            uint32_t flags) override;
    NtStatus BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                              uint32_t flags) override;
    NtStatus BCryptDestroyHash(CngHandle hash) override;
    NtStatus BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey, const WideChar* blobType,
                                 CngHandle* key, const uint8_t* input, uint32_t inputSize,
                                 uint32_t flags) override;
    NtStatus BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                   const uint8_t* hash, uint32_t hashSize, const uint8_t* signature,
                                   uint32_t signatureSize, uint32_t flags) override;
    NtStatus BCryptDestroyKey(CngHandle key) override;
    NtStatus BCryptSetProperty(CngHandle object, const WideChar* property, const uint8_t* input,
                               uint32_t inputSize, uint32_t flags) override;
    NtStatus BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key, uint8_t* keyObject,
                                        uint32_t keyObjectSize, const uint8_t* secret,
                                        uint32_t secretSize, uint32_t flags) override;
    // The system-preferred generator only (no algorithm handle, flag 2).
    NtStatus BCryptGenRandom(CngHandle algorithm, uint8_t* buffer, uint32_t size,
                             uint32_t flags) override;
    NtStatus BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                           const AuthenticatedCipherInfo* authenticatedInfo, uint8_t* iv,
                           uint32_t ivSize, uint8_t* output, uint32_t outputSize, uint32_t* result,
                           uint32_t flags) override;

    // The "ObjectLength" that the AES provider reports from now on.
    void SetKeyObjectLength(uint32_t length) { keyObjectLength_ = length; }

  private:
    struct Object;
    // A provider (`hash` false) or a hash object (`hash` true), never a key; null otherwise.
    Object* Find(CngHandle handle, bool hash);
    CngHandle Add(std::unique_ptr<Object> object);

    std::map<CngHandle, std::unique_ptr<Object>> objects_;
    uintptr_t next_ = 0x7000;
    uint32_t hashObjectLength_ = 286;
    uint32_t keyObjectLength_ = 654;
    std::function<void(uint64_t)> meter_;
};

}  // namespace veltomarn

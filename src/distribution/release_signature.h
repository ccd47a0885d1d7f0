#pragma once

// The detached signature "RELEASE.sig" over the release inventory.

#include <cstdint>
#include <vector>

#include "platform/crypto.h"

namespace veltomarn {

inline constexpr uint32_t kSignatureBytes = 384;
inline constexpr uint32_t kReleaseKeyBlobBytes = 411;

// The compiled-in release key as a CNG RSA public key blob (24-byte header "RSA1", 3072 bits,
// 3-byte exponent, 384-byte modulus, no primes).
std::vector<uint8_t> ReleaseKeyBlob();

// Proves that `signature` is the release key's RSA PKCS #1 v1.5 signature over the SHA-256 of
// every byte of `inventory`. The release key is the compiled-in one unless `releaseKeyBlob` names
// another RSA public key blob (the publisher's tool checks a package against the key it is given);
// the blob is handed to the provider as it is. Throws "SIGNATURE_SIZE", the SHA-256 codes
// ("HASH_PROVIDER", "HASH_PROPERTY", "HASH_CREATE", "HASH_READ", "HASH_FINISH"),
// "SIGNATURE_PROVIDER", "SIGNATURE_INVALID" (the key is refused, or the signature does not
// verify).
void VerifyReleaseSignature(Crypto& crypto, const std::vector<uint8_t>& inventory,
                            const std::vector<uint8_t>& signature,
                            const std::vector<uint8_t>& releaseKeyBlob = ReleaseKeyBlob());

}  // namespace veltomarn

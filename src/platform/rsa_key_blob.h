#pragma once

// The CNG RSA public key blob (BCRYPT_RSAKEY_BLOB with magic "RSA1", the "RSAPUBLICBLOB" that
// BCryptImportKeyPair takes): the form the release key is handed to a crypto provider in. A header
// of six little-endian 32-bit fields (magic, bit length, exponent bytes, modulus bytes, and two
// prime sizes that a public blob leaves 0), then the exponent and the modulus, big-endian.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/byte_cursor.h"

namespace veltomarn {

inline constexpr uint32_t kRsaPublicMagic = 0x31415352;  // "RSA1"
inline constexpr std::size_t kRsaKeyBlobHeaderBytes = 24;
static_assert(6 * sizeof(uint32_t) == kRsaKeyBlobHeaderBytes);

// The blob of the public key with a `bits`-bit modulus `modulus` and exponent `exponent`, both
// big-endian and taken as they are.
inline std::vector<uint8_t> EncodeRsaPublicBlob(uint32_t bits, std::span<const uint8_t> exponent,
                                                std::span<const uint8_t> modulus) {
    std::vector<uint8_t> blob;
    blob.reserve(kRsaKeyBlobHeaderBytes + exponent.size() + modulus.size());
    ByteWriter fields(blob);
    fields.Put<uint32_t>(kRsaPublicMagic);
    fields.Put<uint32_t>(bits);
    fields.Put<uint32_t>(exponent.size());
    fields.Put<uint32_t>(modulus.size());
    fields.Put<uint32_t>(0);  // no primes
    fields.Put<uint32_t>(0);
    fields.PutBytes(exponent);
    fields.PutBytes(modulus);
    return blob;
}

// The exponent and the modulus a public blob holds, big-endian, as spans into the blob.
struct RsaPublicKeyParts {
    std::span<const uint8_t> exponent;
    std::span<const uint8_t> modulus;
};

// The parts of `blob`, or nothing when it is not exactly a public blob: shorter than the header,
// another magic, a prime size that is not 0, an empty exponent or modulus, a bit length that does
// not fit the modulus's size, or sizes that do not add up to the blob's.
inline std::optional<RsaPublicKeyParts> DecodeRsaPublicBlob(std::span<const uint8_t> blob) {
    if (blob.size() < kRsaKeyBlobHeaderBytes) return std::nullopt;
    ByteReader fields(blob);
    const uint32_t magic = fields.Read<uint32_t>();
    const uint32_t bits = fields.Read<uint32_t>();
    const uint32_t exponentBytes = fields.Read<uint32_t>();
    const uint32_t modulusBytes = fields.Read<uint32_t>();
    const uint32_t prime1 = fields.Read<uint32_t>();
    const uint32_t prime2 = fields.Read<uint32_t>();
    if (magic != kRsaPublicMagic || prime1 != 0 || prime2 != 0 || exponentBytes == 0 ||
        modulusBytes == 0 || (uint64_t{bits} + 7) / 8 != modulusBytes ||
        uint64_t{kRsaKeyBlobHeaderBytes} + exponentBytes + modulusBytes != blob.size()) {
        return std::nullopt;
    }
    const std::span<const uint8_t> exponent = fields.Bytes(exponentBytes);
    return RsaPublicKeyParts{exponent, fields.Bytes(modulusBytes)};
}

}  // namespace veltomarn

// ReleaseKeyBlob, apart from the signature check: only builds with the key inputs compile it (the
// release tool alone, VELTOMARN_TOOL_ONLY, is always handed its key).
#include "distribution/release_signature.h"

#include <release_key.h>

namespace veltomarn {
namespace {

constexpr uint32_t kRsaPublicMagic = 0x31415352;  // "RSA1"

void PutLittleEndian32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

std::vector<uint8_t> ReleaseKeyBlob() {
    std::vector<uint8_t> blob;
    blob.reserve(kReleaseKeyBlobBytes);
    PutLittleEndian32(blob, kRsaPublicMagic);
    PutLittleEndian32(blob, 3072);                        // BitLength
    PutLittleEndian32(blob, sizeof kReleaseKeyExponent);  // cbPublicExp
    PutLittleEndian32(blob, sizeof kReleaseKeyModulus);   // cbModulus
    PutLittleEndian32(blob, 0);                           // cbPrime1
    PutLittleEndian32(blob, 0);                           // cbPrime2
    blob.insert(blob.end(), std::begin(kReleaseKeyExponent), std::end(kReleaseKeyExponent));
    blob.insert(blob.end(), std::begin(kReleaseKeyModulus), std::end(kReleaseKeyModulus));
    return blob;
}

}  // namespace veltomarn

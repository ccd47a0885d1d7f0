// ReleaseKeyBlob, apart from the signature check: only builds with the key inputs compile it (the
// release tool alone, VELTOMARN_TOOL_ONLY, is always handed its key).
#include "distribution/release_signature.h"

#include <release_key.h>

#include "platform/rsa_key_blob.h"

namespace veltomarn {

static_assert(kRsaKeyBlobHeaderBytes + sizeof kReleaseKeyExponent + sizeof kReleaseKeyModulus ==
              kReleaseKeyBlobBytes);

std::vector<uint8_t> ReleaseKeyBlob() {
    return EncodeRsaPublicBlob(3072, kReleaseKeyExponent, kReleaseKeyModulus);
}

}  // namespace veltomarn

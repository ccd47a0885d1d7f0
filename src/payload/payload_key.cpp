// CompiledInPayloadKey, apart from the unsealing: only builds with the key inputs compile it (the
// release tool alone, VELTOMARN_TOOL_ONLY, forms its key from the shares it is given).
#include "payload/unseal.h"

#include <payload_key.h>

namespace veltomarn {

void CompiledInPayloadKey(SecureBuffer& key) {
    key.Resize(kPayloadKeyBytes);
    for (std::size_t i = 0; i < kPayloadKeyBytes; ++i) {
        key.data()[i] = static_cast<uint8_t>(kPayloadKeyShareA[i] ^ kPayloadKeyShareB[i]);
    }
}

}  // namespace veltomarn

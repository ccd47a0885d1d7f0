#pragma once

// Bytes as text: digests, session names, key shares.

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltomarn {

// `size` bytes as lower-case hex text, two digits a byte.
inline std::string HexText(const uint8_t* bytes, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t k = 0; k < size; ++k) {
        text.push_back(kHex[bytes[k] >> 4]);
        text.push_back(kHex[bytes[k] & 0x0F]);
    }
    return text;
}

}  // namespace veltomarn

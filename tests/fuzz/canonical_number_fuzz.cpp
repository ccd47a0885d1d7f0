// Arbitrary text and maximum (the first 8 bytes) for the canonical number parser. Its verdict must
// match a plain reading of the grammar, and an accepted value must lie within the maximum and be
// spelled exactly as DecimalText writes it.

#include <cstring>

#include "bootstrap/decimal_text.h"
#include "core/canonical_number.h"
#include "core/failure.h"

#define REQUIRE(ok) ((ok) ? void() : __builtin_trap())

// The leading-zero rule first, then whichever comes first of a non-digit and the digits read so
// far passing the maximum; nullptr when the text is accepted.
static const char* ExpectedCode(const std::string& text, uint64_t maximum) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return "NONCANONICAL_NUMBER";
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return "INVALID_NUMBER";
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value) ||
            value > maximum) {
            return "NUMBER_LIMIT";
        }
    }
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint64_t maximum = UINT64_MAX;
    if (size >= 8) std::memcpy(&maximum, data, 8);
    const std::size_t skip = size >= 8 ? 8 : 0;
    const std::string text(reinterpret_cast<const char*>(data) + skip, size - skip);
    const char* expected = ExpectedCode(text, maximum);
    try {
        const uint64_t value = veltomarn::ParseCanonicalNumber(text, maximum);
        REQUIRE(expected == nullptr && value <= maximum && veltomarn::DecimalText(value) == text);
    } catch (const veltomarn::Failure& failure) {
        REQUIRE(expected != nullptr && std::strcmp(failure.code(), expected) == 0);
    }
    return 0;
}

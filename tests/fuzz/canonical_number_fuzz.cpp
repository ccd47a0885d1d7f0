// Feeds arbitrary text and maxima to the canonical number parser. The first 8 bytes, when present,
// are the maximum (little-endian); the rest is the text. Only Failure with one of the parser's own
// codes may come out, and the verdict must match a plain reading of the grammar: an accepted value
// lies within the maximum and is spelled exactly as its canonical text.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "bootstrap/decimal_text.h"
#include "core/canonical_number.h"
#include "core/failure.h"

namespace {

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code the text deserves, or nullptr when it should be accepted: the leading-zero rule first,
// then whichever comes first of a non-digit and the run of digits before it passing the maximum.
// The digits before the first non-digit only grow as a value, so that run passes the maximum
// exactly when some prefix of it does.
const char* ExpectedCode(const std::string& text, uint64_t maximum) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return "NONCANONICAL_NUMBER";
    uint64_t value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) return "INVALID_NUMBER";
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value) ||
            value > maximum) {
            return "NUMBER_LIMIT";
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint64_t maximum = std::numeric_limits<uint64_t>::max();
    if (size >= 8) {
        maximum = 0;
        for (int i = 7; i >= 0; --i) maximum = (maximum << 8) | data[i];
        data += 8;
        size -= 8;
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* expected = ExpectedCode(text, maximum);
    try {
        const uint64_t value = veltomarn::ParseCanonicalNumber(text, maximum);
        Require(expected == nullptr);
        Require(value <= maximum);
        Require(veltomarn::DecimalText(value) == text);
    } catch (const veltomarn::Failure& failure) {
        Require(expected != nullptr && std::strcmp(failure.what(), expected) == 0);
    }
    return 0;
}

#include "core/canonical_number.h"

#include "core/failure.h"

namespace veltomarn {

uint64_t ParseCanonicalNumber(const std::string& text, uint64_t maximum) {
    check(!text.empty(), "NONCANONICAL_NUMBER");
    check(text.size() == 1 || text.front() != '0', "NONCANONICAL_NUMBER");
    const uint64_t quotient = maximum / 10;
    const uint64_t remainder = maximum % 10;
    uint64_t value = 0;
    for (const char c : text) {
        check(c >= '0' && c <= '9', "INVALID_NUMBER");
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        // Compared against maximum / 10 first, so the test itself never overflows.
        check(value < quotient || (value == quotient && digit <= remainder), "NUMBER_LIMIT");
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace veltomarn

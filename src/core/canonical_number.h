#pragma once

// Canonical unsigned decimal numbers, as the signed release inventory writes them.

#include <cstdint>
#include <string>

namespace veltomarn {

// Parses `text` as "0" or a digit 1-9 followed by digits, with a value of at most `maximum`
// (inclusive). Exactly one spelling is accepted for each value.
// Throws: "NONCANONICAL_NUMBER" (empty, or a leading zero), "INVALID_NUMBER" (a non-digit reached
// first), "NUMBER_LIMIT" (the value would pass `maximum`; the first offending byte decides).
uint64_t ParseCanonicalNumber(const std::string& text, uint64_t maximum);

}  // namespace veltomarn

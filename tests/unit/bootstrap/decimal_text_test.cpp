#include "bootstrap/decimal_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace veltomarn::test {
namespace {

// Around every power of ten, and at both ends of the range, the text is what the standard library
// writes: most significant digit first, no leading zero, "0" for zero.
TEST(DecimalTextTest, MatchesStandardFormatting) {
    std::vector<uint64_t> values = {0, UINT64_MAX};
    for (uint64_t power = 1; power != 0; power = power > UINT64_MAX / 10 ? 0 : power * 10) {
        for (const uint64_t v : {power - 1, power, power + 1, power << 3, power << 3 | 7}) {
            values.push_back(v);
        }
    }
    for (const uint64_t v : values) EXPECT_EQ(DecimalText(v), std::to_string(v)) << v;
}

}  // namespace
}  // namespace veltomarn::test

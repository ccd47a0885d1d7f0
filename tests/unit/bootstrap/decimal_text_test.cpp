#include "bootstrap/decimal_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace veltomarn::test {
namespace {

struct TextCase {
    std::string name;
    uint64_t value;
    std::string text;
};

const std::vector<TextCase> kCases = {
    {"zero_is_one_digit", 0, "0"},          {"largest_single_digit", 9, "9"},
    {"carry_into_second_digit", 10, "10"},  {"inner_zeros_kept", 1000, "1000"},
    {"most_significant_first", 120, "120"}, {"uint64_max", UINT64_MAX, "18446744073709551615"},
};

class DecimalTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(DecimalTextTest, WritesCanonicalDigits) {
    EXPECT_EQ(DecimalText(GetParam().value), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Values, DecimalTextTest, ::testing::ValuesIn(kCases), CaseName<TextCase>);

// Around every power of ten and of two, the text is what the standard library writes.
TEST(DecimalTextPowers, MatchesStandardFormatting) {
    for (uint64_t power = 1; power != 0; power = power > UINT64_MAX / 10 ? 0 : power * 10) {
        for (const uint64_t v : {power - 1, power, power + 1, power << 3, power << 3 | 7}) {
            EXPECT_EQ(DecimalText(v), std::to_string(v)) << "value " << v;
        }
    }
}

}  // namespace
}  // namespace veltomarn::test

#include "core/canonical_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace veltomarn::test {
namespace {

constexpr uint64_t kSequenceMax = 9223372036854775807u;
constexpr uint64_t kSizeMax = 4294967296u;

struct NumberCase {
    std::string name;
    std::string text;
    uint64_t maximum;
    std::string code;  // "" when accepted
    uint64_t value = 0;
};

const std::vector<NumberCase> kCases = {
    {"zero", "0", 0, "", 0},
    {"every_digit", "1234567890", UINT64_MAX, "", 1234567890},
    {"empty", "", UINT64_MAX, "NONCANONICAL_NUMBER"},
    {"leading_zero", "01", UINT64_MAX, "NONCANONICAL_NUMBER"},
    {"leading_zero_before_letter", "0x1", UINT64_MAX, "NONCANONICAL_NUMBER"},
    {"leading_zero_before_limit", "09999", 512, "NONCANONICAL_NUMBER"},
    {"negative_sign", "-1", UINT64_MAX, "INVALID_NUMBER"},
    {"byte_below_zero_digit", "1/", UINT64_MAX, "INVALID_NUMBER"},
    {"byte_above_nine_digit", "1:", UINT64_MAX, "INVALID_NUMBER"},
    {"embedded_nul", std::string("1\0", 2), UINT64_MAX, "INVALID_NUMBER"},
    {"wraps_to_zero", "36893488147419103232", UINT64_MAX, "NUMBER_LIMIT"},
    {"maximum_zero_refuses_one", "1", 0, "NUMBER_LIMIT"},
    {"limit_passed_before_letter", "513x", 512, "NUMBER_LIMIT"},
    {"letter_before_limit_passed", "51x", 512, "INVALID_NUMBER"},
    {"letter_right_after_maximum", "512x", 512, "INVALID_NUMBER"},
};

class CanonicalNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(CanonicalNumberTest, GivesExactVerdict) {
    const NumberCase& c = GetParam();
    uint64_t value = 0;
    EXPECT_EQ(FailureCode([&] { value = ParseCanonicalNumber(c.text, c.maximum); }), c.code);
    EXPECT_EQ(value, c.value);
}
INSTANTIATE_TEST_SUITE_P(Texts, CanonicalNumberTest, ::testing::ValuesIn(kCases),
                         CaseName<NumberCase>);

// The product's limits, and maxima of every length ending in every digit: each maximum and the
// value below it pass, the value above it and the maximum with a digit appended do not.
TEST(CanonicalNumberLimits, MaximumIsInclusive) {
    std::vector<uint64_t> maxima = {1, 512, kSizeMax, kSequenceMax, UINT64_MAX - 1, UINT64_MAX};
    for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
        for (uint64_t digit = 0; digit <= 9; ++digit) maxima.push_back(power * 10 + digit);
    }
    for (const uint64_t maximum : maxima) {
        const std::string text = std::to_string(maximum);
        EXPECT_EQ(ParseCanonicalNumber(text, maximum), maximum);
        EXPECT_EQ(ParseCanonicalNumber(std::to_string(maximum - 1), maximum), maximum - 1);
        for (const std::string& over : {std::to_string(maximum + 1), text + "0", text + "9"}) {
            if (over == "0") continue;  // UINT64_MAX + 1
            EXPECT_EQ(FailureCode([&] { ParseCanonicalNumber(over, maximum); }), "NUMBER_LIMIT")
                << "maximum " << maximum << " text " << over;
        }
    }
}

}  // namespace
}  // namespace veltomarn::test

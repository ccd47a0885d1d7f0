#include "bootstrap/decimal_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/canonical_number.h"
#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr uint64_t kAll = std::numeric_limits<uint64_t>::max();

struct TextCase {
    std::string name;
    uint64_t value;
    std::string expected;
};

class DecimalTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(DecimalTextTest, WritesDigitsMostSignificantFirst) {
    EXPECT_EQ(DecimalText(GetParam().value), GetParam().expected);
}

const std::vector<TextCase> kTextCases = {
    {"zero", 0, "0"},
    {"largest_single_digit", 9, "9"},
    {"smallest_two_digits", 10, "10"},
    {"inner_zeros", 1000, "1000"},
    {"not_a_palindrome", 120, "120"},
    {"uint64_max", kAll, "18446744073709551615"},
};
INSTANTIATE_TEST_SUITE_P(Table, DecimalTextTest, testing::ValuesIn(kTextCases),
                         [](const testing::TestParamInfo<TextCase>& info) {
                             return info.param.name;
                         });

// A fixed 64-bit mixing sequence (splitmix64), so every run checks the same values.
uint64_t NextPseudoRandom(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::vector<uint64_t> RoundTripValues() {
    std::vector<uint64_t> values = {0, 1, kAll - 1, kAll};
    for (uint64_t power = 1;; power *= 10) {
        values.insert(values.end(), {power - 1, power, power + 1});
        if (power > kAll / 10) break;
    }
    for (int shift = 0; shift < 64; ++shift) {
        const uint64_t power = uint64_t{1} << shift;
        values.insert(values.end(), {power - 1, power, power + 1});
    }
    uint64_t state = 0x5EED;
    for (int i = 0; i < 4000; ++i) {
        const uint64_t raw = NextPseudoRandom(state);
        // Shifted by a varying amount so that every length of text is well represented.
        values.push_back(raw >> (i % 64));
    }
    return values;
}

TEST(DecimalTextRoundTrip, ParsesBackToTheSameValue) {
    const std::vector<uint64_t> values = RoundTripValues();
    ASSERT_GT(values.size(), 4000u);
    for (const uint64_t value : values) {
        const std::string text = DecimalText(value);
        try {
            ASSERT_EQ(ParseCanonicalNumber(text, kAll), value) << "text \"" << text << '"';
        } catch (const Failure& failure) {
            FAIL() << "value " << value << " gave text \"" << text << "\", refused with "
                   << failure.what();
        }
    }
}

}  // namespace
}  // namespace veltomarn

#include "core/canonical_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr uint64_t kSequenceMaximum = 9223372036854775807u;  // 2^63 - 1
constexpr uint64_t kFileCountMaximum = 512;
constexpr uint64_t kFileSizeMaximum = 4294967296u;  // 2^32: a file of exactly 4 GiB
constexpr uint64_t kAll = std::numeric_limits<uint64_t>::max();

constexpr const char* kAccepted = "ACCEPTED";

struct Verdict {
    std::string code;  // a failure code, or kAccepted
    uint64_t value = 0;
};

Verdict Parse(const std::string& text, uint64_t maximum) {
    try {
        return {kAccepted, ParseCanonicalNumber(text, maximum)};
    } catch (const Failure& failure) {
        return {failure.what(), 0};
    }
}

struct NumberCase {
    std::string name;
    std::string text;
    uint64_t maximum;
    std::string expected;  // a failure code, or kAccepted
    uint64_t value;        // the result when accepted
};

NumberCase Accepts(std::string name, std::string text, uint64_t maximum, uint64_t value) {
    return {std::move(name), std::move(text), maximum, kAccepted, value};
}

NumberCase Refuses(std::string name, std::string text, uint64_t maximum, std::string code) {
    return {std::move(name), std::move(text), maximum, std::move(code), 0};
}

class ParseCanonicalNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseCanonicalNumberTest, GivesExpectedVerdict) {
    const NumberCase& c = GetParam();
    const Verdict verdict = Parse(c.text, c.maximum);
    EXPECT_EQ(verdict.code, c.expected) << "text \"" << c.text << "\", maximum " << c.maximum;
    if (c.expected == kAccepted) {
        EXPECT_EQ(verdict.value, c.value) << "text \"" << c.text << '"';
    }
}

std::string CaseName(const testing::TestParamInfo<NumberCase>& info) {
    return info.param.name;
}

const std::vector<NumberCase> kSpellingCases = {
    Accepts("zero_maximum_zero", "0", 0, 0),
    Accepts("zero_maximum_one", "0", 1, 0),
    Accepts("zero_file_count", "0", kFileCountMaximum, 0),
    Accepts("zero_maximum_all", "0", kAll, 0),
    Accepts("single_digit", "7", kAll, 7),
    Accepts("trailing_zeros_kept", "1000", kAll, 1000),
    Refuses("empty", "", kAll, "NONCANONICAL_NUMBER"),
    Refuses("empty_maximum_zero", "", 0, "NONCANONICAL_NUMBER"),
    Refuses("double_zero", "00", kAll, "NONCANONICAL_NUMBER"),
    Refuses("leading_zero", "01", kAll, "NONCANONICAL_NUMBER"),
    Refuses("many_leading_zeros", "0000000000000000000000001", kAll, "NONCANONICAL_NUMBER"),
    Refuses("hex_prefix", "0x1", kAll, "NONCANONICAL_NUMBER"),
    Refuses("octal_style", "017", kAll, "NONCANONICAL_NUMBER"),
    Refuses("zero_then_letter", "0a", kAll, "NONCANONICAL_NUMBER"),
    Refuses("zero_then_space", "0 ", kAll, "NONCANONICAL_NUMBER"),
    Refuses("leading_zero_over_maximum_zero", "01", 0, "NONCANONICAL_NUMBER"),
    Refuses("negative", "-1", kAll, "INVALID_NUMBER"),
    Refuses("negative_zero", "-0", kAll, "INVALID_NUMBER"),
    Refuses("plus_sign", "+1", kAll, "INVALID_NUMBER"),
    Refuses("exponent", "1e3", kAll, "INVALID_NUMBER"),
    Refuses("trailing_space", "1 ", kAll, "INVALID_NUMBER"),
    Refuses("leading_space", " 1", kAll, "INVALID_NUMBER"),
    Refuses("trailing_newline", "1\n", kAll, "INVALID_NUMBER"),
    Refuses("thousands_comma", "1,000", kAll, "INVALID_NUMBER"),
    Refuses("digit_separator", "1_000", kAll, "INVALID_NUMBER"),
    Refuses("decimal_point", "1.0", kAll, "INVALID_NUMBER"),
    Refuses("embedded_nul",
            std::string("1\0"
                        "2",
                        3),
            kAll, "INVALID_NUMBER"),
    Refuses("trailing_nul", std::string("5\0", 2), kAll, "INVALID_NUMBER"),
    Refuses("byte_below_zero_digit", "1/", kAll, "INVALID_NUMBER"),
    Refuses("byte_above_nine_digit", "1:", kAll, "INVALID_NUMBER"),
    Refuses("lone_letter", "x", kAll, "INVALID_NUMBER"),
    Refuses("fullwidth_digit", "\xef\xbc\x91", kAll, "INVALID_NUMBER"),
    Refuses("high_bit_digit", "\xb1", kAll, "INVALID_NUMBER"),
};
INSTANTIATE_TEST_SUITE_P(Spelling, ParseCanonicalNumberTest, testing::ValuesIn(kSpellingCases),
                         CaseName);

const std::vector<NumberCase> kLimitCases = {
    Accepts("file_count_at_limit", "512", kFileCountMaximum, 512),
    Accepts("file_count_below_limit", "511", kFileCountMaximum, 511),
    Accepts("file_count_two_digits", "99", kFileCountMaximum, 99),
    Refuses("file_count_one_over", "513", kFileCountMaximum, "NUMBER_LIMIT"),
    Refuses("file_count_higher_tens", "520", kFileCountMaximum, "NUMBER_LIMIT"),
    Refuses("file_count_higher_hundreds", "600", kFileCountMaximum, "NUMBER_LIMIT"),
    Refuses("file_count_four_digits", "1000", kFileCountMaximum, "NUMBER_LIMIT"),
    Refuses("file_count_appended_zero", "5120", kFileCountMaximum, "NUMBER_LIMIT"),
    Accepts("file_size_at_limit", "4294967296", kFileSizeMaximum, 4294967296u),
    Accepts("file_size_uint32_max", "4294967295", kFileSizeMaximum, 4294967295u),
    Refuses("file_size_one_over", "4294967297", kFileSizeMaximum, "NUMBER_LIMIT"),
    Refuses("file_size_higher_tens", "4294967300", kFileSizeMaximum, "NUMBER_LIMIT"),
    Refuses("file_size_eleven_digits", "42949672960", kFileSizeMaximum, "NUMBER_LIMIT"),
    Accepts("sequence_at_limit", "9223372036854775807", kSequenceMaximum, kSequenceMaximum),
    Accepts("sequence_below_limit", "9223372036854775806", kSequenceMaximum, kSequenceMaximum - 1),
    Accepts("sequence_eighteen_digits", "922337203685477580", kSequenceMaximum,
            922337203685477580u),
    Refuses("sequence_one_over", "9223372036854775808", kSequenceMaximum, "NUMBER_LIMIT"),
    Refuses("sequence_twenty_digits_smallest", "10000000000000000000", kSequenceMaximum,
            "NUMBER_LIMIT"),
    Refuses("sequence_twenty_digits_largest", "99999999999999999999", kSequenceMaximum,
            "NUMBER_LIMIT"),
    Refuses("sequence_uint64_max", "18446744073709551615", kSequenceMaximum, "NUMBER_LIMIT"),
    Accepts("maximum_zero_zero", "0", 0, 0),
    Refuses("maximum_zero_one", "1", 0, "NUMBER_LIMIT"),
    Refuses("maximum_zero_nine", "9", 0, "NUMBER_LIMIT"),
    Refuses("maximum_zero_ten", "10", 0, "NUMBER_LIMIT"),
    Accepts("maximum_nine_nine", "9", 9, 9),
    Refuses("maximum_nine_ten", "10", 9, "NUMBER_LIMIT"),
    Accepts("maximum_ten_ten", "10", 10, 10),
    Accepts("maximum_ten_nine", "9", 10, 9),
    Refuses("maximum_ten_eleven", "11", 10, "NUMBER_LIMIT"),
    Accepts("all_at_limit", "18446744073709551615", kAll, kAll),
    Accepts("all_below_limit", "18446744073709551614", kAll, kAll - 1),
    Refuses("all_one_over", "18446744073709551616", kAll, "NUMBER_LIMIT"),
    Refuses("all_higher_last_two_digits", "18446744073709551620", kAll, "NUMBER_LIMIT"),
    Refuses("all_twenty_nines", "99999999999999999999", kAll, "NUMBER_LIMIT"),
    Refuses("all_wraps_to_zero", "36893488147419103232", kAll, "NUMBER_LIMIT"),  // 2^65
    Refuses("all_twenty_one_digits", "184467440737095516150", kAll, "NUMBER_LIMIT"),
    Refuses("all_forty_digits", std::string(40, '9'), kAll, "NUMBER_LIMIT"),
};
INSTANTIATE_TEST_SUITE_P(Limits, ParseCanonicalNumberTest, testing::ValuesIn(kLimitCases),
                         CaseName);

// The first offending byte decides between a non-digit and a value past the maximum; the leading
// zero is judged before any byte is.
const std::vector<NumberCase> kOrderCases = {
    Refuses("limit_passed_before_letter", "513x", kFileCountMaximum, "NUMBER_LIMIT"),
    Refuses("letter_before_limit_passed", "51x", kFileCountMaximum, "INVALID_NUMBER"),
    Refuses("letter_right_after_maximum", "512x", kFileCountMaximum, "INVALID_NUMBER"),
    Refuses("letter_right_after_sequence_maximum", "9223372036854775807x", kSequenceMaximum,
            "INVALID_NUMBER"),
    Refuses("leading_zero_before_letter", "0x1", kFileCountMaximum, "NONCANONICAL_NUMBER"),
    Refuses("leading_zero_before_limit", "09999", kFileCountMaximum, "NONCANONICAL_NUMBER"),
    Refuses("limit_at_first_byte_before_letter", "1x", 0, "NUMBER_LIMIT"),
    Refuses("letter_at_first_byte", "x1", 0, "INVALID_NUMBER"),
    Refuses("sign_before_limit", "-9999", kFileCountMaximum, "INVALID_NUMBER"),
    Refuses("limit_before_space", "99999999999999999999 ", kAll, "NUMBER_LIMIT"),
};
INSTANTIATE_TEST_SUITE_P(FirstFailureDecides, ParseCanonicalNumberTest,
                         testing::ValuesIn(kOrderCases), CaseName);

// Around many maxima, covering every remainder of maximum / 10: the maximum itself and its
// neighbour below pass, the neighbour above and the maximum with a digit appended do not.
TEST(ParseCanonicalNumberBoundaries, AcceptsExactlyUpToTheMaximum) {
    std::vector<uint64_t> maxima = {1,
                                    5,
                                    9,
                                    10,
                                    11,
                                    15,
                                    19,
                                    99,
                                    100,
                                    101,
                                    511,
                                    512,
                                    513,
                                    kFileSizeMaximum,
                                    kSequenceMaximum,
                                    kAll - 1,
                                    kAll};
    for (uint64_t power = 1; power <= kAll / 10; power *= 10) {
        for (uint64_t digit = 1; digit <= 9; ++digit) maxima.push_back(power * 10 + digit);
    }
    for (int shift = 1; shift < 64; ++shift) maxima.push_back(uint64_t{1} << shift);
    for (const uint64_t maximum : maxima) {
        const std::string text = std::to_string(maximum);
        const Verdict atLimit = Parse(text, maximum);
        EXPECT_EQ(atLimit.code, kAccepted) << "maximum " << maximum;
        EXPECT_EQ(atLimit.value, maximum);
        const Verdict below = Parse(std::to_string(maximum - 1), maximum);
        EXPECT_EQ(below.code, kAccepted) << "maximum " << maximum;
        EXPECT_EQ(below.value, maximum - 1);
        if (maximum != kAll) {
            EXPECT_EQ(Parse(std::to_string(maximum + 1), maximum).code, "NUMBER_LIMIT")
                << "maximum " << maximum;
        }
        for (char digit = '0'; digit <= '9'; ++digit) {
            EXPECT_EQ(Parse(text + digit, maximum).code, "NUMBER_LIMIT")
                << "maximum " << maximum << ", digit " << digit;
        }
    }
}

}  // namespace
}  // namespace veltomarn

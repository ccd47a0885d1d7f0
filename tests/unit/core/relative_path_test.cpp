#include "core/relative_path.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr const char* kAccepted = "ACCEPTED";

// The failure code ValidateRelativePath throws for `path`, or kAccepted. Any other exception
// escapes and fails the test.
std::string Verdict(const std::string& path) {
    try {
        ValidateRelativePath(path);
        return kAccepted;
    } catch (const Failure& failure) {
        return failure.what();
    }
}

std::string Repeat(const std::string& part, std::size_t times, const std::string& separator) {
    std::string joined;
    for (std::size_t i = 0; i < times; ++i) {
        if (i != 0) joined += separator;
        joined += part;
    }
    return joined;
}

struct PathCase {
    std::string name;
    std::string path;
    std::string expected;  // a failure code, or kAccepted
};

std::string CaseName(const testing::TestParamInfo<PathCase>& info) {
    return info.param.name;
}

class ValidateRelativePathTest : public testing::TestWithParam<PathCase> {};

TEST_P(ValidateRelativePathTest, GivesExpectedVerdict) {
    EXPECT_EQ(Verdict(GetParam().path), GetParam().expected)
        << "path: \"" << GetParam().path << '"';
}

// 16 components of which one is 15 bytes and the rest 14: exactly 240 bytes and 15 separators.
std::string FullestPath() {
    return std::string(15, 'f') + "/" + Repeat(std::string(14, 'g'), 15, "/");
}

const std::vector<PathCase> kLengthAndEndCases = {
    {"single_letter", "a", kAccepted},
    {"single_component_240_bytes", std::string(240, 'a'), kAccepted},
    {"sixteen_components_240_bytes", FullestPath(), kAccepted},
    {"empty", "", "PATH_FORMAT"},
    {"single_component_241_bytes", std::string(241, 'a'), "PATH_FORMAT"},
    {"241_bytes_with_bad_characters", std::string(241, ' '), "PATH_FORMAT"},
    {"241_bytes_of_separators", std::string(241, '/'), "PATH_FORMAT"},
    {"241_bytes_of_device_names", Repeat("con", 60, "/") + "/a", "PATH_FORMAT"},
    {"241_bytes_of_dot_dot", Repeat("..", 80, "/") + "/.", "PATH_FORMAT"},
    {"one_byte_more_than_fullest", FullestPath() + "h", "PATH_FORMAT"},
    {"leading_separator", "/a", "PATH_FORMAT"},
    {"trailing_separator", "a/", "PATH_FORMAT"},
    {"separator_only", "/", "PATH_FORMAT"},
    {"two_separators_only", "//", "PATH_FORMAT"},
    {"leading_separator_before_bad_character", "/a b", "PATH_FORMAT"},
    {"trailing_separator_after_bad_character", "a b/", "PATH_FORMAT"},
    {"absolute_device_path", "/con", "PATH_FORMAT"},
    {"240_bytes_ending_in_separator", std::string(239, 'a') + "/", "PATH_FORMAT"},
    {"240_bytes_with_space", std::string(239, 'a') + " ", "PATH_CHARACTER"},
};
INSTANTIATE_TEST_SUITE_P(LengthAndEnds, ValidateRelativePathTest,
                         testing::ValuesIn(kLengthAndEndCases), CaseName);

const std::vector<PathCase> kCharacterCases = {
    {"every_allowed_class", "Az09-._/zA.-_9", kAccepted},
    {"space", "a b", "PATH_CHARACTER"},
    {"backslash_separator", "dir\\file", "PATH_CHARACTER"},
    {"drive_colon", "c:", "PATH_CHARACTER"},
    {"alternate_stream_colon", "file:stream", "PATH_CHARACTER"},
    {"tilde_short_name", "PROGRA~1", "PATH_CHARACTER"},
    {"clock_dollar_device", "clock$", "PATH_CHARACTER"},
    {"embedded_nul_truncation", std::string("a\0b", 3), "PATH_CHARACTER"},
    {"trailing_nul", std::string("con\0", 4), "PATH_CHARACTER"},
    {"tab", "a\tb", "PATH_CHARACTER"},
    {"newline", "a\nb", "PATH_CHARACTER"},
    {"delete_byte", "a\x7f", "PATH_CHARACTER"},
    {"byte_0x80", "a\x80", "PATH_CHARACTER"},
    {"byte_0xff", "\xff", "PATH_CHARACTER"},
    {"utf8_letter", "caf\xc3\xa9", "PATH_CHARACTER"},
    {"high_bit_slash",
     "a\xaf"
     "b",
     "PATH_CHARACTER"},
    {"high_bit_dot",
     "a\xae"
     "b",
     "PATH_CHARACTER"},
    {"high_bit_letter", "\xe1", "PATH_CHARACTER"},
    {"wildcard_star", "*.txt", "PATH_CHARACTER"},
    {"wildcard_question_mark", "a?", "PATH_CHARACTER"},
    {"quote", "\"a\"", "PATH_CHARACTER"},
    {"redirect", "a>b", "PATH_CHARACTER"},
    {"pipe", "a|b", "PATH_CHARACTER"},
    {"percent_variable", "%TEMP%", "PATH_CHARACTER"},
    {"at_sign", "a@b", "PATH_CHARACTER"},
    {"bracket", "a[1]", "PATH_CHARACTER"},
    {"backtick", "a`", "PATH_CHARACTER"},
    {"brace", "a{", "PATH_CHARACTER"},
    {"plus", "a+b", "PATH_CHARACTER"},
};
INSTANTIATE_TEST_SUITE_P(Characters, ValidateRelativePathTest, testing::ValuesIn(kCharacterCases),
                         CaseName);

const std::vector<PathCase> kComponentCases = {
    {"leading_dot_name", ".profile", kAccepted},
    {"inner_dots", "a.b.c", kAccepted},
    {"two_dots_in_middle", "bad..name/x", kAccepted},
    {"two_leading_dots", "..a", kAccepted},
    {"lone_dash", "-", kAccepted},
    {"lone_underscore", "_", kAccepted},
    {"nested_mixed", "Data/Sub-dir/file_1.BIN", kAccepted},
    {"double_separator", "a//b", "PATH_COMPONENT"},
    {"dot_dot_last", "x/..", "PATH_COMPONENT"},
    {"dot_dot_first", "../x", "PATH_COMPONENT"},
    {"dot_dot_middle", "a/../b", "PATH_COMPONENT"},
    {"dot_dot_alone", "..", "PATH_COMPONENT"},
    {"dot_first", "./x", "PATH_COMPONENT"},
    {"dot_middle", "a/./b", "PATH_COMPONENT"},
    {"dot_alone", ".", "PATH_COMPONENT"},
    {"three_dots", "...", "PATH_COMPONENT"},
    {"trailing_dot", "a.", "PATH_COMPONENT"},
    {"trailing_two_dots", "name..", "PATH_COMPONENT"},
    {"trailing_dot_last_component", "x/y.", "PATH_COMPONENT"},
    {"trailing_dot_first_component", "y./x", "PATH_COMPONENT"},
    {"sixteen_components", Repeat("a", 16, "/"), kAccepted},
    {"seventeen_components", Repeat("a", 17, "/"), "PATH_COMPONENT"},
    {"forty_components", Repeat("a", 40, "/"), "PATH_COMPONENT"},
};
INSTANTIATE_TEST_SUITE_P(Components, ValidateRelativePathTest, testing::ValuesIn(kComponentCases),
                         CaseName);

const std::vector<PathCase> kDeviceCases = {
    {"con_upper", "CON", "PATH_DEVICE"},
    {"con_with_extension", "con.txt", "PATH_DEVICE"},
    {"nul_with_two_extensions", "Nul.tar.gz", "PATH_DEVICE"},
    {"com1_in_subdirectory", "dir/Com1", "PATH_DEVICE"},
    {"lpt9_with_extension", "LPT9.log", "PATH_DEVICE"},
    {"com0", "com0", "PATH_DEVICE"},
    {"lpt0", "lpt0", "PATH_DEVICE"},
    {"device_as_directory", "aux/file.txt", "PATH_DEVICE"},
    {"device_deep", "a/b/c/prn", "PATH_DEVICE"},
    {"com10", "com10", kAccepted},
    {"conin", "conin", kAccepted},
    {"lpt_without_digit", "lpt", kAccepted},
    {"com_without_digit", "com", kAccepted},
    {"dot_con", ".con", kAccepted},
    {"dot_com1", ".com1", kAccepted},
    {"dot_dot_con", "..con", kAccepted},
    {"conx", "conx", kAccepted},
    {"console", "console", kAccepted},
    {"clock_without_dollar", "clock", kAccepted},
    {"conout", "CONOUT", kAccepted},
    {"co", "co", kAccepted},
    {"prefixed_con", "xcon", kAccepted},
    {"con_with_suffix", "con_", kAccepted},
    {"con_with_dash", "con-1", kAccepted},
    {"nul_with_digit", "nul0", kAccepted},
    {"com_with_letter", "comA", kAccepted},
    {"com1_with_letter", "com1x", kAccepted},
    {"com_dash", "com-", kAccepted},
    {"lpt_underscore_digit", "lpt_1", kAccepted},
    {"zero_for_o", "c0m1", kAccepted},
    {"device_as_extension", "file.con", kAccepted},
    {"com1_as_extension", "file.com1", kAccepted},
    {"device_inside_name", "a.b/aconb/lpt/c.aux", kAccepted},
};
INSTANTIATE_TEST_SUITE_P(Devices, ValidateRelativePathTest, testing::ValuesIn(kDeviceCases),
                         CaseName);

// The first failing check decides: length, then ends, then the characters of the whole path, then
// the components from left to right, each through all of its rules before the next one.
const std::vector<PathCase> kOrderCases = {
    {"device_before_empty_component", "con//x", "PATH_DEVICE"},
    {"empty_component_before_device", "x//con", "PATH_COMPONENT"},
    {"character_scan_before_device", "con/a b", "PATH_CHARACTER"},
    {"character_scan_before_empty_component", "a//b c", "PATH_CHARACTER"},
    {"character_scan_before_dot_dot", "../x:", "PATH_CHARACTER"},
    {"device_before_trailing_dot", "con/x.", "PATH_DEVICE"},
    {"trailing_dot_before_device", "x./con", "PATH_COMPONENT"},
    {"trailing_dot_of_device_component", "CON.", "PATH_COMPONENT"},
    {"device_then_dot_dot", "lpt1/..", "PATH_DEVICE"},
    {"device_as_sixteenth_of_sixteen", Repeat("a", 15, "/") + "/con", "PATH_DEVICE"},
    {"device_as_seventeenth", Repeat("a", 16, "/") + "/con", "PATH_COMPONENT"},
    {"device_as_sixteenth_of_seventeen", Repeat("a", 15, "/") + "/con/a", "PATH_DEVICE"},
    {"empty_as_seventeenth", Repeat("a", 16, "/") + "//a", "PATH_COMPONENT"},
};
INSTANTIATE_TEST_SUITE_P(FirstFailureDecides, ValidateRelativePathTest,
                         testing::ValuesIn(kOrderCases), CaseName);

// Every reserved stem, in several letter cases, bare, with an extension and as a later component.
std::vector<PathCase> DeviceStemCases() {
    std::vector<std::string> stems = {"con", "prn", "aux", "nul"};
    for (const char* prefix : {"com", "lpt"}) {
        for (char digit = '0'; digit <= '9'; ++digit)
            stems.push_back(prefix + std::string(1, digit));
    }
    std::vector<PathCase> cases;
    for (const std::string& stem : stems) {
        std::string upper = stem;
        std::string mixed = stem;
        for (std::size_t i = 0; i < stem.size(); ++i) {
            if (stem[i] >= 'a' && stem[i] <= 'z') {
                upper[i] = static_cast<char>(stem[i] - 0x20);
                if (i % 2 == 1) mixed[i] = upper[i];
            }
        }
        const std::pair<const char*, std::string> spellings[] = {
            {"lower", stem}, {"upper", upper}, {"mixed", mixed}};
        for (const auto& [caseName, spelled] : spellings) {
            const std::string base = stem + "_" + caseName;
            cases.push_back({base + "_bare", spelled, "PATH_DEVICE"});
            cases.push_back({base + "_extension", spelled + ".log", "PATH_DEVICE"});
            cases.push_back({base + "_dot_extension_dot", spelled + "..x", "PATH_DEVICE"});
            cases.push_back({base + "_in_subdirectory", "dir/" + spelled, "PATH_DEVICE"});
            cases.push_back({base + "_with_fifth_byte", spelled + "x", kAccepted});
            cases.push_back({base + "_after_dot", "." + spelled, kAccepted});
        }
    }
    return cases;
}
INSTANTIATE_TEST_SUITE_P(EveryDeviceStem, ValidateRelativePathTest,
                         testing::ValuesIn(DeviceStemCases()), CaseName);

bool IsAllowedPathByte(int byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '/';
}

TEST(ValidateRelativePathBytes, EveryByteInsideAComponentIsAllowedOrRefusedAsCharacter) {
    for (int byte = 0; byte <= 0xFF; ++byte) {
        const std::string path = std::string("a") + static_cast<char>(byte) + "b";
        EXPECT_EQ(Verdict(path), IsAllowedPathByte(byte) ? kAccepted : "PATH_CHARACTER")
            << "byte 0x" << std::hex << byte;
    }
}

TEST(ValidateRelativePathBytes, AnyForbiddenByteOutranksEveryComponentRule) {
    // Every component of this path breaks a rule: empty, "..", dot-ended, device.
    const std::string prefix = "con/../x.//";
    for (int byte = 0; byte <= 0xFF; ++byte) {
        if (IsAllowedPathByte(byte)) continue;
        EXPECT_EQ(Verdict(prefix + static_cast<char>(byte) + "a"), "PATH_CHARACTER")
            << "byte 0x" << std::hex << byte;
    }
}

struct FoldCase {
    std::string name;
    std::string input;
    std::string expected;
};

std::string FoldCaseName(const testing::TestParamInfo<FoldCase>& info) {
    return info.param.name;
}

class FoldPathCaseTest : public testing::TestWithParam<FoldCase> {};

TEST_P(FoldPathCaseTest, FoldsOnlyAsciiUpperCase) {
    EXPECT_EQ(FoldPathCase(GetParam().input), GetParam().expected);
}

const std::vector<FoldCase> kFoldCases = {
    {"mixed_path", "Docs/ReadMe.TXT", "docs/readme.txt"},
    {"punctuation_and_digits", "-._/09", "-._/09"},
    {"letter_boundaries", "AZaz", "azaz"},
    {"neighbours_of_upper_range", "@[", "@["},
    {"neighbours_of_lower_range", "`{", "`{"},
    {"high_bytes_with_upper_case_low_bits", "\xc1\xda\x80\xff", "\xc1\xda\x80\xff"},
    {"high_bytes_between_letters", "A\xc1Z\xdaQ", "a\xc1z\xdaq"},
    {"embedded_nul_kept", std::string("A\0B", 3), std::string("a\0b", 3)},
    {"empty", "", ""},
    {"not_a_valid_path", "/ CON\\Nul:", "/ con\\nul:"},
};
INSTANTIATE_TEST_SUITE_P(Table, FoldPathCaseTest, testing::ValuesIn(kFoldCases), FoldCaseName);

TEST(FoldPathCaseBytes, OnlyUpperCaseAsciiLettersChange) {
    for (int byte = 0; byte <= 0xFF; ++byte) {
        const char c = static_cast<char>(byte);
        const char expected = (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 0x20) : c;
        EXPECT_EQ(FoldPathCase(std::string(1, c)), std::string(1, expected))
            << "byte 0x" << std::hex << byte;
    }
}

}  // namespace
}  // namespace veltomarn

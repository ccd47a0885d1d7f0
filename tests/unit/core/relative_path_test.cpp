#include "core/relative_path.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace veltomarn::test {
namespace {

std::string Repeat(const std::string& part, std::size_t times) {
    std::string joined = part;
    for (std::size_t i = 1; i < times; ++i) joined += "/" + part;
    return joined;
}

struct PathCase {
    std::string name;
    std::string path;
    std::string code;  // "" when accepted
};

const std::vector<PathCase> kCases = {
    {"length_240", std::string(240, 'a'), ""},
    {"sixteen_components_240_bytes", std::string(15, 'f') + "/" + Repeat(std::string(14, 'g'), 15),
     ""},
    {"dot_led_names", ".profile/..a/a.b.c", ""},
    {"empty", "", "PATH_FORMAT"},
    {"length_241", std::string(241, 'a'), "PATH_FORMAT"},
    {"length_241_of_bad_bytes", std::string(241, ' '), "PATH_FORMAT"},
    {"absolute_path", "/a", "PATH_FORMAT"},
    {"trailing_separator", "a/", "PATH_FORMAT"},
    {"absolute_before_bad_byte", "/a b", "PATH_FORMAT"},
    {"bad_byte_before_traversal", "../x:", "PATH_CHARACTER"},
    {"double_separator", "a//b", "PATH_COMPONENT"},
    {"parent_traversal", "a/../b", "PATH_COMPONENT"},
    {"current_directory", "./x", "PATH_COMPONENT"},
    {"trailing_dot_stripped_by_windows", "x/y.", "PATH_COMPONENT"},
    {"seventeen_components", Repeat("a", 17), "PATH_COMPONENT"},
    {"device_con", "CON", "PATH_DEVICE"},
    {"device_prn", "prn", "PATH_DEVICE"},
    {"device_aux_as_directory", "aux/file.txt", "PATH_DEVICE"},
    {"device_nul_with_extensions", "Nul.tar.gz", "PATH_DEVICE"},
    {"device_com0", "x/com0", "PATH_DEVICE"},
    {"device_lpt9", "LPT9", "PATH_DEVICE"},
    {"com10_not_device", "com10", ""},
    {"com_letter_not_device", "comA/lptx/com/c0m1", ""},
    {"device_as_extension", "file.con/.aux/conx/xnul", ""},
    {"device_before_empty_component", "con//x", "PATH_DEVICE"},
    {"empty_component_before_device", "x//con", "PATH_COMPONENT"},
    {"device_as_seventeenth", Repeat("a", 16) + "/con", "PATH_COMPONENT"},
};

class RelativePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(RelativePathTest, GivesExactVerdict) {
    EXPECT_EQ(FailureCode([&] { ValidateRelativePath(GetParam().path); }), GetParam().code);
}
INSTANTIATE_TEST_SUITE_P(Paths, RelativePathTest, ::testing::ValuesIn(kCases), CaseName<PathCase>);

const std::string kAllowed = "-./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";

// Every byte value inside a name, where no other rule can object.
TEST(RelativePathBytes, OnlyTheAllowedBytesPass) {
    for (int b = 0; b <= 0xFF; ++b) {
        const std::string path = std::string("a") + static_cast<char>(b) + "b";
        EXPECT_EQ(FailureCode([&] { ValidateRelativePath(path); }),
                  kAllowed.find(static_cast<char>(b)) != std::string::npos ? "" : "PATH_CHARACTER")
            << "byte " << b;
    }
}

TEST(FoldPathCaseBytes, OnlyAsciiUpperCaseChanges) {
    for (int b = 0; b <= 0xFF; ++b) {
        const char c = static_cast<char>(b);
        const char folded = static_cast<char>(std::tolower(b));  // the "C" locale: only A-Z
        EXPECT_EQ(FoldPathCase(std::string("x") + c), std::string("x") + folded) << "byte " << b;
    }
}

}  // namespace
}  // namespace veltomarn::test

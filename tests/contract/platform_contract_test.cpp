// What the bootstrap relies on from each platform call, checked against both implementations.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/contract_platform.h"

namespace veltomarn::testing {
namespace {

std::string Narrow(const WideString& text) {
    return std::string(text.begin(), text.end());
}

class PlatformContract : public ::testing::Test {
  protected:
    std::unique_ptr<Platform> platform_ = MakeContractPlatform();

    WideString SystemDirectory() {
        std::vector<WideChar> buffer(32768, 0);
        const uint32_t length = platform_->GetSystemDirectoryW(buffer.data(), 32768);
        return WideString(buffer.data(), length);
    }

    WideString FullPathOf(const WideString& path) {
        const uint32_t size = platform_->GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        std::vector<WideChar> buffer(size + 1, 0);
        const uint32_t length =
            platform_->GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
        EXPECT_EQ(length + 1, size) << Narrow(path);
        return WideString(buffer.data());
    }
};

TEST_F(PlatformContract, SystemDirectoryReportsNeededSizeWhenBufferTooSmall) {
    const WideString system = SystemDirectory();
    ASSERT_GT(system.size(), 3u);
    EXPECT_EQ(system[1], u':');
    WideChar small[2] = {u'x', u'x'};
    EXPECT_EQ(platform_->GetSystemDirectoryW(small, 2), system.size() + 1);
}

TEST_F(PlatformContract, RelativePathResolvesAgainstCurrentDirectory) {
    const WideString system = SystemDirectory();
    ASSERT_TRUE(platform_->SetCurrentDirectoryW(system.c_str()));
    EXPECT_EQ(Narrow(FullPathOf(u"abc")), Narrow(system + u"\\abc"));
    EXPECT_EQ(Narrow(FullPathOf(u"..\\abc")),
              Narrow(system.substr(0, system.rfind(u'\\')) + u"\\abc"));
}

TEST_F(PlatformContract, SetCurrentDirectoryToMissingDirectoryFails) {
    EXPECT_FALSE(platform_->SetCurrentDirectoryW(u"C:\\veltomarn-no-such-directory"));
    EXPECT_EQ(platform_->GetLastError(), win::kErrorFileNotFound);
}

struct FullPathCase {
    const char* name;
    const WideChar* input;
    const WideChar* expected;
};

const FullPathCase kFullPathCases[] = {
    {"dot_and_dotdot", u"C:\\a\\.\\b\\..\\c", u"C:\\a\\c"},
    {"forward_slashes", u"C:/a/b", u"C:\\a\\b"},
    {"doubled_separators", u"C:\\a\\\\b", u"C:\\a\\b"},
    {"trailing_separator_kept", u"C:\\a\\b\\", u"C:\\a\\b\\"},
    {"dotdot_above_root", u"C:\\..\\..\\a", u"C:\\a"},
    {"drive_root", u"C:\\", u"C:\\"},
    {"long_prefix_kept_and_normalised", u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\b"},
    {"unc_stays_unc", u"\\\\server\\share\\x\\..\\y", u"\\\\server\\share\\y"},
    {"trailing_dots_dropped", u"C:\\a\\name..", u"C:\\a\\name"},
};

class FullPathContract : public PlatformContract,
                         public ::testing::WithParamInterface<FullPathCase> {};

TEST_P(FullPathContract, NormalisesLikeWindows) {
    EXPECT_EQ(Narrow(FullPathOf(GetParam().input)), Narrow(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, FullPathContract, ::testing::ValuesIn(kFullPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlatformContract, FullPathSizeQueryCountsTheNull) {
    const WideString path = u"C:\\abc\\def";
    EXPECT_EQ(platform_->GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), path.size() + 1);
    std::vector<WideChar> exact(path.size() + 1, 0);
    EXPECT_EQ(platform_->GetFullPathNameW(path.c_str(), static_cast<uint32_t>(exact.size()),
                                          exact.data(), nullptr),
              path.size());
    std::vector<WideChar> shortBy1(path.size(), u'x');
    EXPECT_EQ(platform_->GetFullPathNameW(path.c_str(), static_cast<uint32_t>(shortBy1.size()),
                                          shortBy1.data(), nullptr),
              path.size() + 1);
}

struct SplitCase {
    const char* name;
    const WideChar* commandLine;
    std::vector<WideString> expected;
};

const SplitCase kSplitCases[] = {
    {"program_only", u"prog", {u"prog"}},
    {"quoted_program_with_space",
     u"\"C:\\a b\\x.exe\" --verify-only",
     {u"C:\\a b\\x.exe", u"--verify-only"}},
    {"blanks_separate", u"prog  a\tb", {u"prog", u"a", u"b"}},
    {"quoted_argument", u"prog \"a b\" c", {u"prog", u"a b", u"c"}},
    {"escaped_quote", u"prog a\\\"b", {u"prog", u"a\"b"}},
    {"even_backslashes_before_quote", u"prog \"a\\\\\" b", {u"prog", u"a\\", u"b"}},
    {"backslashes_without_quote", u"prog a\\\\b", {u"prog", u"a\\\\b"}},
    {"empty_quoted_argument", u"prog \"\"", {u"prog", u""}},
    {"equals_value", u"prog --verify-only=1", {u"prog", u"--verify-only=1"}},
    {"trailing_blanks", u"prog a  ", {u"prog", u"a"}},
};

class SplitContract : public PlatformContract, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitContract, SplitsLikeWindows) {
    int count = 0;
    WideChar** array = platform_->CommandLineToArgvW(GetParam().commandLine, &count);
    ASSERT_NE(array, nullptr);
    std::vector<std::string> actual;
    for (int k = 0; k < count; ++k) actual.push_back(Narrow(array[k]));
    EXPECT_EQ(platform_->LocalFree(array), nullptr);
    std::vector<std::string> expected;
    for (const WideString& e : GetParam().expected) expected.push_back(Narrow(e));
    EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitContract, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CompareCase {
    const char* name;
    const WideChar* a;
    const WideChar* b;
    bool ignoreCase;
    int expected;
};

const CompareCase kCompareCases[] = {
    {"equal_ignoring_case", u"veltomarnlauncher.EXE", u"VeltoMarnLauncher.exe", true,
     win::kCstrEqual},
    {"case_matters_otherwise", u"VeltoMarnLauncher.EXE", u"VeltoMarnLauncher.exe", false,
     win::kCstrLessThan},
    {"prefix_is_less", u"VeltoMarnLauncher.ex", u"VeltoMarnLauncher.exe", true, win::kCstrLessThan},
    {"one_more_is_greater", u"VeltoMarnLauncherX.exe", u"VeltoMarnLauncher.exe", true,
     win::kCstrGreaterThan},
};

class CompareContract : public PlatformContract,
                        public ::testing::WithParamInterface<CompareCase> {};

TEST_P(CompareContract, ComparesOrdinally) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(platform_->CompareStringOrdinal(c.a, -1, c.b, -1, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompareContract, ::testing::ValuesIn(kCompareCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Whether the truncated text is null-terminated differs between Windows versions: not relied on.
TEST_F(PlatformContract, ModuleFileNameReportsFullBufferWhenTruncated) {
    std::vector<WideChar> buffer(32768, 0);
    const uint32_t length = platform_->GetModuleFileNameW(nullptr, buffer.data(), 32768);
    ASSERT_GT(length, 5u);
    WideChar small[5] = {};
    EXPECT_EQ(platform_->GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(platform_->GetLastError(), win::kErrorInsufficientBuffer);
}

TEST_F(PlatformContract, WriteToNullHandleFails) {
    uint32_t written = 7;
    EXPECT_FALSE(platform_->WriteFile(nullptr, "x", 1, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(platform_->GetLastError(), win::kErrorInvalidHandle);
}

TEST_F(PlatformContract, LastErrorRoundTrips) {
    platform_->SetLastError(1234);
    EXPECT_EQ(platform_->GetLastError(), 1234u);
}

}  // namespace
}  // namespace veltomarn::testing

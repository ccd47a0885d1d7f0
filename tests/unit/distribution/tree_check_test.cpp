#include "distribution/tree_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
namespace model = testing::model;

constexpr const char* kPassed = "PASSED";
const WideString kBase = u"C:\\pkg";
const WideString kOutside = u"C:\\outside";
const std::set<std::string> kFiles = {"a.txt", "bin/tool.exe", "data/sub/y.dat", "data/z.dat"};
// "nest" holds only a directory; "nest/inner" is empty.
const std::set<std::string> kDirectories = {"bin", "data", "data/sub", "nest", "nest/inner"};
constexpr std::size_t kGuardHandles = 2;  // C:\ and C:\pkg

template <typename Action>
std::string CodeOf(Action&& action) {
    try {
        action();
        return kPassed;
    } catch (const Failure& failure) {
        return failure.code();
    }
}

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Failure messages name the case instead of dumping its bytes.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// `relative` below `base`, built independently of JoinRelative.
WideString Under(const std::string& relative, const WideString& base = kBase) {
    WideString path = base + u"\\";
    for (const char c : relative) path.push_back(c == '/' ? u'\\' : static_cast<WideChar>(c));
    return path;
}

void BuildTree(MemoryPlatform& platform) {
    for (const std::string& file : kFiles) platform.AddFile(Under(file), file);
    for (const std::string& directory : kDirectories) platform.AddDirectory(Under(directory));
}

// Replaces expected directory `relative` with a link to a copy of its contents elsewhere, so that
// following the link would find exactly what is expected.
void ReplaceWithLinkToCopy(MemoryPlatform& p, const std::string& relative, bool junction) {
    p.RemoveEntry(Under(relative));
    for (const std::string& file : kFiles) {
        if (file.rfind(relative + "/", 0) == 0) {
            p.AddFile(Under(file.substr(relative.size() + 1), kOutside), file);
        }
    }
    if (junction) {
        p.AddJunction(Under(relative), kOutside);
    } else {
        p.AddSymbolicLink(Under(relative), kOutside, true);
    }
}

using Change = std::function<void(MemoryPlatform&)>;

Change Steps(std::vector<Change> steps) {
    return [steps](MemoryPlatform& p) {
        for (const Change& step : steps) step(p);
    };
}
Change AddFile(std::string relative) {
    return [=](MemoryPlatform& p) { p.AddFile(Under(relative), ""); };
}
Change AddDirectory(std::string relative) {
    return [=](MemoryPlatform& p) { p.AddDirectory(Under(relative)); };
}
Change Remove(std::string relative) {
    return [=](MemoryPlatform& p) { p.RemoveEntry(Under(relative)); };
}
Change HiddenSystem(std::string relative) {
    return [=](MemoryPlatform& p) {
        p.SetAttributes(Under(relative), model::kFileAttributeHidden | model::kFileAttributeSystem);
    };
}
Change ListFirst(std::vector<WideString> names) {
    return [=](MemoryPlatform& p) { p.SetListingOrder(kBase, names); };
}
Change Fail(std::string call, uint32_t error, int nth = 1) {
    return [=](MemoryPlatform& p) { p.FailCall(call, error, nth); };
}

struct TreeCase {
    std::string name;
    Change change;  // applied to the expected tree
    std::string expected;
};

const std::vector<TreeCase> kTreeCases = {
    {"exact_tree", Steps({}), kPassed},
    {"hidden_system_expected_file", HiddenSystem("a.txt"), kPassed},
    {"extra_empty_directory", AddDirectory("nest/inner/extra"), "UNEXPECTED_DIRECTORY"},
    {"stray_desktop_ini", AddFile("desktop.ini"), "UNEXPECTED_FILE"},
    {"stray_thumbs_db_deep", AddFile("data/sub/Thumbs.db"), "UNEXPECTED_FILE"},
    {"stray_hidden_system_file", Steps({AddFile("bin/x.ini"), HiddenSystem("bin/x.ini")}),
     "UNEXPECTED_FILE"},
    {"missing_file", Remove("data/z.dat"), "INCOMPLETE_TREE"},
    {"missing_empty_directory", Remove("nest/inner"), "INCOMPLETE_TREE"},
    {"missing_file_then_stray_file_listed_later",
     Steps({Remove("a.txt"), AddFile("data/sub/stray.txt")}), "UNEXPECTED_FILE"},
    {"file_name_in_other_case", Steps({Remove("a.txt"), AddFile("A.txt")}), "UNEXPECTED_FILE"},
    {"directory_name_in_other_case",
     [](MemoryPlatform& p) { EXPECT_TRUE(p.ForeignRename(Under("bin"), Under("BIN"))); },
     "UNEXPECTED_DIRECTORY"},
    {"file_swapped_into_other_directory", Steps({Remove("data/z.dat"), AddFile("bin/z.dat")}),
     "UNEXPECTED_FILE"},
    {"file_where_directory_expected", Steps({Remove("nest/inner"), AddFile("nest/inner")}),
     "UNEXPECTED_FILE"},
    {"directory_where_file_expected", Steps({Remove("data/z.dat"), AddDirectory("data/z.dat")}),
     "UNEXPECTED_DIRECTORY"},
    {"name_with_space", AddFile("a b.txt"), "UNEXPECTED_FILE"},
    {"name_with_tilde", AddFile("A~1.TXT"), "UNEXPECTED_FILE"},
    {"name_with_accented_letter",
     [](MemoryPlatform& p) { p.AddFile(kBase + u"\\caf\u00E9.txt", ""); }, "TREE_NAME"},
    {"name_with_delete_character", [](MemoryPlatform& p) { p.AddFile(kBase + u"\\a\u007F", ""); },
     "TREE_NAME"},
    {"junction_replacing_directory",
     [](MemoryPlatform& p) { ReplaceWithLinkToCopy(p, "bin", true); }, "TREE_REPARSE"},
    {"directory_link_replacing_directory",
     [](MemoryPlatform& p) { ReplaceWithLinkToCopy(p, "data/sub", false); }, "TREE_REPARSE"},
    {"file_link_replacing_file",
     [](MemoryPlatform& p) {
         p.RemoveEntry(Under("a.txt"));
         p.AddFile(Under("a.txt", kOutside), "a.txt");
         p.AddSymbolicLink(Under("a.txt"), Under("a.txt", kOutside), false);
     },
     "TREE_REPARSE"},
    {"two_faults_data_listed_last_is_walked_first",
     Steps({AddDirectory("bin/extra"), AddFile("data/stray"), ListFirst({u"bin", u"data"})}),
     "UNEXPECTED_FILE"},
    {"two_faults_bin_listed_last_is_walked_first",
     Steps({AddDirectory("bin/extra"), AddFile("data/stray"), ListFirst({u"data", u"bin"})}),
     "UNEXPECTED_DIRECTORY"},
    {"base_listing_refused", Fail("FindFirstFileW", win::kErrorAccessDenied), "TREE_ENUMERATION"},
    {"listing_ends_with_error", Fail("FindNextFileW", win::kErrorNotEnoughMemory, 3),
     "TREE_ENUMERATION"},
    {"subdirectory_locked_by_another_process",
     [](MemoryPlatform& p) { p.ForeignOpen(Under("data/sub"), win::kGenericRead, 0); },
     "TREE_ENUMERATION"},
};

class VerifyExactTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(VerifyExactTreeTest, AdmitsOnlyTheExactTreeAndClosesEverySearch) {
    MemoryPlatform platform;
    BuildTree(platform);
    GetParam().change(platform);
    GuardedDirectory guard(platform, kBase, 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, kFiles, kDirectories); }), GetParam().expected);
    EXPECT_EQ(platform.OpenHandleCount(), kGuardHandles);
}
INSTANTIATE_TEST_SUITE_P(Trees, VerifyExactTreeTest, ::testing::ValuesIn(kTreeCases),
                         CaseName<TreeCase>);

TEST(VerifyExactTreeWalk, MissingEntryIsReportedOnlyAfterEveryDirectoryIsListed) {
    MemoryPlatform platform;
    BuildTree(platform);
    platform.RemoveEntry(Under("a.txt"));
    GuardedDirectory guard(platform, kBase, 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, kFiles, kDirectories); }), "INCOMPLETE_TREE");
    EXPECT_EQ(platform.CallCount("FindFirstFileW"), static_cast<int>(kDirectories.size() + 1));
}

TEST(VerifyExactTreeWalk, UnexpectedDirectoryIsRefusedBeforeItIsListed) {
    MemoryPlatform platform;
    BuildTree(platform);
    platform.AddFile(Under("extra/inside.txt"), "");
    platform.SetListingOrder(kBase, {u"extra"});
    GuardedDirectory guard(platform, kBase, 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, kFiles, kDirectories); }),
              "UNEXPECTED_DIRECTORY");
    EXPECT_EQ(platform.CallCount("FindFirstFileW"), 1);
}

TEST(VerifyExactTreeWalk, DriveRootBaseIsWalked) {
    MemoryPlatform platform;
    platform.AddVolume(u'D', 0x1234);
    platform.AddFile(u"D:\\a.txt", "");
    platform.AddFile(u"D:\\sub\\b.txt", "");
    GuardedDirectory guard(platform, u"D:\\", 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, {"a.txt", "sub/b.txt"}, {"sub"}); }), kPassed);
    EXPECT_EQ(CodeOf([&] {
                  VerifyExactTree(guard, {"a.txt", "sub/c.txt"}, {"sub"});
              }),
              "UNEXPECTED_FILE");
    EXPECT_EQ(platform.OpenHandleCount(), 1u);
}

struct DepthCase {
    std::string name;
    std::size_t units;  // length of the deepest directory's absolute path
    std::string expected;
};

const std::vector<DepthCase> kDepthCases = {
    {"deepest_directory_of_31999_units", 31999, kPassed},
    {"deepest_directory_of_32000_units", 32000, "LOCAL_PATH_REQUIRED"},
};

class VerifyExactTreeDepthTest : public ::testing::TestWithParam<DepthCase> {};

TEST_P(VerifyExactTreeDepthTest, RefusesADirectoryPathOver31999UnitsWhenItsTurnComes) {
    // A chain of 200-unit directory names and a last one that reaches the length exactly.
    const std::size_t length = GetParam().units - kBase.size() - 1;
    std::set<std::string> directories;
    std::string relative;
    for (std::size_t i = 0; i < (length - 1) / 201; ++i) {
        relative += std::string(200, 'd');
        directories.insert(relative);
        relative += "/";
    }
    relative += std::string(length - relative.size(), 'e');
    directories.insert(relative);
    ASSERT_EQ(Under(relative).size(), GetParam().units);
    MemoryPlatform platform;
    platform.AddDirectory(Under(relative));
    GuardedDirectory guard(platform, kBase, 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, {}, directories); }), GetParam().expected);
    const bool listed = GetParam().expected == kPassed;  // the deepest directory is listed too
    EXPECT_EQ(platform.CallCount("FindFirstFileW"),
              static_cast<int>(directories.size() + (listed ? 1 : 0)));
    EXPECT_EQ(platform.OpenHandleCount(), kGuardHandles);
}
INSTANTIATE_TEST_SUITE_P(Depths, VerifyExactTreeDepthTest, ::testing::ValuesIn(kDepthCases),
                         CaseName<DepthCase>);

}  // namespace
}  // namespace veltomarn

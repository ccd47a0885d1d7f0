#include "core/guarded_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
using Setup = std::function<void(MemoryPlatform&)>;

constexpr const char* kPassed = "PASSED";
constexpr uint32_t kShareAll = win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete;
const WideString kBase = u"C:\\pkg";
const WideString kFile = u"C:\\pkg\\a.txt";
const WideString kSub = u"C:\\pkg\\sub";
const WideString kSubFile = u"C:\\pkg\\sub\\a.txt";
const WideString kOutside = u"C:\\outside";
const std::string kTenBytes = "0123456789";

// The failure code `action` throws, "bad_alloc", or kPassed.
template <typename Action>
std::string CodeOf(Action&& action) {
    try {
        action();
        return kPassed;
    } catch (const Failure& failure) {
        return failure.code();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
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

WideString Prefixed(const WideString& path) {
    return u"\\\\?\\" + path;
}

// `relative` under `base`, built independently of JoinRelative.
WideString Under(const WideString& base, const std::string& relative) {
    WideString path = base + u"\\";
    for (const char c : relative) path.push_back(c == '/' ? u'\\' : static_cast<WideChar>(c));
    return path;
}

Setup Steps(std::vector<Setup> steps) {
    return [steps](MemoryPlatform& p) {
        for (const Setup& step : steps) step(p);
    };
}
Setup File(WideString path, std::string bytes = kTenBytes) {
    return [=](MemoryPlatform& p) { p.AddFile(path, bytes); };
}
Setup Stream(WideString path, WideString name) {
    return [=](MemoryPlatform& p) { p.AddStream(path, name, "x"); };
}
Setup Fail(std::string call, uint32_t error, int nth = 1) {
    return [=](MemoryPlatform& p) { p.FailCall(call, error, nth); };
}
Setup ForeignHolds(WideString path, uint32_t access, uint32_t share = kShareAll) {
    return [=](MemoryPlatform& p) { ASSERT_TRUE(p.ForeignOpen(path, access, share)); };
}
const Setup kNothing = [](MemoryPlatform&) {};

// --- LocalLongPath and JoinRelative ------------------------------------------------------------

struct LongPathCase {
    std::string name;
    WideString path;
    bool admitted;
};

const std::vector<LongPathCase> kLongPathCases = {
    {"drive_root", u"C:\\", true},
    {"drive_path", u"C:\\pkg\\a.txt", true},
    {"longest_31999_units", u"C:\\" + WideString(31996, u'a'), true},
    {"one_unit_too_long_32000_units", u"C:\\" + WideString(31997, u'a'), false},
    {"unc_path", u"\\\\server\\share\\pkg", false},
    {"already_prefixed", u"\\\\?\\C:\\pkg", false},
    {"device_prefixed", u"\\\\.\\C:\\pkg", false},
    {"drive_relative", u"C:pkg", false},
    {"drive_without_separator", u"C:", false},
    {"relative", u"pkg\\a.txt", false},
    {"forward_slash_after_drive", u"C:/pkg", false},
};

class LocalLongPathTest : public ::testing::TestWithParam<LongPathCase> {};

TEST_P(LocalLongPathTest, AdmitsOnlyLocalDrivePaths) {
    const LongPathCase& c = GetParam();
    if (c.admitted) {
        EXPECT_EQ(LocalLongPath(c.path), Prefixed(c.path));
    } else {
        EXPECT_EQ(CodeOf([&] { LocalLongPath(c.path); }), "LOCAL_PATH_REQUIRED");
    }
}
INSTANTIATE_TEST_SUITE_P(Paths, LocalLongPathTest, ::testing::ValuesIn(kLongPathCases),
                         CaseName<LongPathCase>);

struct JoinCase {
    std::string name;
    WideString base;
    std::string relative;
    WideString expected;
};

const std::vector<JoinCase> kJoinCases = {
    {"single_name", u"C:\\pkg", "a.txt", u"C:\\pkg\\a.txt"},
    {"slashes_become_backslashes", u"C:\\pkg", "sub/dir/a.txt", u"C:\\pkg\\sub\\dir\\a.txt"},
    {"drive_root_base_keeps_one_separator", u"C:\\", "sub/a", u"C:\\sub\\a"},
    {"byte_above_0x7f_keeps_its_value", u"C:\\pkg", "caf\xE9", u"C:\\pkg\\caf\u00E9"},
};

class JoinRelativeTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinRelativeTest, JoinsWithOneBackslash) {
    EXPECT_EQ(JoinRelative(GetParam().base, GetParam().relative), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Joins, JoinRelativeTest, ::testing::ValuesIn(kJoinCases),
                         CaseName<JoinCase>);

// --- construction ------------------------------------------------------------------------------

struct HeldCase {
    std::string name;
    WideString base;
    std::vector<WideString> held;
};

const std::vector<HeldCase> kHeldCases = {
    {"drive_root_held_once", u"C:\\", {u"C:\\"}},
    {"one_level", u"C:\\pkg", {u"C:\\", u"C:\\pkg"}},
    {"three_levels",
     u"C:\\games\\velto\\pkg",
     {u"C:\\", u"C:\\games", u"C:\\games\\velto", u"C:\\games\\velto\\pkg"}},
};

class GuardedDirectoryHeldTest : public ::testing::TestWithParam<HeldCase> {};

TEST_P(GuardedDirectoryHeldTest, HoldsRootAncestorsAndBaseInThatOrder) {
    MemoryPlatform platform;
    platform.AddDirectory(GetParam().base);
    std::vector<WideString> expected;
    for (const WideString& path : GetParam().held) expected.push_back(Prefixed(path));
    {
        GuardedDirectory guard(platform, GetParam().base, 0);
        EXPECT_EQ(platform.OpenHandlePaths(), expected);
        EXPECT_EQ(platform.CallCount("CreateFileW"), static_cast<int>(expected.size()));
    }
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Bases, GuardedDirectoryHeldTest, ::testing::ValuesIn(kHeldCases),
                         CaseName<HeldCase>);

struct ConstructionCase {
    std::string name;
    WideString base;
    Setup setup;
    std::string expected;
    int opens;  // CreateFileW calls made by the construction
    uint32_t skipStreamCheck = 0;
};

const WideString kGamesPkg = u"C:\\games\\pkg";

const std::vector<ConstructionCase> kConstructionCases = {
    {"unc_base", u"\\\\server\\share\\pkg", kNothing, "LOCAL_PATH_REQUIRED", 0},
    {"file_as_base", u"C:\\games\\file", File(u"C:\\games\\file"), "DIRECTORY_TYPE", 3},
    {"junction_as_ancestor", u"C:\\link\\pkg",
     [](MemoryPlatform& p) { p.AddJunction(u"C:\\link", u"C:\\games"); }, "REPARSE_POINT", 2},
    {"named_stream_on_base", kGamesPkg, Stream(kGamesPkg, u"extra"), "UNEXPECTED_STREAM", 3},
    {"named_stream_on_base_with_check_skipped", kGamesPkg, Stream(kGamesPkg, u"extra"), kPassed, 3,
     1},
    {"named_stream_on_ancestor_outside_base", kGamesPkg, Stream(u"C:\\games", u"extra"), kPassed,
     3},
    {"base_held_for_deletion_by_another_process", kGamesPkg, ForeignHolds(kGamesPkg, win::kDelete),
     "DIRECTORY_OPEN", 3},
    {"open_refused_halfway", kGamesPkg, Fail("CreateFileW", win::kErrorAccessDenied, 2),
     "DIRECTORY_OPEN", 2},
    {"information_unreadable_on_base", kGamesPkg, Fail("GetFileInformationByHandle", 1, 3),
     "FILE_INFORMATION", 3},
    {"ancestor_not_a_disk_object", kGamesPkg, Fail("GetFileType", win::kErrorInvalidHandle, 2),
     "FILE_INFORMATION", 2},
    {"stream_enumeration_refused_on_base", kGamesPkg,
     Fail("FindFirstStreamW", win::kErrorAccessDenied), "STREAM_ENUMERATION", 3},
    {"allocation_failure_halfway", kGamesPkg,
     [](MemoryPlatform& p) {
         p.ThrowFromCall(
             "CreateFileW", [] { throw std::bad_alloc(); }, 3);
     },
     "bad_alloc", 3},
};

class GuardedDirectoryConstructionTest : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(GuardedDirectoryConstructionTest, RefusesWithItsCodeAndLeavesNothingOpen) {
    const ConstructionCase& c = GetParam();
    MemoryPlatform platform;
    platform.AddDirectory(kGamesPkg);
    c.setup(platform);
    EXPECT_EQ(CodeOf([&] { GuardedDirectory guard(platform, c.base, c.skipStreamCheck); }),
              c.expected);
    EXPECT_EQ(platform.CallCount("CreateFileW"), c.opens);
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Faults, GuardedDirectoryConstructionTest,
                         ::testing::ValuesIn(kConstructionCases), CaseName<ConstructionCase>);

// --- the stream rule for held directories ---------------------------------------------------

struct StreamRuleCase {
    std::string name;
    WideString base;
    WideString held;  // carries a named stream
    bool comparisonFails;
    std::string expected;
};

const std::vector<StreamRuleCase> kStreamRuleCases = {
    {"directory_below_base", u"C:\\pkg", u"C:\\pkg\\sub", false, "UNEXPECTED_STREAM"},
    {"directory_below_base_in_other_case", u"C:\\pkg", u"C:\\PKG\\Sub", false, "UNEXPECTED_STREAM"},
    {"directory_below_drive_root_base", u"C:\\", u"C:\\sub", false, "UNEXPECTED_STREAM"},
    {"sibling_sharing_base_prefix", u"C:\\pkg", u"C:\\pkg2", false, kPassed},
    {"unrelated_directory", u"C:\\pkg", u"C:\\abc\\x", false, kPassed},
    {"unrelated_directory_when_comparison_fails", u"C:\\pkg", u"C:\\abc\\x", true,
     "UNEXPECTED_STREAM"},
};

class GuardedDirectoryStreamRuleTest : public ::testing::TestWithParam<StreamRuleCase> {};

TEST_P(GuardedDirectoryStreamRuleTest, ChecksStreamsOnlyAtOrBelowBase) {
    const StreamRuleCase& c = GetParam();
    MemoryPlatform platform;
    platform.AddDirectory(c.base);
    platform.AddDirectory(c.held);
    platform.AddStream(c.held, u"extra", "x");
    GuardedDirectory guard(platform, c.base, 0);
    const std::size_t handles = platform.OpenHandleCount();
    if (c.comparisonFails) platform.FailCall("CompareStringOrdinal", win::kErrorInvalidParameter);
    EXPECT_EQ(CodeOf([&] { guard.HoldDirectory(c.held); }), c.expected);
    EXPECT_EQ(platform.OpenHandleCount(), handles + (c.expected == kPassed ? 1 : 0));
}
INSTANTIATE_TEST_SUITE_P(Directories, GuardedDirectoryStreamRuleTest,
                         ::testing::ValuesIn(kStreamRuleCases), CaseName<StreamRuleCase>);

// --- OpenFile ------------------------------------------------------------------------------------

struct OpenFileCase {
    std::string name;
    Setup setup;  // runs after the guard over C:\pkg is built
    std::string relative;
    std::string expected;
    int opens;  // CreateFileW calls made by OpenFile; all but a failed one's stay held
    uint32_t skipStreamCheck = 0;
};

const std::vector<OpenFileCase> kOpenFileCases = {
    {"file_exactly_at_limit", File(kFile), "a.txt", kPassed, 1},
    {"file_one_byte_over_limit", File(kFile, kTenBytes + "!"), "a.txt", "FILE_SIZE_LIMIT", 1},
    {"file_in_subdirectories", File(u"C:\\pkg\\sub\\dir\\a.txt"), "sub/dir/a.txt", kPassed, 3},
    {"zone_identifier_stream", Steps({File(kFile), Stream(kFile, u":Zone.Identifier:$DATA")}),
     "a.txt", kPassed, 1},
    {"zone_identifier_in_other_case",
     Steps({File(kFile), Stream(kFile, u":zone.identifier:$DATA")}), "a.txt", "UNEXPECTED_STREAM",
     1},
    {"extra_stream_behind_zone_identifier",
     Steps({File(kFile), Stream(kFile, u":Zone.Identifier:$DATA"), Stream(kFile, u":extra:$DATA")}),
     "a.txt", "UNEXPECTED_STREAM", 1},
    {"extra_stream_on_file_with_directory_check_skipped",
     Steps({File(kFile), Stream(kFile, u"extra")}), "a.txt", "UNEXPECTED_STREAM", 1, 1},
    {"named_stream_on_directory_with_check_skipped",
     Steps({File(kSubFile), Stream(kSub, u"extra")}), "sub/a.txt", kPassed, 2, 1},
    {"stream_enumeration_refused",
     Steps({File(kFile), Fail("FindFirstStreamW", win::kErrorAccessDenied)}), "a.txt",
     "STREAM_ENUMERATION", 1},
    {"stream_enumeration_ends_with_error",
     Steps({File(kFile), Fail("FindNextStreamW", win::kErrorNotEnoughMemory)}), "a.txt",
     "UNEXPECTED_STREAM", 1},
    {"file_link_where_file_expected",
     Steps({File(kOutside + u"\\a.txt"),
            [](MemoryPlatform& p) { p.AddSymbolicLink(kFile, kOutside + u"\\a.txt", false); }}),
     "a.txt", "REPARSE_POINT", 1},
    {"directory_link_where_directory_expected",
     Steps({File(kOutside + u"\\a.txt"),
            [](MemoryPlatform& p) { p.AddSymbolicLink(kSub, kOutside, true); }}),
     "sub/a.txt", "REPARSE_POINT", 1},
    {"junction_where_directory_expected",
     Steps({File(kOutside + u"\\a.txt"), [](MemoryPlatform& p) { p.AddJunction(kSub, kOutside); }}),
     "sub/a.txt", "REPARSE_POINT", 1},
    {"second_hard_link_elsewhere",
     Steps({File(kFile), [](MemoryPlatform& p) { p.AddHardLink(kOutside + u"\\b.txt", kFile); }}),
     "a.txt", "FILE_TYPE_OR_LINK", 1},
    {"directory_where_file_expected", [](MemoryPlatform& p) { p.AddDirectory(kFile); }, "a.txt",
     "FILE_OPEN", 1},
    {"file_where_directory_expected", File(kSub), "sub/a.txt", "DIRECTORY_TYPE", 1},
    {"foreign_writer_holds_file", Steps({File(kFile), ForeignHolds(kFile, win::kGenericWrite)}),
     "a.txt", "FILE_OPEN", 1},
    {"foreign_deleter_holds_directory", Steps({File(kSubFile), ForeignHolds(kSub, win::kDelete)}),
     "sub/a.txt", "DIRECTORY_OPEN", 1},
    {"foreign_reader_sharing_only_reading",
     Steps({File(kFile), ForeignHolds(kFile, win::kGenericRead, win::kFileShareRead)}), "a.txt",
     kPassed, 1},
};

class GuardedDirectoryOpenFileTest : public ::testing::TestWithParam<OpenFileCase> {};

TEST_P(GuardedDirectoryOpenFileTest, OpensOnlyAPlainFileWithinTheRules) {
    const OpenFileCase& c = GetParam();
    MemoryPlatform platform;
    platform.AddDirectory(kBase);
    GuardedDirectory guard(platform, kBase, c.skipStreamCheck);
    c.setup(platform);
    const int opensBefore = platform.CallCount("CreateFileW");
    EXPECT_EQ(CodeOf([&] { guard.OpenFile(c.relative, kTenBytes.size()); }), c.expected);
    EXPECT_EQ(platform.CallCount("CreateFileW") - opensBefore, c.opens);
    EXPECT_EQ(platform.OpenHandleCount(), 2u + c.opens - (c.expected == kPassed ? 0 : 1));
    for (const WideString& path : platform.OpenHandlePaths()) {
        EXPECT_EQ(path.find(u"outside"), WideString::npos) << "a link target was opened";
    }
}
INSTANTIATE_TEST_SUITE_P(Files, GuardedDirectoryOpenFileTest, ::testing::ValuesIn(kOpenFileCases),
                         CaseName<OpenFileCase>);

struct JoinedLengthCase {
    std::string name;
    std::size_t units;
    std::string expected;
};

const std::vector<JoinedLengthCase> kJoinedLengthCases = {
    {"joined_path_of_31999_units", 31999, kPassed},
    {"joined_path_of_32000_units", 32000, "LOCAL_PATH_REQUIRED"},
};

class GuardedDirectoryJoinedLengthTest : public ::testing::TestWithParam<JoinedLengthCase> {};

TEST_P(GuardedDirectoryJoinedLengthTest, OpensNothingLongerThan31999Units) {
    // 200-unit directory names and a last name that make the joined path exactly that long.
    const std::size_t length = GetParam().units - kBase.size() - 1;
    std::string relative;
    for (std::size_t i = 0; i < (length - 1) / 201; ++i) relative += std::string(200, 'd') + "/";
    relative += std::string(length - relative.size(), 'f');
    ASSERT_EQ(Under(kBase, relative).size(), GetParam().units);
    MemoryPlatform platform;
    platform.AddFile(Under(kBase, relative), "x");
    GuardedDirectory guard(platform, kBase, 0);
    const int opensBefore = platform.CallCount("CreateFileW");
    EXPECT_EQ(CodeOf([&] { guard.OpenFile(relative, 1); }), GetParam().expected);
    // Every directory on the way is opened; the file only when its path is admitted.
    const auto directories = std::count(relative.begin(), relative.end(), '/');
    EXPECT_EQ(platform.CallCount("CreateFileW") - opensBefore,
              directories + (GetParam().expected == kPassed ? 1 : 0));
}
INSTANTIATE_TEST_SUITE_P(Lengths, GuardedDirectoryJoinedLengthTest,
                         ::testing::ValuesIn(kJoinedLengthCases), CaseName<JoinedLengthCase>);

TEST(GuardedDirectoryOpenFileAgain, ReturnsTheHeldHandleWithoutOpeningOrCheckingAgain) {
    MemoryPlatform platform;
    platform.AddFile(kSubFile, kTenBytes);
    platform.AddFile(u"C:\\pkg\\sub\\b.txt", kTenBytes);
    GuardedDirectory guard(platform, kBase, 0);
    const Handle first = guard.OpenFile("sub/a.txt", 10);
    const int opens = platform.CallCount("CreateFileW");
    EXPECT_EQ(guard.OpenFile("sub/a.txt", 1), first) << "a smaller second limit was applied";
    EXPECT_EQ(platform.CallCount("CreateFileW"), opens);
    guard.OpenFile("sub/b.txt", 10);
    EXPECT_EQ(platform.CallCount("CreateFileW"), opens + 1) << "sub was opened a second time";
    EXPECT_EQ(platform.OpenHandleCount(), 5u);
}

// A directory whose hold failed must not count as held: a later open through the same guard
// would otherwise reach the file below it with that directory unprotected.
TEST(GuardedDirectoryOpenFileAgain, RetriesADirectoryWhoseHoldFailed) {
    MemoryPlatform platform;
    platform.AddFile(kSubFile, kTenBytes);
    GuardedDirectory guard(platform, kBase, 0);
    platform.FailCall("CreateFileW", win::kErrorSharingViolation);
    EXPECT_THROW(guard.OpenFile("sub/a.txt", 10), Failure);
    guard.OpenFile("sub/a.txt", 10);
    const std::vector<WideString> paths = platform.OpenHandlePaths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), u"\\\\?\\C:\\pkg\\sub"), paths.end());
}

// --- ReadSmallFile ---------------------------------------------------------------------------

struct ReadCase {
    std::string name;
    std::string contents;
    std::function<void(MemoryPlatform&, GuardedDirectory&)> before;
    std::string expected;
    int reads;  // ReadFile calls made by ReadSmallFile
};

void NoPreparation(MemoryPlatform&, GuardedDirectory&) {}

const std::vector<ReadCase> kReadCases = {
    {"whole_file", "hello", NoPreparation, kPassed, 1},
    {"empty_file", "", NoPreparation, kPassed, 1},
    {"opened_before_under_larger_limit", "hello!",
     [](MemoryPlatform&, GuardedDirectory& g) { g.OpenFile("a.txt", 1000); }, "FILE_SIZE_LIMIT", 0},
    {"read_fails", "hello",
     [](MemoryPlatform& p, GuardedDirectory&) { p.FailCall("ReadFile", win::kErrorAccessDenied); },
     "METADATA_READ", 1},
    {"file_truncated_before_read", "hello",
     [](MemoryPlatform& p, GuardedDirectory&) {
         p.OnCall("ReadFile", [&p] { p.AddFile(kFile, "hel"); });
     },
     "METADATA_READ", 1},
};

class GuardedDirectoryReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(GuardedDirectoryReadTest, ReadsTheWholeFileOrRefuses) {
    const ReadCase& c = GetParam();
    MemoryPlatform platform;
    platform.AddFile(kFile, c.contents);
    GuardedDirectory guard(platform, kBase, 0);
    c.before(platform, guard);
    const int readsBefore = platform.CallCount("ReadFile");
    std::vector<uint8_t> contents;
    EXPECT_EQ(CodeOf([&] { contents = guard.ReadSmallFile("a.txt", 5); }), c.expected);
    EXPECT_EQ(platform.CallCount("ReadFile") - readsBefore, c.reads);
    if (c.expected == kPassed) {
        EXPECT_EQ(std::string(contents.begin(), contents.end()), c.contents);
    }
}
INSTANTIATE_TEST_SUITE_P(Reads, GuardedDirectoryReadTest, ::testing::ValuesIn(kReadCases),
                         CaseName<ReadCase>);

// --- protection against another process, and lifetime -------------------------------------

struct ForeignCase {
    std::string name;
    std::function<bool(MemoryPlatform&)> attempt;
};

const std::vector<ForeignCase> kForeignCases = {
    {"write_open_of_held_file",
     [](MemoryPlatform& p) { return p.ForeignOpen(kSubFile, win::kGenericWrite, kShareAll); }},
    {"delete_of_held_file", [](MemoryPlatform& p) { return p.ForeignDelete(kSubFile); }},
    {"swap_of_held_file",
     [](MemoryPlatform& p) { return p.ForeignRename(kSubFile, u"C:\\pkg\\sub\\old.txt"); }},
    {"delete_of_held_directory",
     [](MemoryPlatform& p) { return p.ForeignDelete(u"C:\\pkg\\empty"); }},
    {"rename_of_held_directory",
     [](MemoryPlatform& p) { return p.ForeignRename(u"C:\\pkg\\empty", u"C:\\pkg\\moved"); }},
};

class GuardedDirectoryForeignTest : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(GuardedDirectoryForeignTest, RefusedWhileHeldAdmittedAfterwards) {
    MemoryPlatform platform;
    platform.AddFile(kSubFile, kTenBytes);
    platform.AddDirectory(u"C:\\pkg\\empty");
    {
        GuardedDirectory guard(platform, kBase, 0);
        guard.OpenFile("sub/a.txt", 10);
        guard.HoldParents("empty/placeholder");
        EXPECT_FALSE(GetParam().attempt(platform));
        EXPECT_EQ(platform.GetLastError(), win::kErrorSharingViolation);
    }
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
    EXPECT_TRUE(GetParam().attempt(platform));
}
INSTANTIATE_TEST_SUITE_P(Attempts, GuardedDirectoryForeignTest, ::testing::ValuesIn(kForeignCases),
                         CaseName<ForeignCase>);

TEST(GuardedDirectoryLifetime, ClosesEveryHandleFirstOpenedFirst) {
    const std::vector<WideString> opened = {Prefixed(u"C:\\"), Prefixed(kBase), Prefixed(kSub),
                                            Prefixed(kSubFile)};
    MemoryPlatform platform;
    platform.AddFile(kSubFile, kTenBytes);
    std::vector<WideString> closed;
    {
        GuardedDirectory guard(platform, kBase, 0);
        guard.OpenFile("sub/a.txt", 10);
        ASSERT_EQ(platform.OpenHandlePaths(), opened);
        for (int n = 1; n <= 4; ++n) {
            platform.OnCall(
                "CloseHandle", [&] { closed.push_back(platform.OpenHandlePaths().front()); }, n);
        }
    }
    EXPECT_EQ(closed, opened);
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace veltomarn

// The guard, the exact tree check and file digests on Wine's real file system; what Wine cannot
// make (reparse points, second names, streams) comes from the fault platform's answers.

#include <functional>

#include "core/guarded_directory.h"
#include "core/sha256.h"
#include "distribution/tree_check.h"
#include "win32/win32_test_support.h"

namespace veltomarn::test {
namespace {

constexpr uint32_t kReparse = win::kFileAttributeReparsePoint;

// base\top.txt (3 bytes) and base\dir\file.txt (5 bytes).
class GuardFixture {
  public:
    explicit GuardFixture(const std::string& name) : scratch(name), platform(real) {
        scratch.Write("base/top.txt", "top");
        scratch.Write("base/dir/file.txt", "hello");
    }
    WideString Base() const { return scratch.At("base"); }
    WideString Below(const std::string& relative) const { return scratch.At("base\\" + relative); }

    Scratch scratch;
    Win32Platform real;
    FaultPlatform platform;
};

using Arrange = std::function<void(GuardFixture&)>;
using Act = std::function<void(GuardedDirectory&)>;

const Arrange kAsIs = [](GuardFixture&) {};
// Answers for an object: "" the base, ".." the directory above it, else a path below it.
WideString Object(const GuardFixture& f, const std::string& object) {
    return object.empty() ? f.Base() : object == ".." ? f.scratch.path : f.Below(object);
}
Arrange Attribute(std::string object, uint32_t value) {
    return [=](GuardFixture& f) { f.platform.extraAttributes[Object(f, object)] = value; };
}
Arrange Stream(std::string object, WideString name) {
    return [=](GuardFixture& f) { f.platform.extraStreams[Object(f, object)] = name; };
}
Arrange Fails(Call member, int nth) {
    return [=](GuardFixture& f) { f.platform.Fail(member, nth, win::kErrorAccessDenied); };
}
// Removes `from` below the base unless empty, then makes `to` unless empty: a directory when it
// ends in '/', else a file.
Arrange Replace(std::string from, std::string to) {
    return [=](GuardFixture& f) {
        if (!from.empty()) std::filesystem::remove(f.Below(from));
        if (to.empty()) return;
        if (to.back() == '/') std::filesystem::create_directory(f.Below(to));
        if (to.back() != '/') f.scratch.Write("base/" + to, "");
    };
}
// The file's size as reported, whatever it really is.
Arrange Size(uint64_t size) {
    return [=](GuardFixture& f) { f.platform.sizes[f.Below("dir\\file.txt")] = size; };
}
Act Digest(uint64_t expectedSize) {
    return [=](GuardedDirectory& guard) {
        FileDigest(guard, static_cast<FaultPlatform&>(guard.files()), "dir/file.txt", expectedSize);
    };
}
Act Open(std::string relative, uint64_t limit) {
    return [=](GuardedDirectory& guard) { guard.OpenFile(relative, limit); };
}

const std::string kFile = "dir\\file.txt";

struct GuardCase {
    std::string name;
    Arrange arrange;
    std::string code;
    Act act = Open("dir/file.txt", 5);
    StreamCheck streams = StreamCheck::kEverything;
};

const GuardCase kGuardCases[] = {
    {"file_of_exactly_the_limit", kAsIs, ""},
    {"mapped_network_drive", [](GuardFixture& f) { f.platform.driveType = 4; },
     "LOCAL_PATH_REQUIRED"},
    {"removable_drive", [](GuardFixture& f) { f.platform.driveType = win::kDriveRemovable; }, ""},
    {"file_over_the_limit", kAsIs, "FILE_SIZE_LIMIT", Open("dir/file.txt", 4)},
    {"file_is_reparse_point", Attribute(kFile, kReparse), "REPARSE_POINT"},
    {"junction_on_the_way", Attribute("dir", kReparse), "REPARSE_POINT"},
    {"junction_above_the_base", Attribute("..", kReparse), "REPARSE_POINT"},
    {"drive_root_inspected_too",
     [](GuardFixture& f) { f.platform.extraAttributes[f.Base().substr(0, 3)] = kReparse; },
     "REPARSE_POINT"},
    {"file_with_second_name", [](GuardFixture& f) { f.platform.linkCounts[f.Below(kFile)] = 2; },
     "FILE_TYPE_OR_LINK"},
    {"directory_where_file_expected", Attribute(kFile, win::kFileAttributeDirectory),
     "FILE_TYPE_OR_LINK"},
    {"file_where_directory_expected", kAsIs, "DIRECTORY_TYPE", Open("top.txt/file.txt", 5)},
    {"missing_file", kAsIs, "FILE_OPEN", Open("dir/none.txt", 5)},
    {"missing_directory", kAsIs, "DIRECTORY_OPEN", Open("none/file.txt", 5)},
    {"hidden_stream_on_file", Stream(kFile, u":payload:$DATA"), "UNEXPECTED_STREAM"},
    {"download_mark_on_file", Stream(kFile, u":Zone.Identifier:$DATA"), ""},
    {"download_mark_in_other_case", Stream(kFile, u":zone.identifier:$DATA"), "UNEXPECTED_STREAM"},
    {"hidden_stream_on_base", Stream("", u":x:$DATA"), "UNEXPECTED_STREAM"},
    {"hidden_stream_on_directory_below_base", Stream("dir", u":x:$DATA"), "UNEXPECTED_STREAM"},
    {"stream_above_the_base_is_not_ours", Stream("..", u":x:$DATA"), ""},
    {"failed_comparison_still_checks_streams",
     [](GuardFixture& f) {
         Stream("", u":x:$DATA")(f);
         f.platform.Fail(Call::kCompareStringOrdinal, 0, win::kErrorInvalidParameter);
     },
     "UNEXPECTED_STREAM"},
    {"directory_streams_skipped_when_asked", Stream("dir", u":x:$DATA"), "",
     Open("dir/file.txt", 5), StreamCheck::kFilesOnly},
    {"file_streams_checked_even_when_skipping", Stream(kFile, u":x:$DATA"), "UNEXPECTED_STREAM",
     Open("dir/file.txt", 5), StreamCheck::kFilesOnly},
    {"streams_unreadable", Fails(Call::kFindFirstStreamW, 0), "STREAM_ENUMERATION"},
    {"stream_listing_breaks_off",
     [](GuardFixture& f) {
         Stream(kFile, u":Zone.Identifier:$DATA")(f);
         f.platform.Fail(Call::kFindNextStreamW, 2, win::kErrorAccessDenied);
     },
     "UNEXPECTED_STREAM"},
    {"small_file_read_under_a_smaller_limit_than_its_open", kAsIs, "FILE_SIZE_LIMIT",
     [](GuardedDirectory& g) {
         g.OpenFile("dir/file.txt", 100);
         g.ReadSmallFile("dir/file.txt", 4);
     }},
    {"digest_of_a_file_of_another_size", kAsIs, "FILE_SIZE_MISMATCH", Digest(4)},
    {"digest_of_a_file_that_grew_while_read", Size(4), "FILE_CHANGED", Digest(4)},
    {"digest_of_a_file_that_shrank_while_read", Size(6), "FILE_CHANGED", Digest(6)},
    {"small_file_shorter_than_reported", Size(6), "METADATA_READ",
     [](GuardedDirectory& g) { g.ReadSmallFile("dir/file.txt", 6); }},
};

class GuardTest : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardTest, RefusesWhatItMustAndClosesEverything) {
    GuardFixture fixture("guard");
    GetParam().arrange(fixture);
    EXPECT_EQ(FailureCode([&] {
                  GuardedDirectory guard(fixture.platform, fixture.Base(), GetParam().streams);
                  GetParam().act(guard);
              }),
              GetParam().code);
    ExpectTidy(fixture.platform);
}

INSTANTIATE_TEST_SUITE_P(Win32, GuardTest, ::testing::ValuesIn(kGuardCases), CaseName<GuardCase>);

TEST(GuardTest, HeldObjectsCanBeReadButNotWrittenDeletedOrRenamed) {
    GuardFixture fixture("shared");
    const WideString file = LocalLongPath(fixture.Below("dir\\file.txt"));
    const WideString directory = LocalLongPath(fixture.Below("dir"));
    auto openFor = [&](const WideString& path, uint32_t access) {
        const Handle handle =
            fixture.real.CreateFileW(path.c_str(), access, 7, nullptr, win::kOpenExisting,
                                     win::kFileFlagBackupSemantics, nullptr);
        const uint32_t error = handle == kInvalidHandle ? fixture.real.GetLastError() : 0;
        if (handle != kInvalidHandle) fixture.real.CloseHandle(handle);
        return error;
    };
    {
        GuardedDirectory guard(fixture.platform, fixture.Base(), StreamCheck::kEverything);
        const Handle held = guard.OpenFile("dir/file.txt", 5);
        EXPECT_EQ(guard.OpenFile("dir/file.txt", 0), held);  // the same handle, not checked again
        const int opens = fixture.platform.calls[Call::kCreateFileW];
        guard.HoldParents("dir/other.txt");  // held already: not opened again
        EXPECT_EQ(fixture.platform.calls[Call::kCreateFileW], opens);
        EXPECT_EQ(openFor(file, win::kGenericRead), 0u);
        EXPECT_EQ(openFor(file, win::kGenericWrite), win::kErrorSharingViolation);
        EXPECT_EQ(openFor(file, win::kDelete), win::kErrorSharingViolation);
        EXPECT_EQ(openFor(directory, win::kDelete), win::kErrorSharingViolation);
        const WideString moved = LocalLongPath(fixture.Below("moved.txt"));
        EXPECT_FALSE(fixture.real.MoveFileExW(file.c_str(), moved.c_str(), 0));
    }
    EXPECT_EQ(openFor(file, win::kGenericWrite), 0u);
    EXPECT_EQ(openFor(directory, win::kDelete), 0u);
    ExpectTidy(fixture.platform);
}

struct LocalPathCase {
    std::string name;
    WideString path;
    WideString expected;  // empty: refused
};

const LocalPathCase kLocalPathCases[] = {
    {"drive_root", u"C:\\", u"\\\\?\\C:\\"},
    {"drive_path", u"C:\\games\\velto", u"\\\\?\\C:\\games\\velto"},
    {"too_short", u"C:", u""},
    {"forward_slash", u"C:/games", u""},
    {"share", u"\\\\server\\share", u""},
    {"longest_accepted", u"C:\\" + WideString(31996, u'a'),
     u"\\\\?\\C:\\" + WideString(31996, u'a')},
    {"one_unit_too_long", u"C:\\" + WideString(31997, u'a'), u""},
};

TEST(LocalLongPathTest, AdmitsOnlyLocalDrivePaths) {
    for (const LocalPathCase& row : kLocalPathCases) {
        WideString made;
        const std::string code = FailureCode([&] { made = LocalLongPath(row.path); });
        EXPECT_EQ(code, row.expected.empty() ? "LOCAL_PATH_REQUIRED" : "") << row.name;
        EXPECT_EQ(made == row.expected, true) << row.name;
    }
    EXPECT_EQ(JoinRelative(u"C:\\", "a/b") == u"C:\\a\\b", true);
    EXPECT_EQ(JoinRelative(u"C:\\x", "a/b") == u"C:\\x\\a\\b", true);
}

// --- The exact tree ---------------------------------------------------------------------------

struct TreeCase {
    std::string name;
    Arrange arrange;
    std::string code;
};

const TreeCase kTreeCases[] = {
    {"exactly_the_expected_tree", kAsIs, ""},
    {"extra_file_at_top", Replace("", "desktop.ini"), "UNEXPECTED_FILE"},
    {"extra_file_nested", Replace("", "dir/Thumbs.db"), "UNEXPECTED_FILE"},
    {"extra_directory", Replace("", "logs/"), "UNEXPECTED_DIRECTORY"},
    {"missing_file", Replace("top.txt", ""), "INCOMPLETE_TREE"},
    {"name_in_other_case", Replace("top.txt", "TOP.txt"), "UNEXPECTED_FILE"},
    {"directory_where_file_expected", Replace("top.txt", "top.txt/"), "UNEXPECTED_DIRECTORY"},
    {"file_link_in_listing", Attribute("top.txt", kReparse), "TREE_REPARSE"},
    {"junction_in_listing", Attribute("dir", kReparse), "TREE_REPARSE"},
    {"unexpected_name_with_space", Replace("", "a b.txt"), "UNEXPECTED_FILE"},
    {"name_outside_printable_ascii", Replace("", "x\x7f.txt"), "TREE_NAME"},
    {"listing_unreadable", Fails(Call::kFindFirstFileW, 1), "TREE_ENUMERATION"},
    {"listing_breaks_off", Fails(Call::kFindNextFileW, 1), "TREE_ENUMERATION"},
};

class TreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeTest, AdmitsExactlyTheExpectedFilesAndDirectories) {
    GuardFixture fixture("tree");
    GetParam().arrange(fixture);
    EXPECT_EQ(FailureCode([&] {
                  GuardedDirectory guard(fixture.platform, fixture.Base(),
                                         StreamCheck::kEverything);
                  VerifyExactTree(guard, {"dir/file.txt", "top.txt"}, {"dir"});
              }),
              GetParam().code);
    ExpectTidy(fixture.platform);
}

INSTANTIATE_TEST_SUITE_P(Win32, TreeTest, ::testing::ValuesIn(kTreeCases), CaseName<TreeCase>);

// --- Digests ------------------------------------------------------------------------------------

TEST(DigestTest, KnownAnswerAgainFromTheStartOfAHandleReadBefore) {
    GuardFixture fixture("digest");
    fixture.scratch.Write("base/abc.txt", "abc");
    {
        GuardedDirectory guard(fixture.platform, fixture.Base(), StreamCheck::kEverything);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(FileDigest(guard, fixture.platform, "abc.txt", 3),
                      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        }
    }
    ExpectTidy(fixture.platform);
}

}  // namespace
}  // namespace veltomarn::test

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
    {"FileOfExactlyTheLimit", kAsIs, ""},
    {"MappedNetworkDrive", [](GuardFixture& f) { f.platform.driveType = 4; },
     "LOCAL_PATH_REQUIRED"},
    {"RemovableDrive", [](GuardFixture& f) { f.platform.driveType = win::kDriveRemovable; }, ""},
    {"FileOverTheLimit", kAsIs, "FILE_SIZE_LIMIT", Open("dir/file.txt", 4)},
    {"FileIsReparsePoint", Attribute(kFile, kReparse), "REPARSE_POINT"},
    {"JunctionOnTheWay", Attribute("dir", kReparse), "REPARSE_POINT"},
    {"JunctionAboveTheBase", Attribute("..", kReparse), "REPARSE_POINT"},
    {"DriveRootInspectedToo",
     [](GuardFixture& f) { f.platform.extraAttributes[f.Base().substr(0, 3)] = kReparse; },
     "REPARSE_POINT"},
    {"FileWithSecondName", [](GuardFixture& f) { f.platform.linkCounts[f.Below(kFile)] = 2; },
     "FILE_TYPE_OR_LINK"},
    {"DirectoryWhereFileExpected", Attribute(kFile, win::kFileAttributeDirectory),
     "FILE_TYPE_OR_LINK"},
    {"FileWhereDirectoryExpected", kAsIs, "DIRECTORY_TYPE", Open("top.txt/file.txt", 5)},
    {"MissingFile", kAsIs, "FILE_OPEN", Open("dir/none.txt", 5)},
    {"MissingDirectory", kAsIs, "DIRECTORY_OPEN", Open("none/file.txt", 5)},
    {"HiddenStreamOnFile", Stream(kFile, u":payload:$DATA"), "UNEXPECTED_STREAM"},
    {"DownloadMarkOnFile", Stream(kFile, u":Zone.Identifier:$DATA"), ""},
    {"DownloadMarkInOtherCase", Stream(kFile, u":zone.identifier:$DATA"), "UNEXPECTED_STREAM"},
    {"HiddenStreamOnBase", Stream("", u":x:$DATA"), "UNEXPECTED_STREAM"},
    {"HiddenStreamOnDirectoryBelowBase", Stream("dir", u":x:$DATA"), "UNEXPECTED_STREAM"},
    {"StreamAboveTheBaseIsNotOurs", Stream("..", u":x:$DATA"), ""},
    {"FailedComparisonStillChecksStreams",
     [](GuardFixture& f) {
         Stream("", u":x:$DATA")(f);
         f.platform.Fail(Call::kCompareStringOrdinal, 0, win::kErrorInvalidParameter);
     },
     "UNEXPECTED_STREAM"},
    {"DirectoryStreamsSkippedWhenAsked", Stream("dir", u":x:$DATA"), "", Open("dir/file.txt", 5),
     StreamCheck::kFilesOnly},
    {"FileStreamsCheckedEvenWhenSkipping", Stream(kFile, u":x:$DATA"), "UNEXPECTED_STREAM",
     Open("dir/file.txt", 5), StreamCheck::kFilesOnly},
    {"StreamsUnreadable", Fails(Call::kFindFirstStreamW, 0), "STREAM_ENUMERATION"},
    {"StreamListingBreaksOff",
     [](GuardFixture& f) {
         Stream(kFile, u":Zone.Identifier:$DATA")(f);
         f.platform.Fail(Call::kFindNextStreamW, 2, win::kErrorAccessDenied);
     },
     "UNEXPECTED_STREAM"},
    {"SmallFileReadUnderASmallerLimitThanItsOpen", kAsIs, "FILE_SIZE_LIMIT",
     [](GuardedDirectory& g) {
         g.OpenFile("dir/file.txt", 100);
         g.ReadSmallFile("dir/file.txt", 4);
     }},
    {"DigestOfAFileOfAnotherSize", kAsIs, "FILE_SIZE_MISMATCH", Digest(4)},
    {"DigestOfAFileThatGrewWhileRead", Size(4), "FILE_CHANGED", Digest(4)},
    {"DigestOfAFileThatShrankWhileRead", Size(6), "FILE_CHANGED", Digest(6)},
    {"SmallFileShorterThanReported", Size(6), "METADATA_READ",
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
    {"DriveRoot", u"C:\\", u"\\\\?\\C:\\"},
    {"DrivePath", u"C:\\games\\velto", u"\\\\?\\C:\\games\\velto"},
    {"TooShort", u"C:", u""},
    {"ForwardSlash", u"C:/games", u""},
    {"Share", u"\\\\server\\share", u""},
    {"LongestAccepted", u"C:\\" + WideString(31996, u'a'),
     u"\\\\?\\C:\\" + WideString(31996, u'a')},
    {"OneUnitTooLong", u"C:\\" + WideString(31997, u'a'), u""},
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
    {"ExactlyTheExpectedTree", kAsIs, ""},
    {"ExtraFileAtTop", Replace("", "desktop.ini"), "UNEXPECTED_FILE"},
    {"ExtraFileNested", Replace("", "dir/Thumbs.db"), "UNEXPECTED_FILE"},
    {"ExtraDirectory", Replace("", "logs/"), "UNEXPECTED_DIRECTORY"},
    {"MissingFile", Replace("top.txt", ""), "INCOMPLETE_TREE"},
    {"NameInOtherCase", Replace("top.txt", "TOP.txt"), "UNEXPECTED_FILE"},
    {"DirectoryWhereFileExpected", Replace("top.txt", "top.txt/"), "UNEXPECTED_DIRECTORY"},
    {"FileLinkInListing", Attribute("top.txt", kReparse), "TREE_REPARSE"},
    {"JunctionInListing", Attribute("dir", kReparse), "TREE_REPARSE"},
    {"UnexpectedNameWithSpace", Replace("", "a b.txt"), "UNEXPECTED_FILE"},
    {"NameOutsidePrintableAscii", Replace("", "x\x7f.txt"), "TREE_NAME"},
    {"ListingUnreadable", Fails(Call::kFindFirstFileW, 1), "TREE_ENUMERATION"},
    {"ListingBreaksOff", Fails(Call::kFindNextFileW, 1), "TREE_ENUMERATION"},
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

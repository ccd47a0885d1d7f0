// The Linux platform answers the file, listing and stream calls as Windows does (the contract the
// in-memory model and Win32 share), on a scratch directory of the real file system; the bootstrap's
// guard and tree check refuse links and hard links through it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/sha256.h"
#include "distribution/tree_check.h"
#include "platform/posix/posix_platform.h"
#include "platform/scoped_handle.h"
#include "tools/tool_test_support.h"

namespace veltomarn::testing {
namespace {

constexpr uint32_t kDirectoryAccess = win::kFileListDirectory | win::kFileReadAttributes;
constexpr uint32_t kDirectoryShare = win::kFileShareRead | win::kFileShareWrite;
constexpr uint32_t kDirectoryFlags = win::kFileFlagBackupSemantics | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kFileFlags = win::kFileFlagSequentialScan | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kFollowFlags = win::kFileFlagBackupSemantics;  // no FILE_FLAG_OPEN_REPARSE_POINT

constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kFileAttributeNormal = 0x80;

const std::string kTenBytes = "0123456789";

std::string Narrow(const WideString& text) {
    return std::string(text.begin(), text.end());
}

WideString Wide(const std::string& text) {
    return WideString(text.begin(), text.end());
}

template <typename Case>
requires std::is_same_v<decltype(Case::name), const char*>
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class PosixPlatformTest : public ::testing::Test {
  protected:
    PosixPlatformTest() : root_(*DrivePathFromLinux(scratch_.path())) {}

    // "f.txt" (ten bytes), "d" holding "in.txt", the empty directory "e", "h1.txt" with a second
    // name "h2.txt", and symbolic links "file-link" (to f.txt), "dir-link" (to d) and "dangling".
    void MakeTree() {
        WriteTextFile(scratch_ / "f.txt", kTenBytes);
        WriteTextFile(scratch_ / "d/in.txt", "inside");
        MakeDirectories(scratch_ / "e");
        WriteTextFile(scratch_ / "h1.txt", "linked");
        ASSERT_EQ(link((scratch_ / "h1.txt").c_str(), (scratch_ / "h2.txt").c_str()), 0);
        ASSERT_EQ(symlink("f.txt", (scratch_ / "file-link").c_str()), 0);
        ASSERT_EQ(symlink("d", (scratch_ / "dir-link").c_str()), 0);
        ASSERT_EQ(symlink("missing", (scratch_ / "dangling").c_str()), 0);
    }

    // The scratch directory's drive path + '\' + relative ('\'-separated), with "\\?\".
    WideString LongPath(const std::string& relative) const {
        return u"\\\\?\\" + root_ + (relative.empty() ? u"" : u"\\" + Wide(relative));
    }

    ScopedHandle Open(const std::string& relative, uint32_t access, uint32_t disposition,
                      uint32_t flags, uint32_t* error) {
        const WideString path = LongPath(relative);
        ScopedHandle handle(platform_, platform_.CreateFileW(path.c_str(), access, kDirectoryShare,
                                                             nullptr, disposition, flags, nullptr));
        *error = handle.valid() ? 0 : platform_.GetLastError();
        return handle;
    }

    FileInformation Information(Handle handle) {
        FileInformation information;
        EXPECT_TRUE(platform_.GetFileInformationByHandle(handle, &information));
        return information;
    }

    ScratchDirectory scratch_;
    const WideString root_;
    PosixPlatform platform_;
};

// --- paths -----------------------------------------------------------------------------------

struct DrivePathCase {
    const char* name;
    const char* native;
    const char16_t* drive;  // null: no drive path
};

const DrivePathCase kDrivePathCases[] = {
    {"root", "/", u"Z:\\"},
    {"nested", "/home/x", u"Z:\\home\\x"},
    {"doubled_and_trailing_separators_dropped", "//home//x/", u"Z:\\home\\x"},
    {"utf8_name", "/caf\xC3\xA9", u"Z:\\caf\u00E9"},
    {"relative_path", "home/x", nullptr},
    {"empty_path", "", nullptr},
    {"dot_dot_component", "/home/../etc", nullptr},
    {"dot_component", "/home/./x", nullptr},
    {"backslash_in_name", "/home/a\\b", nullptr},
    {"invalid_utf8", "/home/\xFF", nullptr},
};

class PosixDrivePathTest : public ::testing::TestWithParam<DrivePathCase> {};

TEST_P(PosixDrivePathTest, LinuxPathBecomesDriveZPath) {
    const DrivePathCase& c = GetParam();
    const std::optional<WideString> drive = DrivePathFromLinux(c.native);
    ASSERT_EQ(drive.has_value(), c.drive != nullptr);
    if (!drive) return;
    EXPECT_EQ(*drive, WideString(c.drive));
    // And back again, except for the separators that were dropped.
    const std::optional<std::string> back = LinuxPathFromDrive(*drive);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(DrivePathFromLinux(*back), drive);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixDrivePathTest, ::testing::ValuesIn(kDrivePathCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct LinuxPathCase {
    const char* name;
    const char16_t* drive;
    const char* native;  // null: refused
};

const LinuxPathCase kLinuxPathCases[] = {
    {"plain", u"Z:\\home\\x", "/home/x"},
    {"long_path_prefix", u"\\\\?\\Z:\\home\\x", "/home/x"},
    {"lower_case_drive_letter", u"z:\\home", "/home"},
    {"drive_root", u"Z:\\", "/"},
    {"trailing_separator", u"Z:\\home\\", "/home"},
    {"other_drive", u"C:\\Windows", nullptr},
    {"unc_path", u"\\\\server\\share\\x", nullptr},
    {"unc_behind_prefix", u"\\\\?\\UNC\\server\\share", nullptr},
    {"drive_relative", u"Z:home", nullptr},
    {"relative", u"home\\x", nullptr},
    {"dot_dot_component", u"Z:\\home\\..\\etc", nullptr},
    {"doubled_separator", u"Z:\\home\\\\x", nullptr},
    {"slash_in_component", u"Z:\\home/x", nullptr},
    {"wildcard_in_component", u"Z:\\home\\*", nullptr},
    {"lone_surrogate", u"Z:\\home\\\xD800", nullptr},
};

class PosixLinuxPathTest : public ::testing::TestWithParam<LinuxPathCase> {};

TEST_P(PosixLinuxPathTest, OnlyDriveZMapsToLinux) {
    const LinuxPathCase& c = GetParam();
    const std::optional<std::string> native = LinuxPathFromDrive(c.drive);
    ASSERT_EQ(native.has_value(), c.native != nullptr);
    if (native) {
        EXPECT_EQ(*native, c.native);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixLinuxPathTest, ::testing::ValuesIn(kLinuxPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- opening -----------------------------------------------------------------------------------

struct OpenCase {
    const char* name;
    const char* relative;  // '\'-separated below the scratch directory
    uint32_t access;
    uint32_t disposition;
    uint32_t flags;
    uint32_t error;  // 0: the open succeeds
};

const OpenCase kOpenCases[] = {
    {"missing_file", "missing.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     win::kErrorFileNotFound},
    {"missing_directory", "missing\\in.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     win::kErrorPathNotFound},
    {"file_used_as_directory", "f.txt\\in.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     win::kErrorPathNotFound},
    {"directory_without_backup_semantics", "d", win::kGenericRead, win::kOpenExisting, kFileFlags,
     win::kErrorAccessDenied},
    {"directory_link_without_backup_semantics", "dir-link", win::kGenericRead, win::kOpenExisting,
     kFileFlags, win::kErrorAccessDenied},
    {"dot_dot_behind_prefix", "d\\..\\f.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"dot_behind_prefix", "d\\.\\in.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"doubled_separator_behind_prefix", "d\\\\in.txt", win::kGenericRead, win::kOpenExisting,
     kFileFlags, kErrorInvalidName},
    {"slash_behind_prefix", "d/in.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"trailing_separator_on_file", "f.txt\\", win::kGenericRead, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"wildcard_in_name", "f*.txt", win::kGenericRead, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"create_new_is_not_offered", "new.txt", win::kGenericWrite, win::kCreateNew, 0,
     kErrorCallNotImplemented},
    {"write_access_is_not_offered", "f.txt", win::kGenericWrite, win::kOpenExisting, kFileFlags,
     kErrorCallNotImplemented},
    {"delete_access_is_not_offered", "f.txt", win::kDelete, win::kOpenExisting, kFileFlags,
     kErrorCallNotImplemented},
    {"dangling_link_followed", "dangling", win::kGenericRead, win::kOpenExisting, 0,
     win::kErrorFileNotFound},
    {"dangling_link_opened_as_itself", "dangling", win::kGenericRead, win::kOpenExisting,
     kFileFlags, 0},
    {"other_letter_case", "D\\IN.TXT", win::kGenericRead, win::kOpenExisting, kFileFlags, 0},
    {"directory_with_trailing_separator", "d\\", kDirectoryAccess, win::kOpenExisting,
     kDirectoryFlags, 0},
    {"file_with_backup_semantics", "f.txt", kDirectoryAccess, win::kOpenExisting, kDirectoryFlags,
     0},
};

class PosixOpenTest : public PosixPlatformTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(PosixOpenTest, AnswersAsWindows) {
    const OpenCase& c = GetParam();
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle handle = Open(c.relative, c.access, c.disposition, c.flags, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(handle.valid(), c.error == 0);
    EXPECT_EQ(platform_.LastPathTouched(), LongPath(c.relative));
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixOpenTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PosixPlatformTest, PathOnAnotherDriveIsNotFound) {
    ScopedHandle handle(
        platform_, platform_.CreateFileW(u"\\\\?\\C:\\Windows", kDirectoryAccess, kDirectoryShare,
                                         nullptr, win::kOpenExisting, kDirectoryFlags, nullptr));
    EXPECT_FALSE(handle.valid());
    EXPECT_EQ(platform_.GetLastError(), win::kErrorPathNotFound);
}

TEST_F(PosixPlatformTest, NameInOtherCaseFindsTheFileOnDisk) {
    WriteTextFile(scratch_ / "release.signed", "inventory");
    uint32_t error = 0;
    const ScopedHandle handle =
        Open("RELEASE.signed", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    ASSERT_EQ(error, 0u);
    char buffer[16] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform_.ReadFile(handle.get(), buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "inventory");
}

TEST_F(PosixPlatformTest, ExactNameWinsOverItsCaseAliases) {
    WriteTextFile(scratch_ / "Name.txt", "mixed");
    WriteTextFile(scratch_ / "name.txt", "lower");
    for (const auto& [relative, expected] :
         std::map<std::string, std::string>{{"name.txt", "lower"}, {"Name.txt", "mixed"}}) {
        uint32_t error = 0;
        const ScopedHandle handle =
            Open(relative, win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
        ASSERT_EQ(error, 0u) << relative;
        char buffer[16] = {};
        uint32_t read = 0;
        ASSERT_TRUE(platform_.ReadFile(handle.get(), buffer, sizeof buffer, &read));
        EXPECT_EQ(std::string(buffer, read), expected) << relative;
    }
}

// --- what an open object reports -----------------------------------------------------------

struct ObjectCase {
    const char* name;
    const char* relative;
    uint32_t access;
    uint32_t flags;
    uint32_t attributes;
    uint64_t size;
    uint32_t links;
};

const ObjectCase kObjectCases[] = {
    {"directory_held_as_the_guard_does", "d", kDirectoryAccess, kDirectoryFlags,
     win::kFileAttributeDirectory, 0, 1},
    {"empty_directory", "e", kDirectoryAccess, kDirectoryFlags, win::kFileAttributeDirectory, 0, 1},
    {"file_opened_as_the_guard_does", "f.txt", win::kGenericRead, kFileFlags, kFileAttributeNormal,
     10, 1},
    {"file_opened_as_a_directory_hold", "f.txt", kDirectoryAccess, kDirectoryFlags,
     kFileAttributeNormal, 10, 1},
    {"hard_link_through_first_name", "h1.txt", win::kGenericRead, kFileFlags, kFileAttributeNormal,
     6, 2},
    {"hard_link_through_second_name", "h2.txt", win::kGenericRead, kFileFlags, kFileAttributeNormal,
     6, 2},
    {"file_link_opened_as_itself", "file-link", win::kGenericRead, kFileFlags,
     win::kFileAttributeReparsePoint, 0, 1},
    {"directory_link_opened_as_itself", "dir-link", kDirectoryAccess, kDirectoryFlags,
     win::kFileAttributeReparsePoint | win::kFileAttributeDirectory, 0, 1},
    {"dangling_link_opened_as_itself", "dangling", win::kGenericRead, kFileFlags,
     win::kFileAttributeReparsePoint, 0, 1},
    {"file_link_followed", "file-link", win::kGenericRead, 0, kFileAttributeNormal, 10, 1},
    {"directory_link_followed", "dir-link", kDirectoryAccess, kFollowFlags,
     win::kFileAttributeDirectory, 0, 1},
};

class PosixObjectTest : public PosixPlatformTest,
                        public ::testing::WithParamInterface<ObjectCase> {};

TEST_P(PosixObjectTest, ReportsKindSizeAndLinks) {
    const ObjectCase& c = GetParam();
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle handle = Open(c.relative, c.access, win::kOpenExisting, c.flags, &error);
    ASSERT_EQ(error, 0u);
    const FileInformation information = Information(handle.get());
    EXPECT_EQ(information.attributes, c.attributes);
    EXPECT_EQ(information.size(), c.size);
    EXPECT_EQ(information.numberOfLinks, c.links);
    EXPECT_EQ(platform_.GetFileType(handle.get()), win::kFileTypeDisk);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixObjectTest, ::testing::ValuesIn(kObjectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PosixPlatformTest, HardLinkNamesShareVolumeAndIndexOtherFilesDoNot) {
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle a =
        Open("h1.txt", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    const ScopedHandle b =
        Open("h2.txt", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    const ScopedHandle c = Open("f.txt", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    const FileInformation first = Information(a.get());
    const FileInformation second = Information(b.get());
    const FileInformation other = Information(c.get());
    EXPECT_EQ(first.volumeSerialNumber, second.volumeSerialNumber);
    EXPECT_EQ(first.indexHigh, second.indexHigh);
    EXPECT_EQ(first.indexLow, second.indexLow);
    EXPECT_EQ(first.volumeSerialNumber, other.volumeSerialNumber);
    EXPECT_TRUE(first.indexHigh != other.indexHigh || first.indexLow != other.indexLow);
}

TEST_F(PosixPlatformTest, FifoIsNotADiskFile) {
    ASSERT_EQ(mkfifo((scratch_ / "pipe").c_str(), 0600), 0);
    uint32_t error = 0;
    const ScopedHandle handle =
        Open("pipe", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    ASSERT_EQ(error, 0u);                                // opened without touching the FIFO's data
    EXPECT_EQ(platform_.GetFileType(handle.get()), 3u);  // FILE_TYPE_PIPE
}

// --- reading and seeking ------------------------------------------------------------------------

struct FileStep {
    enum class Kind { Read, Seek, SeekWithoutPosition };
    const char* name;
    Kind kind;
    int64_t amount;
    uint32_t method;
    std::string bytes;
    int64_t position;
    uint32_t error;
};

using Step = FileStep::Kind;

const FileStep kFileSteps[] = {
    {"first_read", Step::Read, 4, 0, "0123", 0, 0},
    {"second_read_continues", Step::Read, 4, 0, "4567", 0, 0},
    {"read_across_the_end_is_short", Step::Read, 4, 0, "89", 0, 0},
    {"read_at_the_end_is_empty", Step::Read, 4, 0, "", 0, 0},
    {"rewind_as_the_digest_does", Step::SeekWithoutPosition, 0, win::kFileBegin, "", 0, 0},
    {"read_after_rewind", Step::Read, 3, 0, "012", 0, 0},
    {"seek_back_from_the_end", Step::Seek, -2, kFileEnd, "", 8, 0},
    {"read_the_tail", Step::Read, 100, 0, "89", 0, 0},
    {"seek_relative", Step::Seek, -5, kFileCurrent, "", 5, 0},
    {"read_the_middle", Step::Read, 2, 0, "56", 0, 0},
    {"seek_before_the_start_fails", Step::Seek, -100, kFileCurrent, "", 0, kErrorNegativeSeek},
    {"failed_seek_keeps_the_position", Step::Read, 1, 0, "7", 0, 0},
    {"unknown_move_method_fails", Step::Seek, 0, 7, "", 0, win::kErrorInvalidParameter},
    {"seek_past_the_end", Step::Seek, 20, win::kFileBegin, "", 20, 0},
    {"read_past_the_end_is_empty", Step::Read, 1, 0, "", 0, 0},
};

TEST_F(PosixPlatformTest, ReadsFromThePositionThatSeeksMove) {
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle file =
        Open("f.txt", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    ASSERT_EQ(error, 0u);
    for (const FileStep& step : kFileSteps) {
        SCOPED_TRACE(step.name);
        if (step.kind == Step::Read) {
            std::vector<char> buffer(static_cast<std::size_t>(step.amount), '#');
            uint32_t read = 99;
            ASSERT_TRUE(platform_.ReadFile(file.get(), buffer.data(),
                                           static_cast<uint32_t>(step.amount), &read));
            EXPECT_EQ(std::string(buffer.data(), read), step.bytes);
            continue;
        }
        int64_t position = -1;
        const bool ok = platform_.SetFilePointerEx(
            file.get(), step.amount, step.kind == Step::Seek ? &position : nullptr, step.method);
        EXPECT_EQ(ok, step.error == 0);
        if (!ok) {
            EXPECT_EQ(platform_.GetLastError(), step.error);
        } else if (step.kind == Step::Seek) {
            EXPECT_EQ(position, step.position);
        }
    }
}

struct RefusedIoCase {
    const char* name;
    const char* relative;
    uint32_t access;
    uint32_t flags;
    bool write;
    uint32_t error;
};

const RefusedIoCase kRefusedIoCases[] = {
    {"write_through_read_handle", "f.txt", win::kGenericRead, kFileFlags, true,
     win::kErrorAccessDenied},
    {"read_through_attribute_handle", "f.txt", win::kFileReadAttributes, kFileFlags, false,
     win::kErrorAccessDenied},
    {"read_of_link_opened_as_itself", "file-link", win::kGenericRead, kFileFlags, false,
     win::kErrorAccessDenied},
    {"read_of_directory_handle", "d", kDirectoryAccess, kDirectoryFlags, false,
     kErrorInvalidFunction},
};

class PosixRefusedIoTest : public PosixPlatformTest,
                           public ::testing::WithParamInterface<RefusedIoCase> {};

TEST_P(PosixRefusedIoTest, FailsWithWindowsError) {
    const RefusedIoCase& c = GetParam();
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle handle = Open(c.relative, c.access, win::kOpenExisting, c.flags, &error);
    ASSERT_EQ(error, 0u);
    char buffer[4] = {'a', 'b', 'c', 'd'};
    uint32_t count = 7;
    const bool ok = c.write ? platform_.WriteFile(handle.get(), buffer, 4, &count)
                            : platform_.ReadFile(handle.get(), buffer, 4, &count);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform_.GetLastError(), c.error);
    EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixRefusedIoTest, ::testing::ValuesIn(kRefusedIoCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- listing -------------------------------------------------------------------------------------

struct Listed {
    std::vector<FindData> entries;
    uint32_t endError = 0;
};

Listed List(Platform& platform, const WideString& pattern) {
    Listed listed;
    FindData entry;
    ScopedFindHandle search(platform, platform.FindFirstFileW(pattern.c_str(), &entry));
    if (!search) {
        ADD_FAILURE() << "FindFirstFileW failed with " << platform.GetLastError();
        return listed;
    }
    do {
        listed.entries.push_back(entry);
    } while (platform.FindNextFileW(search.get(), &entry));
    listed.endError = platform.GetLastError();
    EXPECT_TRUE(platform.FindClose(search.release()));
    return listed;
}

TEST_F(PosixPlatformTest, ListsDotsFirstThenEveryNameInItsOwnCaseWithLinksAsReparsePoints) {
    WriteTextFile(scratch_ / "list/Alpha.TXT", "12345");
    WriteTextFile(scratch_ / "list/beta.txt", "");
    WriteTextFile(scratch_ / "list/Gamma/inner.txt", "x");
    ASSERT_EQ(symlink("Gamma", (scratch_ / "list/to-gamma").c_str()), 0);
    ASSERT_EQ(symlink("beta.txt", (scratch_ / "list/to-beta").c_str()), 0);

    const Listed listed = List(platform_, LongPath("list") + u"\\*");
    EXPECT_EQ(listed.endError, win::kErrorNoMoreFiles);
    ASSERT_EQ(listed.entries.size(), 7u);
    EXPECT_EQ(Narrow(listed.entries[0].name), ".");
    EXPECT_EQ(Narrow(listed.entries[1].name), "..");
    std::map<std::string, FindData> names;
    for (std::size_t k = 2; k < listed.entries.size(); ++k) {
        names[Narrow(listed.entries[k].name)] = listed.entries[k];
    }
    const std::map<std::string, uint32_t> expected = {
        {"Alpha.TXT", kFileAttributeNormal},
        {"beta.txt", kFileAttributeNormal},
        {"Gamma", win::kFileAttributeDirectory},
        {"to-gamma", win::kFileAttributeReparsePoint | win::kFileAttributeDirectory},
        {"to-beta", win::kFileAttributeReparsePoint},
    };
    ASSERT_EQ(names.size(), expected.size());
    for (const auto& [name, attributes] : expected) {
        ASSERT_EQ(names.count(name), 1u) << name;
        EXPECT_EQ(names[name].attributes, attributes) << name;
    }
    EXPECT_EQ(names["Alpha.TXT"].sizeLow, 5u);
    // The last entry returned is what a failure would be reported against.
    EXPECT_EQ(platform_.LastPathTouched(), LongPath("list\\") + listed.entries.back().name);
}

TEST_F(PosixPlatformTest, EmptyDirectoryListsOnlyDots) {
    MakeDirectories(scratch_ / "empty");
    const Listed listed = List(platform_, LongPath("empty") + u"\\*");
    ASSERT_EQ(listed.entries.size(), 2u);
    EXPECT_EQ(Narrow(listed.entries[0].name), ".");
    EXPECT_EQ(Narrow(listed.entries[1].name), "..");
    EXPECT_EQ(listed.endError, win::kErrorNoMoreFiles);
}

TEST_F(PosixPlatformTest, DriveRootListsNoDots) {
    const Listed listed = List(platform_, u"\\\\?\\Z:\\*");
    ASSERT_FALSE(listed.entries.empty());
    for (const FindData& entry : listed.entries) {
        EXPECT_NE(Narrow(entry.name), ".");
        EXPECT_NE(Narrow(entry.name), "..");
    }
}

struct ListingFailureCase {
    const char* name;
    const char* pattern;  // relative
    uint32_t error;
};

const ListingFailureCase kListingFailureCases[] = {
    {"missing_directory", "missing\\*", win::kErrorPathNotFound},
    {"missing_parent", "missing\\deeper\\*", win::kErrorPathNotFound},
    {"no_name_matches", "d\\nomatch*", win::kErrorFileNotFound},
    {"listing_a_file", "f.txt\\*", kErrorDirectory},
    {"empty_mask", "d\\", win::kErrorFileNotFound},
};

class PosixListingFailureTest : public PosixPlatformTest,
                                public ::testing::WithParamInterface<ListingFailureCase> {};

TEST_P(PosixListingFailureTest, FailsWithWindowsError) {
    MakeTree();
    const WideString pattern = LongPath(GetParam().pattern);
    FindData entry;
    ScopedFindHandle search(platform_, platform_.FindFirstFileW(pattern.c_str(), &entry));
    EXPECT_FALSE(search.valid());
    EXPECT_EQ(platform_.GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixListingFailureTest, ::testing::ValuesIn(kListingFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PosixPlatformTest, MaskMatchesIgnoringCase) {
    MakeTree();
    const Listed listed = List(platform_, LongPath("D\\IN.*"));
    ASSERT_EQ(listed.entries.size(), 1u);
    EXPECT_EQ(Narrow(listed.entries[0].name), "in.txt");
}

// --- streams -------------------------------------------------------------------------------------

struct Streams {
    bool started = false;
    uint32_t error = 0;
    std::vector<StreamData> found;
};

Streams EnumerateStreams(Platform& platform, const WideString& path) {
    Streams streams;
    StreamData stream;
    ScopedFindHandle search(platform, platform.FindFirstStreamW(
                                          path.c_str(), win::kFindStreamInfoStandard, &stream, 0));
    streams.started = search.valid();
    if (!search) {
        streams.error = platform.GetLastError();
        return streams;
    }
    do {
        streams.found.push_back(stream);
    } while (platform.FindNextStreamW(search.get(), &stream));
    streams.error = platform.GetLastError();
    return streams;
}

TEST_F(PosixPlatformTest, FileHasOnlyTheUnnamedStream) {
    MakeTree();
    const Streams streams = EnumerateStreams(platform_, LongPath("f.txt"));
    ASSERT_TRUE(streams.started);
    ASSERT_EQ(streams.found.size(), 1u);
    EXPECT_EQ(Narrow(streams.found[0].name), "::$DATA");
    EXPECT_EQ(streams.found[0].size, 10);
    EXPECT_EQ(streams.error, win::kErrorHandleEof);
}

TEST_F(PosixPlatformTest, DirectoryHasNoStream) {
    MakeTree();
    const Streams streams = EnumerateStreams(platform_, LongPath("d"));
    EXPECT_FALSE(streams.started);
    EXPECT_EQ(streams.error, win::kErrorHandleEof);
}

TEST_F(PosixPlatformTest, StreamsOfMissingFileAreNotFound) {
    const Streams streams = EnumerateStreams(platform_, LongPath("missing.txt"));
    EXPECT_FALSE(streams.started);
    EXPECT_EQ(streams.error, win::kErrorFileNotFound);
}

// --- handles -----------------------------------------------------------------------------------

TEST_F(PosixPlatformTest, EveryHandleKindClosesOnlyThroughItsOwnCall) {
    MakeTree();
    uint32_t error = 0;
    ScopedHandle file = Open("f.txt", win::kGenericRead, win::kOpenExisting, kFileFlags, &error);
    FindData entry;
    const WideString pattern = LongPath("d") + u"\\*";
    const Handle search = platform_.FindFirstFileW(pattern.c_str(), &entry);
    ASSERT_NE(search, kInvalidHandle);
    EXPECT_EQ(platform_.OpenHandleCount(), 2u);

    EXPECT_FALSE(platform_.FindClose(file.get()));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
    EXPECT_FALSE(platform_.CloseHandle(search));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
    EXPECT_TRUE(platform_.FindClose(search));
    const Handle raw = file.release();
    EXPECT_TRUE(platform_.CloseHandle(raw));
    EXPECT_FALSE(platform_.CloseHandle(raw));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
    EXPECT_EQ(platform_.OpenHandleCount(), 0u);
}

struct UnofferedCall {
    const char* name;
    std::function<bool(Platform&)> failed;  // true when the call returned its failure value
};

const UnofferedCall kUnofferedCalls[] = {
    {"SetDefaultDllDirectories", [](Platform& p) { return !p.SetDefaultDllDirectories(0x800); }},
    {"SetDllDirectoryW", [](Platform& p) { return !p.SetDllDirectoryW(u""); }},
    {"SetCurrentDirectoryW", [](Platform& p) { return !p.SetCurrentDirectoryW(u"Z:\\"); }},
    {"GetCommandLineW", [](Platform& p) { return p.GetCommandLineW() == nullptr; }},
    {"CommandLineToArgvW",
     [](Platform& p) {
         int count = 5;
         return p.CommandLineToArgvW(u"a b", &count) == nullptr && count == 0;
     }},
    {"GetModuleFileNameW",
     [](Platform& p) {
         WideChar buffer[8];
         return p.GetModuleFileNameW(nullptr, buffer, 8) == 0;
     }},
    {"GetFullPathNameW",
     [](Platform& p) {
         WideChar buffer[8];
         return p.GetFullPathNameW(u"x", 8, buffer, nullptr) == 0;
     }},
    {"GetSystemDirectoryW",
     [](Platform& p) {
         WideChar buffer[8];
         return p.GetSystemDirectoryW(buffer, 8) == 0;
     }},
    {"GetWindowsDirectoryW",
     [](Platform& p) {
         WideChar buffer[8];
         return p.GetWindowsDirectoryW(buffer, 8) == 0;
     }},
    {"MessageBoxW", [](Platform& p) { return p.MessageBoxW(nullptr, u"t", u"c", 0) == 0; }},
};

class PosixUnofferedCallTest : public ::testing::TestWithParam<UnofferedCall> {};

TEST_P(PosixUnofferedCallTest, FailsWithCallNotImplemented) {
    PosixPlatform platform;
    platform.SetLastError(0);
    EXPECT_TRUE(GetParam().failed(platform));
    EXPECT_EQ(platform.GetLastError(), kErrorCallNotImplemented);
}

INSTANTIATE_TEST_SUITE_P(Calls, PosixUnofferedCallTest, ::testing::ValuesIn(kUnofferedCalls),
                         [](const auto& info) { return std::string(info.param.name); });

struct CompareCase {
    const char* name;
    const char16_t* a;
    int countA;
    const char16_t* b;
    int countB;
    bool ignoreCase;
    int result;
};

const CompareCase kCompareCases[] = {
    {"equal", u"Z:\\pkg", -1, u"Z:\\pkg", -1, false, win::kCstrEqual},
    {"case_differs_ignored", u"Z:\\PKG", -1, u"z:\\pkg", -1, true, win::kCstrEqual},
    {"case_differs_counted", u"Z:\\PKG", -1, u"Z:\\pkg", -1, false, win::kCstrLessThan},
    {"prefix_by_count", u"Z:\\pkg\\sub", 6, u"Z:\\pkg", -1, false, win::kCstrEqual},
    {"shorter_sorts_first", u"Z:\\pk", -1, u"Z:\\pkg", -1, false, win::kCstrLessThan},
    {"greater", u"b", -1, u"a", -1, true, win::kCstrGreaterThan},
};

class PosixCompareTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(PosixCompareTest, ComparesCodeUnitsOrdinally) {
    const CompareCase& c = GetParam();
    PosixPlatform platform;
    EXPECT_EQ(platform.CompareStringOrdinal(c.a, c.countA, c.b, c.countB, c.ignoreCase), c.result);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixCompareTest, ::testing::ValuesIn(kCompareCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PosixPlatformCngTest, Sha256OfAbcThroughTheBootstrapsHash) {
    PosixPlatform platform;
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    EXPECT_EQ(DataDigest(platform, abc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// --- the bootstrap's guard and tree check over the real file system --------------------------

struct GuardCase {
    const char* name;
    std::function<void(const ScratchDirectory&)> make;  // below "pkg"
    std::function<void(GuardedDirectory&)> check;
    const char* code;
};

const GuardCase kGuardCases[] = {
    {"file_link_where_a_file_is_expected",
     [](const ScratchDirectory& s) {
         WriteTextFile(s / "outside.txt", "x");
         ASSERT_EQ(symlink((s / "outside.txt").c_str(), (s / "pkg/a.txt").c_str()), 0);
     },
     [](GuardedDirectory& g) { g.OpenFile("a.txt", 100); }, "REPARSE_POINT"},
    {"directory_link_on_the_way_to_a_file",
     [](const ScratchDirectory& s) {
         WriteTextFile(s / "outside/a.txt", "x");
         ASSERT_EQ(symlink((s / "outside").c_str(), (s / "pkg/sub").c_str()), 0);
     },
     [](GuardedDirectory& g) { g.OpenFile("sub/a.txt", 100); }, "REPARSE_POINT"},
    {"hard_link",
     [](const ScratchDirectory& s) {
         WriteTextFile(s / "pkg/a.txt", "x");
         ASSERT_EQ(link((s / "pkg/a.txt").c_str(), (s / "second-name").c_str()), 0);
     },
     [](GuardedDirectory& g) { g.OpenFile("a.txt", 100); }, "FILE_TYPE_OR_LINK"},
    {"directory_where_a_file_is_expected",
     [](const ScratchDirectory& s) { MakeDirectories(s / "pkg/a.txt"); },
     [](GuardedDirectory& g) { g.OpenFile("a.txt", 100); }, "FILE_OPEN"},
    {"file_over_the_limit", [](const ScratchDirectory& s) { WriteTextFile(s / "pkg/a.txt", "xx"); },
     [](GuardedDirectory& g) { g.OpenFile("a.txt", 1); }, "FILE_SIZE_LIMIT"},
    {"link_in_the_tree",
     [](const ScratchDirectory& s) {
         WriteTextFile(s / "pkg/a.txt", "x");
         ASSERT_EQ(symlink("a.txt", (s / "pkg/b.txt").c_str()), 0);
     },
     [](GuardedDirectory& g) {
         VerifyExactTree(g, {"a.txt", "b.txt"}, {});
     },
     "TREE_REPARSE"},
    {"file_in_other_case_in_the_tree",
     [](const ScratchDirectory& s) { WriteTextFile(s / "pkg/A.txt", "x"); },
     [](GuardedDirectory& g) { VerifyExactTree(g, {"a.txt"}, {}); }, "UNEXPECTED_FILE"},
    {"empty_directory_in_the_tree",
     [](const ScratchDirectory& s) {
         WriteTextFile(s / "pkg/a.txt", "x");
         MakeDirectories(s / "pkg/empty");
     },
     [](GuardedDirectory& g) { VerifyExactTree(g, {"a.txt"}, {}); }, "UNEXPECTED_DIRECTORY"},
    {"missing_file_in_the_tree",
     [](const ScratchDirectory& s) { WriteTextFile(s / "pkg/a.txt", "x"); },
     [](GuardedDirectory& g) {
         VerifyExactTree(g, {"a.txt", "b.txt"}, {});
     },
     "INCOMPLETE_TREE"},
    {"non_ascii_name_in_the_tree",
     [](const ScratchDirectory& s) { WriteTextFile(s / "pkg/caf\xC3\xA9.txt", "x"); },
     [](GuardedDirectory& g) { VerifyExactTree(g, {}, {}); }, "TREE_NAME"},
};

class PosixGuardTest : public ::testing::TestWithParam<GuardCase> {};

TEST_P(PosixGuardTest, BootstrapRefusesWhatTheDiskHolds) {
    const GuardCase& c = GetParam();
    ScratchDirectory scratch;
    MakeDirectories(scratch / "pkg");
    c.make(scratch);
    PosixPlatform platform;
    std::string code = "nothing thrown";
    try {
        GuardedDirectory guard(platform, *DrivePathFromLinux(scratch / "pkg"), 0);
        c.check(guard);
    } catch (const Failure& failure) {
        code = failure.code();
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixGuardTest, ::testing::ValuesIn(kGuardCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PosixGuardPassTest, MatchingTreePassesAndKeepsEveryFileHeld) {
    ScratchDirectory scratch;
    WriteTextFile(scratch / "pkg/a.txt", "x");
    WriteTextFile(scratch / "pkg/d/e/b.txt", "y");
    PosixPlatform platform;
    {
        GuardedDirectory guard(platform, *DrivePathFromLinux(scratch / "pkg"), 0);
        VerifyExactTree(guard, {"a.txt", "d/e/b.txt"}, {"d", "d/e"});
        const Handle first = guard.OpenFile("d/e/b.txt", 100);
        EXPECT_EQ(guard.OpenFile("d/e/b.txt", 100), first);
        EXPECT_EQ(FileDigest(guard, "a.txt", 1),
                  "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
        EXPECT_GT(platform.OpenHandleCount(), 0u);
    }
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace veltomarn::testing

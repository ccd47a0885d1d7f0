// What the guard, the file digest and the tree check rely on from the file, listing, stream and
// CNG calls, checked on a scratch directory against both implementations.
//
// Where Wine differs from Windows, the model follows Windows and the one case that shows the
// difference is skipped under Wine, with the reason.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "contract/contract_platform.h"
#include "platform/scoped_handle.h"

namespace veltomarn::testing {
namespace {

// The opens the guard makes: a held directory, a held file.
constexpr uint32_t kDirectoryAccess = win::kFileListDirectory | win::kFileReadAttributes;
constexpr uint32_t kDirectoryShare = win::kFileShareRead | win::kFileShareWrite;
constexpr uint32_t kDirectoryFlags = win::kFileFlagBackupSemantics | win::kFileFlagOpenReparsePoint;
constexpr uint32_t kFileFlags = win::kFileFlagSequentialScan | win::kFileFlagOpenReparsePoint;

constexpr uint32_t kShareAll = win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete;
constexpr uint32_t kFileWriteData = 0x2;
constexpr uint32_t kFileAppendData = 0x4;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorDirNotEmpty = 145;

constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023);
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);

const std::string kTenBytes = "0123456789";

std::string Narrow(const WideString& text) {
    return std::string(text.begin(), text.end());
}

// Failure messages name a table case by its name.
template <typename Case>
requires std::is_same_v<decltype(Case::name), const char*>
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class FileContract : public ::testing::Test {
  protected:
    Platform& platform() { return world_->platform(); }

    // "f.txt" (ten bytes), "d" holding "in.txt", the empty directory "e", and "h1.txt" with a
    // second name "h2.txt".
    void MakeTree() {
        world_->MakeFile(u"f.txt", kTenBytes);
        world_->MakeDirectory(u"d");
        world_->MakeFile(u"d\\in.txt", "inside");
        world_->MakeDirectory(u"e");
        world_->MakeFile(u"h1.txt", "linked");
        world_->MakeHardLink(u"h2.txt", u"h1.txt");
    }

    ScopedHandle Open(const WideString& relative, uint32_t access, uint32_t share,
                      uint32_t disposition, uint32_t flags, uint32_t* error) {
        const WideString path = world_->LongPath(relative);
        ScopedHandle handle(platform(), platform().CreateFileW(path.c_str(), access, share, nullptr,
                                                               disposition, flags, nullptr));
        *error = handle.valid() ? 0 : platform().GetLastError();
        return handle;
    }

    // An open that must succeed.
    ScopedHandle OpenOk(const WideString& relative, uint32_t access, uint32_t share,
                        uint32_t flags) {
        uint32_t error = 0;
        ScopedHandle handle = Open(relative, access, share, win::kOpenExisting, flags, &error);
        EXPECT_EQ(error, 0u) << Narrow(relative);
        return handle;
    }

    FileInformation Information(Handle handle) {
        FileInformation information;
        EXPECT_TRUE(platform().GetFileInformationByHandle(handle, &information));
        return information;
    }

    std::unique_ptr<ContractWorld> world_ = MakeContractWorld();
};

// --- opening: errors and what is admitted ------------------------------------------------------

struct OpenCase {
    const char* name;
    const WideChar* relative;
    uint32_t access;
    uint32_t share;
    uint32_t disposition;
    uint32_t flags;
    uint32_t error;  // 0: the open succeeds
};

const OpenCase kOpenCases[] = {
    {"missing_file", u"missing.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     win::kErrorFileNotFound},
    {"missing_directory", u"missing\\in.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     win::kErrorPathNotFound},
    {"file_used_as_directory", u"f.txt\\in.txt", win::kGenericRead, 1, win::kOpenExisting,
     kFileFlags, win::kErrorPathNotFound},
    {"directory_without_backup_semantics", u"d", win::kGenericRead, 1, win::kOpenExisting,
     kFileFlags, win::kErrorAccessDenied},
    {"create_new_on_existing_file", u"f.txt", win::kGenericWrite, 0, win::kCreateNew, 0,
     win::kErrorFileExists},
    {"create_new_on_existing_directory", u"d", win::kGenericWrite, 0, win::kCreateNew, 0,
     win::kErrorFileExists},
    {"create_new_in_missing_directory", u"missing\\new.txt", win::kGenericWrite, 0, win::kCreateNew,
     0, win::kErrorPathNotFound},
    {"dot_dot_behind_prefix", u"d\\..\\f.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"dot_behind_prefix", u"d\\.\\in.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"doubled_separator_behind_prefix", u"d\\\\in.txt", win::kGenericRead, 1, win::kOpenExisting,
     kFileFlags, kErrorInvalidName},
    {"slash_behind_prefix", u"d/in.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"trailing_separator_on_file", u"f.txt\\", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"wildcard_in_name", u"f*.txt", win::kGenericRead, 1, win::kOpenExisting, kFileFlags,
     kErrorInvalidName},
    {"other_letter_case", u"D\\IN.TXT", win::kGenericRead, 1, win::kOpenExisting, kFileFlags, 0},
    {"directory_with_trailing_separator", u"d\\", kDirectoryAccess, kDirectoryShare,
     win::kOpenExisting, kDirectoryFlags, 0},
    {"file_with_backup_semantics", u"f.txt", kDirectoryAccess, kDirectoryShare, win::kOpenExisting,
     kDirectoryFlags, 0},
};

class OpenContract : public FileContract, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenContract, AnswersAsWindows) {
    const OpenCase& c = GetParam();
    MakeTree();
    uint32_t error = 0;
    const ScopedHandle handle = Open(c.relative, c.access, c.share, c.disposition, c.flags, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(handle.valid(), c.error == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenContract, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- what an open object reports ----------------------------------------------------------------

struct ObjectCase {
    const char* name;
    const WideChar* relative;
    uint32_t access;
    uint32_t share;
    uint32_t flags;
    bool directory;
    uint64_t size;
    uint32_t links;
};

const ObjectCase kObjectCases[] = {
    {"directory_held_as_the_guard_does", u"d", kDirectoryAccess, kDirectoryShare, kDirectoryFlags,
     true, 0, 1},
    {"file_opened_as_the_guard_does", u"f.txt", win::kGenericRead, win::kFileShareRead, kFileFlags,
     false, 10, 1},
    // The guard's directory open admits a file, which its type check then refuses.
    {"file_opened_as_a_directory_hold", u"f.txt", kDirectoryAccess, kDirectoryShare,
     kDirectoryFlags, false, 10, 1},
    {"hard_link_through_first_name", u"h1.txt", win::kGenericRead, win::kFileShareRead, kFileFlags,
     false, 6, 2},
    {"hard_link_through_second_name", u"h2.txt", win::kGenericRead, win::kFileShareRead, kFileFlags,
     false, 6, 2},
};

class ObjectContract : public FileContract, public ::testing::WithParamInterface<ObjectCase> {};

TEST_P(ObjectContract, ReportsKindSizeAndLinks) {
    const ObjectCase& c = GetParam();
    MakeTree();
    const ScopedHandle handle = OpenOk(c.relative, c.access, c.share, c.flags);
    ASSERT_TRUE(handle.valid());
    const FileInformation information = Information(handle.get());
    EXPECT_EQ((information.attributes & win::kFileAttributeDirectory) != 0, c.directory);
    EXPECT_EQ(information.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_EQ(information.size(), c.size);
    EXPECT_EQ(information.numberOfLinks, c.links);
    EXPECT_EQ(platform().GetFileType(handle.get()), win::kFileTypeDisk);
}

INSTANTIATE_TEST_SUITE_P(Cases, ObjectContract, ::testing::ValuesIn(kObjectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileContract, HardLinkNamesAreOneFileUntilOneIsDeleted) {
    MakeTree();
    FileInformation first;
    FileInformation second;
    FileInformation other;
    {
        const ScopedHandle a = OpenOk(u"h1.txt", win::kGenericRead, kShareAll, kFileFlags);
        const ScopedHandle b = OpenOk(u"h2.txt", win::kGenericRead, kShareAll, kFileFlags);
        const ScopedHandle c = OpenOk(u"f.txt", win::kGenericRead, kShareAll, kFileFlags);
        first = Information(a.get());
        second = Information(b.get());
        other = Information(c.get());
    }
    EXPECT_EQ(first.volumeSerialNumber, second.volumeSerialNumber);
    EXPECT_EQ(first.indexHigh, second.indexHigh);
    EXPECT_EQ(first.indexLow, second.indexLow);
    EXPECT_EQ(first.volumeSerialNumber, other.volumeSerialNumber);
    EXPECT_TRUE(first.indexHigh != other.indexHigh || first.indexLow != other.indexLow);

    uint32_t error = 0;
    ASSERT_TRUE(world_->DeleteElsewhere(u"h1.txt", &error)) << error;
    const ScopedHandle remaining = OpenOk(u"h2.txt", win::kGenericRead, kShareAll, kFileFlags);
    EXPECT_EQ(Information(remaining.get()).numberOfLinks, 1u);
}

// --- share modes
// ----------------------------------------------------------------------------------

struct ShareCase {
    const char* name;
    const WideChar* first;
    uint32_t firstAccess;
    uint32_t firstShare;
    const WideChar* second;
    uint32_t secondAccess;
    uint32_t secondShare;
    uint32_t error;  // of the second open; 0: admitted
};

const ShareCase kShareCases[] = {
    // The guard's hold of a directory keeps deleters and renamers out, nobody else.
    {"directory_hold_refuses_delete", u"d", kDirectoryAccess, kDirectoryShare, u"d", win::kDelete,
     kShareAll, win::kErrorSharingViolation},
    {"directory_hold_refuses_read_and_delete", u"d", kDirectoryAccess, kDirectoryShare, u"d",
     win::kGenericRead | win::kDelete, kShareAll, win::kErrorSharingViolation},
    {"directory_hold_admits_write", u"d", kDirectoryAccess, kDirectoryShare, u"d",
     win::kGenericWrite, kShareAll, 0},
    {"directory_hold_admits_second_hold", u"d", kDirectoryAccess, kDirectoryShare, u"d",
     kDirectoryAccess, kDirectoryShare, 0},
    {"directory_hold_refuses_opener_denying_read", u"d", kDirectoryAccess, kDirectoryShare, u"d",
     kDirectoryAccess, win::kFileShareWrite | win::kFileShareDelete, win::kErrorSharingViolation},
    {"directory_hold_admits_attribute_reader_sharing_nothing", u"d", kDirectoryAccess,
     kDirectoryShare, u"d", win::kFileReadAttributes, 0, 0},
    {"directory_deleter_refuses_hold", u"d", win::kDelete, kShareAll, u"d", kDirectoryAccess,
     kDirectoryShare, win::kErrorSharingViolation},
    {"directory_writer_admits_hold", u"d", win::kGenericWrite, kShareAll, u"d", kDirectoryAccess,
     kDirectoryShare, 0},
    // The guard's hold of a file keeps writers and deleters out.
    {"file_hold_refuses_generic_write", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     win::kGenericWrite, kShareAll, win::kErrorSharingViolation},
    {"file_hold_refuses_write_data", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     kFileWriteData, kShareAll, win::kErrorSharingViolation},
    {"file_hold_refuses_append_data", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     kFileAppendData, kShareAll, win::kErrorSharingViolation},
    {"file_hold_refuses_delete", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     win::kDelete, kShareAll, win::kErrorSharingViolation},
    {"file_hold_admits_reader", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     win::kGenericRead, kShareAll, 0},
    {"file_hold_admits_second_hold", u"f.txt", win::kGenericRead, win::kFileShareRead, u"f.txt",
     win::kGenericRead, win::kFileShareRead, 0},
    {"file_hold_refuses_reader_denying_read", u"f.txt", win::kGenericRead, win::kFileShareRead,
     u"f.txt", win::kGenericRead, win::kFileShareWrite | win::kFileShareDelete,
     win::kErrorSharingViolation},
    {"file_hold_admits_attribute_reader_sharing_nothing", u"f.txt", win::kGenericRead,
     win::kFileShareRead, u"f.txt", win::kFileReadAttributes, 0, 0},
    // An earlier opener that already writes or deletes makes the guard's own open fail.
    {"file_writer_refuses_hold", u"f.txt", win::kGenericWrite, kShareAll, u"f.txt",
     win::kGenericRead, win::kFileShareRead, win::kErrorSharingViolation},
    {"file_deleter_refuses_hold", u"f.txt", win::kDelete, kShareAll, u"f.txt", win::kGenericRead,
     win::kFileShareRead, win::kErrorSharingViolation},
    {"exclusive_reader_refuses_hold", u"f.txt", win::kGenericRead, 0, u"f.txt", win::kGenericRead,
     win::kFileShareRead, win::kErrorSharingViolation},
    {"exclusive_attribute_reader_admits_hold", u"f.txt", win::kFileReadAttributes, 0, u"f.txt",
     win::kGenericRead, win::kFileShareRead, 0},
    // Share modes belong to the file, whichever name opened it.
    {"hard_link_name_shares_the_hold", u"h1.txt", win::kGenericRead, win::kFileShareRead, u"h2.txt",
     win::kGenericWrite, kShareAll, win::kErrorSharingViolation},
};

class ShareContract : public FileContract, public ::testing::WithParamInterface<ShareCase> {};

TEST_P(ShareContract, SecondOpenMeetsTheFirst) {
    const ShareCase& c = GetParam();
    MakeTree();
    ScopedHandle first = OpenOk(c.first, c.firstAccess, c.firstShare, kDirectoryFlags);
    ASSERT_TRUE(first.valid());
    uint32_t error = 0;
    ScopedHandle second =
        Open(c.second, c.secondAccess, c.secondShare, win::kOpenExisting, kDirectoryFlags, &error);
    EXPECT_EQ(error, c.error);
    if (c.error == 0) return;
    // Closing the first handle lifts the refusal.
    first.reset();
    second =
        Open(c.second, c.secondAccess, c.secondShare, win::kOpenExisting, kDirectoryFlags, &error);
    EXPECT_EQ(error, 0u) << "after the first handle was closed";
}

INSTANTIATE_TEST_SUITE_P(Cases, ShareContract, ::testing::ValuesIn(kShareCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- another process against what the program holds ---------------------------------------------

struct ElsewhereCase {
    enum class Action { Open, Delete, Rename };
    const char* name;
    const WideChar* held;  // opened by the program first, or null
    uint32_t heldAccess;
    uint32_t heldShare;
    Action action;
    const WideChar* target;
    const WideChar* renamedTo;  // Rename
    uint32_t access;            // Open
    uint32_t share;             // Open
    uint32_t error;             // 0: the attempt succeeds
    const char* wineDiffers;    // why the case is skipped under Wine, or null
};

using Action = ElsewhereCase::Action;

const ElsewhereCase kElsewhereCases[] = {
    {"held_file_refuses_delete", u"f.txt", win::kGenericRead, win::kFileShareRead, Action::Delete,
     u"f.txt", nullptr, 0, 0, win::kErrorSharingViolation, nullptr},
    {"held_file_refuses_rename", u"f.txt", win::kGenericRead, win::kFileShareRead, Action::Rename,
     u"f.txt", u"g.txt", 0, 0, win::kErrorSharingViolation, nullptr},
    {"held_file_refuses_writer", u"f.txt", win::kGenericRead, win::kFileShareRead, Action::Open,
     u"f.txt", nullptr, win::kGenericWrite, kShareAll, win::kErrorSharingViolation, nullptr},
    {"held_file_admits_reader", u"f.txt", win::kGenericRead, win::kFileShareRead, Action::Open,
     u"f.txt", nullptr, win::kGenericRead, kShareAll, 0, nullptr},
    {"held_directory_refuses_delete", u"e", kDirectoryAccess, kDirectoryShare, Action::Delete, u"e",
     nullptr, 0, 0, win::kErrorSharingViolation, nullptr},
    {"held_directory_refuses_rename", u"d", kDirectoryAccess, kDirectoryShare, Action::Rename, u"d",
     u"d2", 0, 0, win::kErrorSharingViolation, nullptr},
    {"file_in_held_directory_can_be_renamed", u"d", kDirectoryAccess, kDirectoryShare,
     Action::Rename, u"d\\in.txt", u"d\\renamed.txt", 0, 0, 0, nullptr},
    {"file_in_held_directory_can_be_deleted", u"d", kDirectoryAccess, kDirectoryShare,
     Action::Delete, u"d\\in.txt", nullptr, 0, 0, 0, nullptr},
    {"file_can_move_into_held_directory", u"d", kDirectoryAccess, kDirectoryShare, Action::Rename,
     u"f.txt", u"d\\f.txt", 0, 0, 0, nullptr},
    {"directory_with_open_file_refuses_rename", u"d\\in.txt", win::kGenericRead, kShareAll,
     Action::Rename, u"d", u"d2", 0, 0, win::kErrorAccessDenied,
     "Wine renames a directory while a file below it is open; Windows refuses"},
    {"non_empty_directory_refuses_delete", nullptr, 0, 0, Action::Delete, u"d", nullptr, 0, 0,
     kErrorDirNotEmpty, nullptr},
    {"rename_onto_existing_file", nullptr, 0, 0, Action::Rename, u"f.txt", u"h1.txt", 0, 0,
     kErrorAlreadyExists, nullptr},
    {"rename_onto_existing_directory", nullptr, 0, 0, Action::Rename, u"f.txt", u"d", 0, 0,
     kErrorAlreadyExists, nullptr},
    {"delete_of_missing_file", nullptr, 0, 0, Action::Delete, u"missing.txt", nullptr, 0, 0,
     win::kErrorFileNotFound, nullptr},
    {"rename_of_missing_file", nullptr, 0, 0, Action::Rename, u"missing.txt", u"x.txt", 0, 0,
     win::kErrorFileNotFound, nullptr},
};

class ElsewhereContract : public FileContract,
                          public ::testing::WithParamInterface<ElsewhereCase> {};

TEST_P(ElsewhereContract, MeetsWhatIsHeld) {
    const ElsewhereCase& c = GetParam();
    if (c.wineDiffers != nullptr && world_->RunsUnderWine()) GTEST_SKIP() << c.wineDiffers;
    MakeTree();
    ScopedHandle held;
    if (c.held != nullptr) {
        held = OpenOk(c.held, c.heldAccess, c.heldShare, kDirectoryFlags);
        ASSERT_TRUE(held.valid());
    }
    uint32_t error = 0;
    bool ok = false;
    switch (c.action) {
        case Action::Open:
            ok = world_->OpenElsewhere(c.target, c.access, c.share, &error);
            break;
        case Action::Delete:
            ok = world_->DeleteElsewhere(c.target, &error);
            break;
        case Action::Rename:
            ok = world_->RenameElsewhere(c.target, c.renamedTo, &error);
            break;
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ok, c.error == 0);
    if (!ok || c.action != Action::Rename) return;
    // The object went to its new name.
    uint32_t openError = 0;
    Open(c.renamedTo, win::kFileReadAttributes, kShareAll, win::kOpenExisting, kDirectoryFlags,
         &openError);
    EXPECT_EQ(openError, 0u) << "new name";
    Open(c.target, win::kFileReadAttributes, kShareAll, win::kOpenExisting, kDirectoryFlags,
         &openError);
    EXPECT_EQ(openError, win::kErrorFileNotFound) << "old name";
}

INSTANTIATE_TEST_SUITE_P(Cases, ElsewhereContract, ::testing::ValuesIn(kElsewhereCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- listing ------------------------------------------------------------------------------------

struct Listed {
    std::vector<FindData> entries;
    uint32_t endError = 0;
};

class ListingContract : public FileContract {
  protected:
    // Lists a directory to the end; the search handle is closed.
    Listed List(const WideString& relative) {
        Listed listed;
        const WideString pattern = world_->LongPath(relative) + u"\\*";
        FindData entry;
        ScopedFindHandle search(platform(), platform().FindFirstFileW(pattern.c_str(), &entry));
        if (!search) {
            ADD_FAILURE() << "FindFirstFileW failed with " << platform().GetLastError();
            return listed;
        }
        do {
            listed.entries.push_back(entry);
        } while (platform().FindNextFileW(search.get(), &entry));
        listed.endError = platform().GetLastError();
        EXPECT_TRUE(platform().FindClose(search.release()));
        return listed;
    }
};

TEST_F(ListingContract, ListsDotsFirstThenEveryNameInItsOwnCase) {
    world_->MakeDirectory(u"list");
    world_->MakeFile(u"list\\Alpha.TXT", "12345");
    world_->MakeFile(u"list\\beta.txt", "");
    world_->MakeDirectory(u"list\\Gamma");
    world_->MakeFile(u"list\\Gamma\\inner.txt", "x");

    const Listed listed = List(u"list");
    EXPECT_EQ(listed.endError, win::kErrorNoMoreFiles);
    ASSERT_EQ(listed.entries.size(), 5u);
    EXPECT_EQ(Narrow(listed.entries[0].name), ".");
    EXPECT_EQ(Narrow(listed.entries[1].name), "..");
    EXPECT_NE(listed.entries[0].attributes & win::kFileAttributeDirectory, 0u);
    EXPECT_NE(listed.entries[1].attributes & win::kFileAttributeDirectory, 0u);

    // The file system decides the order of the names; their spelling and kind are fixed.
    std::map<std::string, FindData> names;
    for (std::size_t k = 2; k < listed.entries.size(); ++k) {
        names[Narrow(listed.entries[k].name)] = listed.entries[k];
    }
    ASSERT_EQ(names.size(), 3u);
    ASSERT_EQ(names.count("Alpha.TXT"), 1u);
    ASSERT_EQ(names.count("beta.txt"), 1u);
    ASSERT_EQ(names.count("Gamma"), 1u);
    EXPECT_EQ(names["Alpha.TXT"].attributes & win::kFileAttributeDirectory, 0u);
    EXPECT_EQ(names["Alpha.TXT"].sizeLow, 5u);
    EXPECT_EQ(names["beta.txt"].attributes & win::kFileAttributeDirectory, 0u);
    EXPECT_NE(names["Gamma"].attributes & win::kFileAttributeDirectory, 0u);
    for (const auto& [name, entry] : names) {
        EXPECT_EQ(entry.attributes & win::kFileAttributeReparsePoint, 0u) << name;
    }
}

TEST_F(ListingContract, EmptyDirectoryListsOnlyDots) {
    world_->MakeDirectory(u"empty");
    const Listed listed = List(u"empty");
    ASSERT_EQ(listed.entries.size(), 2u);
    EXPECT_EQ(Narrow(listed.entries[0].name), ".");
    EXPECT_EQ(Narrow(listed.entries[1].name), "..");
    EXPECT_EQ(listed.endError, win::kErrorNoMoreFiles);
}

struct ListingFailureCase {
    const char* name;
    const WideChar* pattern;  // relative
    uint32_t error;
};

const ListingFailureCase kListingFailureCases[] = {
    {"missing_directory", u"missing\\*", win::kErrorPathNotFound},
    {"missing_parent", u"missing\\deeper\\*", win::kErrorPathNotFound},
    {"no_name_matches", u"d\\nomatch*", win::kErrorFileNotFound},
};

class ListingFailureContract : public FileContract,
                               public ::testing::WithParamInterface<ListingFailureCase> {};

TEST_P(ListingFailureContract, FailsWithWindowsError) {
    MakeTree();
    const WideString pattern = world_->LongPath(GetParam().pattern);
    FindData entry;
    ScopedFindHandle search(platform(), platform().FindFirstFileW(pattern.c_str(), &entry));
    EXPECT_FALSE(search.valid());
    EXPECT_EQ(platform().GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, ListingFailureContract, ::testing::ValuesIn(kListingFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- streams ------------------------------------------------------------------------------------

struct Streams {
    bool started = false;
    uint32_t error = 0;  // of the failed start, or of the end of the enumeration
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
    EXPECT_TRUE(platform.FindClose(search.release()));
    return streams;
}

// Windows on NTFS reports the unnamed stream of a file first. A volume that keeps no streams (FAT,
// and Wine for every object) reports none at all: the enumeration does not start and the error is
// ERROR_HANDLE_EOF, which the stream check accepts as "nothing unexpected". Both are correct.
TEST_F(FileContract, PlainFileHasOnlyTheUnnamedStreamOrNoneAtAll) {
    MakeTree();
    const Streams streams = EnumerateStreams(platform(), world_->LongPath(u"f.txt"));
    EXPECT_EQ(streams.error, win::kErrorHandleEof);
    if (!streams.started) return;
    ASSERT_EQ(streams.found.size(), 1u);
    EXPECT_EQ(Narrow(streams.found[0].name), "::$DATA");
    EXPECT_EQ(streams.found[0].size, 10);
}

TEST_F(FileContract, DirectoryWithoutNamedStreamHasNoStream) {
    MakeTree();
    const Streams streams = EnumerateStreams(platform(), world_->LongPath(u"d"));
    EXPECT_FALSE(streams.started);
    EXPECT_EQ(streams.error, win::kErrorHandleEof);
}

TEST_F(FileContract, NamedStreamFollowsTheUnnamedOne) {
    MakeTree();
    if (!world_->MakeStream(u"f.txt", u"extra", "xyz")) {
        GTEST_SKIP() << "this file system keeps no named streams";
    }
    const Streams streams = EnumerateStreams(platform(), world_->LongPath(u"f.txt"));
    ASSERT_TRUE(streams.started);
    ASSERT_EQ(streams.found.size(), 2u);
    EXPECT_EQ(Narrow(streams.found[0].name), "::$DATA");
    EXPECT_EQ(streams.found[0].size, 10);
    EXPECT_EQ(Narrow(streams.found[1].name), ":extra:$DATA");
    EXPECT_EQ(streams.found[1].size, 3);
    EXPECT_EQ(streams.error, win::kErrorHandleEof);
}

TEST_F(FileContract, StreamsOfMissingFileAreNotFound) {
    if (world_->RunsUnderWine()) {
        GTEST_SKIP()
            << "Wine answers ERROR_HANDLE_EOF for any path; Windows reports the missing file";
    }
    const Streams streams = EnumerateStreams(platform(), world_->LongPath(u"missing.txt"));
    EXPECT_FALSE(streams.started);
    EXPECT_EQ(streams.error, win::kErrorFileNotFound);
}

// --- reading, seeking, writing -----------------------------------------------------------------

struct FileStep {
    enum class Kind { Read, Seek, SeekWithoutPosition };
    const char* name;
    Kind kind;
    int64_t amount;   // bytes to read, or distance
    uint32_t method;  // Seek
    std::string bytes;
    int64_t position;  // Seek: the new position
    uint32_t error;    // 0: the step succeeds
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

TEST_F(FileContract, ReadsFromThePositionThatSeeksMove) {
    MakeTree();
    const ScopedHandle file = OpenOk(u"f.txt", win::kGenericRead, win::kFileShareRead, kFileFlags);
    ASSERT_TRUE(file.valid());
    for (const FileStep& step : kFileSteps) {
        SCOPED_TRACE(step.name);
        if (step.kind == Step::Read) {
            std::vector<char> buffer(static_cast<std::size_t>(step.amount), '#');
            uint32_t read = 99;
            ASSERT_TRUE(platform().ReadFile(file.get(), buffer.data(),
                                            static_cast<uint32_t>(step.amount), &read));
            EXPECT_EQ(std::string(buffer.data(), read), step.bytes);
            continue;
        }
        int64_t position = -1;
        const bool ok = platform().SetFilePointerEx(
            file.get(), step.amount, step.kind == Step::Seek ? &position : nullptr, step.method);
        EXPECT_EQ(ok, step.error == 0);
        if (!ok) {
            EXPECT_EQ(platform().GetLastError(), step.error);
        } else if (step.kind == Step::Seek) {
            EXPECT_EQ(position, step.position);
        }
    }
}

TEST_F(FileContract, CreateNewMakesAFileThatWriteFileFills) {
    uint32_t error = 0;
    {
        const ScopedHandle file =
            Open(u"new.bin", win::kGenericRead | win::kGenericWrite, 0, win::kCreateNew, 0, &error);
        ASSERT_EQ(error, 0u);
        uint32_t written = 0;
        ASSERT_TRUE(platform().WriteFile(file.get(), "hello", 5, &written));
        EXPECT_EQ(written, 5u);
        const FileInformation information = Information(file.get());
        EXPECT_EQ(information.size(), 5u);
        EXPECT_EQ(information.numberOfLinks, 1u);
        EXPECT_EQ(information.attributes & win::kFileAttributeDirectory, 0u);
        ASSERT_TRUE(platform().SetFilePointerEx(file.get(), 0, nullptr, win::kFileBegin));
        char buffer[16] = {};
        uint32_t read = 0;
        ASSERT_TRUE(platform().ReadFile(file.get(), buffer, sizeof buffer, &read));
        EXPECT_EQ(std::string(buffer, read), "hello");
    }
    const ScopedHandle again = Open(u"new.bin", win::kGenericWrite, 0, win::kCreateNew, 0, &error);
    EXPECT_EQ(error, win::kErrorFileExists);
    const ScopedHandle reopened =
        OpenOk(u"new.bin", win::kGenericRead, win::kFileShareRead, kFileFlags);
    char buffer[16] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform().ReadFile(reopened.get(), buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "hello");
}

struct RefusedIoCase {
    const char* name;
    const WideChar* relative;
    uint32_t access;
    uint32_t flags;
    bool write;
    uint32_t error;
};

const RefusedIoCase kRefusedIoCases[] = {
    {"write_through_read_handle", u"f.txt", win::kGenericRead, kFileFlags, true,
     win::kErrorAccessDenied},
    {"read_through_write_handle", u"f.txt", win::kGenericWrite, kFileFlags, false,
     win::kErrorAccessDenied},
    {"read_of_directory_handle", u"d", kDirectoryAccess, kDirectoryFlags, false,
     kErrorInvalidFunction},
};

class RefusedIoContract : public FileContract,
                          public ::testing::WithParamInterface<RefusedIoCase> {};

TEST_P(RefusedIoContract, FailsWithWindowsError) {
    const RefusedIoCase& c = GetParam();
    MakeTree();
    const ScopedHandle handle = OpenOk(c.relative, c.access, kShareAll, c.flags);
    ASSERT_TRUE(handle.valid());
    char buffer[4] = {'a', 'b', 'c', 'd'};
    uint32_t count = 7;
    const bool ok = c.write ? platform().WriteFile(handle.get(), buffer, 4, &count)
                            : platform().ReadFile(handle.get(), buffer, 4, &count);
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform().GetLastError(), c.error);
    EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedIoContract, ::testing::ValuesIn(kRefusedIoCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- reparse points (where the file system can hold them) --------------------------------------

enum class LinkKind { FileLink, DirectoryLink, Junction };

struct LinkCase {
    const char* name;
    LinkKind kind;
};

const LinkCase kDirectoryLinkCases[] = {
    {"directory_symbolic_link", LinkKind::DirectoryLink},
    {"junction", LinkKind::Junction},
};

class LinkContract : public FileContract {
  protected:
    // Makes "link" pointing at "f.txt" (file link) or "d"; false where that cannot be.
    bool MakeLink(LinkKind kind) {
        MakeTree();
        switch (kind) {
            case LinkKind::FileLink:
                return world_->MakeSymbolicLink(u"link", u"f.txt", false);
            case LinkKind::DirectoryLink:
                return world_->MakeSymbolicLink(u"link", u"d", true);
            case LinkKind::Junction:
                return world_->MakeJunction(u"link", u"d");
        }
        return false;
    }

    FileInformation InformationOf(const WideString& relative, uint32_t access, uint32_t flags) {
        const ScopedHandle handle = OpenOk(relative, access, kShareAll, flags);
        return handle.valid() ? Information(handle.get()) : FileInformation{};
    }
};

TEST_F(LinkContract, FileLinkOpensAsItselfWhenAskedNotToFollow) {
    if (!MakeLink(LinkKind::FileLink)) GTEST_SKIP() << "no symbolic links here";
    const FileInformation link = InformationOf(u"link", win::kGenericRead, kFileFlags);
    EXPECT_NE(link.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_EQ(link.attributes & win::kFileAttributeDirectory, 0u);
}

TEST_F(LinkContract, FileLinkIsFollowedOtherwise) {
    if (!MakeLink(LinkKind::FileLink)) GTEST_SKIP() << "no symbolic links here";
    const FileInformation followed = InformationOf(u"link", win::kGenericRead, 0);
    const FileInformation target = InformationOf(u"f.txt", win::kGenericRead, 0);
    EXPECT_EQ(followed.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_EQ(followed.size(), 10u);
    EXPECT_EQ(followed.indexLow, target.indexLow);
    EXPECT_EQ(followed.indexHigh, target.indexHigh);
}

class DirectoryLinkContract : public LinkContract,
                              public ::testing::WithParamInterface<LinkCase> {};

TEST_P(DirectoryLinkContract, HoldOpensTheLinkItself) {
    if (!MakeLink(GetParam().kind)) GTEST_SKIP() << "no such reparse point here";
    const FileInformation link = InformationOf(u"link", kDirectoryAccess, kDirectoryFlags);
    EXPECT_NE(link.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_NE(link.attributes & win::kFileAttributeDirectory, 0u);
}

TEST_P(DirectoryLinkContract, IntermediateLinkIsAlwaysFollowed) {
    if (!MakeLink(GetParam().kind)) GTEST_SKIP() << "no such reparse point here";
    const FileInformation through = InformationOf(u"link\\in.txt", win::kGenericRead, kFileFlags);
    const FileInformation direct = InformationOf(u"d\\in.txt", win::kGenericRead, kFileFlags);
    EXPECT_EQ(through.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_EQ(through.indexLow, direct.indexLow);
    EXPECT_EQ(through.indexHigh, direct.indexHigh);
}

TEST_P(DirectoryLinkContract, ListingShowsTheLinkAsReparsePoint) {
    if (!MakeLink(GetParam().kind)) GTEST_SKIP() << "no such reparse point here";
    const WideString pattern = world_->LongPath(u"link");  // no wildcard: the entry itself
    FindData entry;
    ScopedFindHandle search(platform(), platform().FindFirstFileW(pattern.c_str(), &entry));
    ASSERT_TRUE(search.valid()) << platform().GetLastError();
    EXPECT_EQ(Narrow(entry.name), "link");
    EXPECT_NE(entry.attributes & win::kFileAttributeReparsePoint, 0u);
    EXPECT_NE(entry.attributes & win::kFileAttributeDirectory, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, DirectoryLinkContract, ::testing::ValuesIn(kDirectoryLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- SHA-256 through CNG ------------------------------------------------------------------------

std::vector<std::string> Pieces(const std::string& text, std::size_t piece) {
    std::vector<std::string> pieces;
    for (std::size_t k = 0; k < text.size(); k += piece) pieces.push_back(text.substr(k, piece));
    return pieces;
}

struct DigestCase {
    const char* name;
    std::vector<std::string> pieces;  // fed one BCryptHashData call each
    const char* hex;
};

const DigestCase kDigestCases[] = {
    {"empty_without_data", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"empty_piece_without_buffer",
     {""},
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", {"abc"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abc_in_pieces",
     {"a", "", "bc"},
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two_blocks",
     {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"},
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"million_a_in_digest_reads", Pieces(std::string(1000000, 'a'), 131072),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

std::string Hex(const uint8_t* bytes, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t k = 0; k < size; ++k) {
        text.push_back(kHex[bytes[k] >> 4]);
        text.push_back(kHex[bytes[k] & 0xF]);
    }
    return text;
}

class CngContract : public FileContract {
  protected:
    // The SHA-256 provider and its object length, as the hash object opens them.
    void OpenProvider() {
        ASSERT_EQ(platform_->BCryptOpenAlgorithmProvider(&provider_, u"SHA256", nullptr, 0), 0);
        uint32_t resultSize = 0;
        ASSERT_EQ(platform_->BCryptGetProperty(provider_, u"ObjectLength",
                                               reinterpret_cast<uint8_t*>(&objectLength_),
                                               sizeof objectLength_, &resultSize, 0),
                  0);
        EXPECT_EQ(resultSize, sizeof objectLength_);
        EXPECT_GT(objectLength_, 0u);
        EXPECT_LE(objectLength_, 1048576u);
    }

    void TearDown() override {
        if (provider_ != nullptr) {
            EXPECT_EQ(platform_->BCryptCloseAlgorithmProvider(provider_, 0), 0);
        }
    }

    Platform* platform_ = &platform();
    CngHandle provider_ = nullptr;
    uint32_t objectLength_ = 0;
};

class DigestContract : public CngContract, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DigestContract, GivesThePublishedDigest) {
    ASSERT_NO_FATAL_FAILURE(OpenProvider());
    std::vector<uint8_t> object(objectLength_, 0);
    CngHandle hash = nullptr;
    ASSERT_EQ(
        platform_->BCryptCreateHash(provider_, &hash, object.data(), objectLength_, nullptr, 0, 0),
        0);
    for (const std::string& piece : GetParam().pieces) {
        const auto* data = piece.empty() ? nullptr : reinterpret_cast<const uint8_t*>(piece.data());
        EXPECT_EQ(platform_->BCryptHashData(hash, data, static_cast<uint32_t>(piece.size()), 0), 0);
    }
    uint8_t digest[32] = {};
    EXPECT_EQ(platform_->BCryptFinishHash(hash, digest, sizeof digest, 0), 0);
    EXPECT_EQ(Hex(digest, sizeof digest), GetParam().hex);
    EXPECT_EQ(platform_->BCryptDestroyHash(hash), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, DigestContract, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CngContract, FinishRefusesAnOutputThatIsNotThirtyTwoBytes) {
    ASSERT_NO_FATAL_FAILURE(OpenProvider());
    std::vector<uint8_t> object(objectLength_, 0);
    CngHandle hash = nullptr;
    ASSERT_EQ(
        platform_->BCryptCreateHash(provider_, &hash, object.data(), objectLength_, nullptr, 0, 0),
        0);
    uint8_t digest[33] = {};
    for (const uint32_t size : {31u, 33u}) {
        EXPECT_EQ(platform_->BCryptFinishHash(hash, digest, size, 0), kStatusInvalidParameter)
            << size;
    }
    EXPECT_EQ(platform_->BCryptDestroyHash(hash), 0);
}

TEST_F(CngContract, UnknownAlgorithmIsNotFound) {
    if (world_->RunsUnderWine()) {
        GTEST_SKIP() << "Wine answers STATUS_NOT_IMPLEMENTED; Windows STATUS_NOT_FOUND";
    }
    CngHandle provider = nullptr;
    EXPECT_EQ(platform_->BCryptOpenAlgorithmProvider(&provider, u"NO-SUCH-HASH", nullptr, 0),
              kStatusNotFound);
}

TEST_F(CngContract, HashObjectBufferSmallerThanObjectLengthIsRefused) {
    if (world_->RunsUnderWine()) {
        GTEST_SKIP() << "Wine ignores the caller's hash object buffer; Windows checks its size";
    }
    ASSERT_NO_FATAL_FAILURE(OpenProvider());
    std::vector<uint8_t> object(objectLength_, 0);
    CngHandle hash = nullptr;
    EXPECT_EQ(platform_->BCryptCreateHash(provider_, &hash, object.data(), objectLength_ - 1,
                                          nullptr, 0, 0),
              kStatusBufferTooSmall);
}

}  // namespace
}  // namespace veltomarn::testing

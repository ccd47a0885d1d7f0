// What only the in-memory model offers (fault injection, actions on a call, observers of handles
// and CNG objects), and the Windows behaviour it models that the Wine run cannot show: network and
// missing-drive paths, MAX_PATH without the prefix, reparse-point resolution, named streams, the
// CNG checks that Wine leaves out.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/scoped_handle.h"
#include "support/memory_platform.h"

namespace veltomarn::testing {
namespace {

constexpr uint32_t kShareAll = win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete;
constexpr uint32_t kBackup = win::kFileFlagBackupSemantics;
constexpr uint32_t kInjectedError = 1234;
constexpr NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017);
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);

std::string Narrow(const WideString& text) {
    return std::string(text.begin(), text.end());
}

template <typename Case>
requires std::is_same_v<decltype(Case::name), const char*>
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class MemoryOnly : public ::testing::Test {
  protected:
    MemoryOnly() {
        platform_.AddFile(u"C:\\pkg\\a.txt", "abc");
        platform_.AddStream(u"C:\\pkg\\a.txt", u"Zone.Identifier", "[ZoneTransfer]");
        platform_.AddDirectory(u"C:\\pkg\\sub");
    }

    Handle Open(const WideString& path, uint32_t access, uint32_t share, uint32_t flags,
                uint32_t disposition = win::kOpenExisting) {
        return platform_.CreateFileW(path.c_str(), access, share, nullptr, disposition, flags,
                                     nullptr);
    }

    MemoryPlatform platform_;
};

// --- every file call can be failed once, then works again ----------------------------------------

struct FileCallCase {
    const char* name;
    // Makes one use of the call; true when it succeeded.
    std::function<bool(MemoryPlatform&, Handle file, Handle files, Handle streams)> use;
};

const FileCallCase kFileCallCases[] = {
    {"CreateFileW",
     [](MemoryPlatform& p, Handle, Handle, Handle) {
         return p.CreateFileW(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, kShareAll, nullptr,
                              win::kOpenExisting, 0, nullptr) != kInvalidHandle;
     }},
    {"ReadFile",
     [](MemoryPlatform& p, Handle file, Handle, Handle) {
         char byte = 0;
         uint32_t read = 0;
         return p.ReadFile(file, &byte, 1, &read);
     }},
    {"WriteFile",
     [](MemoryPlatform& p, Handle file, Handle, Handle) {
         uint32_t written = 0;
         return p.WriteFile(file, "x", 1, &written);
     }},
    {"SetFilePointerEx",
     [](MemoryPlatform& p, Handle file, Handle, Handle) {
         return p.SetFilePointerEx(file, 0, nullptr, win::kFileBegin);
     }},
    {"GetFileInformationByHandle",
     [](MemoryPlatform& p, Handle file, Handle, Handle) {
         FileInformation information;
         return p.GetFileInformationByHandle(file, &information);
     }},
    {"GetFileType", [](MemoryPlatform& p, Handle file, Handle,
                       Handle) { return p.GetFileType(file) == win::kFileTypeDisk; }},
    {"FindFirstFileW",
     [](MemoryPlatform& p, Handle, Handle, Handle) {
         FindData entry;
         return p.FindFirstFileW(u"\\\\?\\C:\\pkg\\*", &entry) != kInvalidHandle;
     }},
    {"FindNextFileW",
     [](MemoryPlatform& p, Handle, Handle files, Handle) {
         FindData entry;
         return p.FindNextFileW(files, &entry);
     }},
    {"FindFirstStreamW",
     [](MemoryPlatform& p, Handle, Handle, Handle) {
         StreamData stream;
         return p.FindFirstStreamW(u"\\\\?\\C:\\pkg\\a.txt", win::kFindStreamInfoStandard, &stream,
                                   0) != kInvalidHandle;
     }},
    {"FindNextStreamW",
     [](MemoryPlatform& p, Handle, Handle, Handle streams) {
         StreamData stream;
         return p.FindNextStreamW(streams, &stream);
     }},
    {"FindClose",
     [](MemoryPlatform& p, Handle, Handle files, Handle) { return p.FindClose(files); }},
    {"CloseHandle",
     [](MemoryPlatform& p, Handle file, Handle, Handle) { return p.CloseHandle(file); }},
};

class FileCallFault : public MemoryOnly, public ::testing::WithParamInterface<FileCallCase> {};

TEST_P(FileCallFault, FailsOnceWithTheInjectedError) {
    const Handle file =
        Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead | win::kGenericWrite, kShareAll, 0);
    FindData entry;
    const Handle files = platform_.FindFirstFileW(u"\\\\?\\C:\\pkg\\*", &entry);
    StreamData stream;
    const Handle streams = platform_.FindFirstStreamW(u"\\\\?\\C:\\pkg\\a.txt",
                                                      win::kFindStreamInfoStandard, &stream, 0);
    ASSERT_NE(file, kInvalidHandle);
    ASSERT_NE(files, kInvalidHandle);
    ASSERT_NE(streams, kInvalidHandle);

    const int before = platform_.CallCount(GetParam().name);
    platform_.FailCall(GetParam().name, kInjectedError);
    EXPECT_FALSE(GetParam().use(platform_, file, files, streams));
    EXPECT_EQ(platform_.GetLastError(), kInjectedError);
    EXPECT_TRUE(GetParam().use(platform_, file, files, streams)) << "the fault fires once";
    EXPECT_EQ(platform_.CallCount(GetParam().name), before + 2);
}

INSTANTIATE_TEST_SUITE_P(Calls, FileCallFault, ::testing::ValuesIn(kFileCallCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- every CNG call can be failed with a chosen status
// ---------------------------------------------

struct CngCallCase {
    const char* name;
    std::function<NtStatus(MemoryPlatform&, CngHandle provider, CngHandle hash)> use;
};

const CngCallCase kCngCallCases[] = {
    {"BCryptOpenAlgorithmProvider",
     [](MemoryPlatform& p, CngHandle, CngHandle) {
         CngHandle provider = nullptr;
         return p.BCryptOpenAlgorithmProvider(&provider, u"SHA256", nullptr, 0);
     }},
    {"BCryptGetProperty",
     [](MemoryPlatform& p, CngHandle provider, CngHandle) {
         uint32_t length = 0;
         uint32_t size = 0;
         return p.BCryptGetProperty(provider, u"ObjectLength", reinterpret_cast<uint8_t*>(&length),
                                    sizeof length, &size, 0);
     }},
    {"BCryptCreateHash",
     [](MemoryPlatform& p, CngHandle provider, CngHandle) {
         CngHandle hash = nullptr;
         return p.BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
     }},
    {"BCryptHashData",
     [](MemoryPlatform& p, CngHandle, CngHandle hash) {
         return p.BCryptHashData(hash, reinterpret_cast<const uint8_t*>("abc"), 3, 0);
     }},
    {"BCryptFinishHash",
     [](MemoryPlatform& p, CngHandle, CngHandle hash) {
         uint8_t digest[32];
         return p.BCryptFinishHash(hash, digest, sizeof digest, 0);
     }},
    {"BCryptDestroyHash",
     [](MemoryPlatform& p, CngHandle, CngHandle hash) { return p.BCryptDestroyHash(hash); }},
    {"BCryptCloseAlgorithmProvider",
     [](MemoryPlatform& p, CngHandle provider, CngHandle) {
         return p.BCryptCloseAlgorithmProvider(provider, 0);
     }},
};

class CngCallFault : public MemoryOnly, public ::testing::WithParamInterface<CngCallCase> {
  protected:
    void Prepare(CngHandle* provider, CngHandle* hash) {
        ASSERT_EQ(platform_.BCryptOpenAlgorithmProvider(provider, u"SHA256", nullptr, 0), 0);
        object_.assign(286, 0);
        ASSERT_EQ(platform_.BCryptCreateHash(*provider, hash, object_.data(), 286, nullptr, 0, 0),
                  0);
    }
    std::vector<uint8_t> object_;
};

TEST_P(CngCallFault, FailStatusReturnsThatStatusOnce) {
    CngHandle provider = nullptr;
    CngHandle hash = nullptr;
    ASSERT_NO_FATAL_FAILURE(Prepare(&provider, &hash));
    platform_.FailStatus(GetParam().name, kStatusNoMemory);
    EXPECT_EQ(GetParam().use(platform_, provider, hash), kStatusNoMemory);
    EXPECT_EQ(GetParam().use(platform_, provider, hash), 0) << "the fault fires once";
}

TEST_P(CngCallFault, FailCallReturnsUnsuccessful) {
    CngHandle provider = nullptr;
    CngHandle hash = nullptr;
    ASSERT_NO_FATAL_FAILURE(Prepare(&provider, &hash));
    platform_.FailCall(GetParam().name, kInjectedError);
    EXPECT_EQ(GetParam().use(platform_, provider, hash), kStatusUnsuccessful);
}

INSTANTIATE_TEST_SUITE_P(Calls, CngCallFault, ::testing::ValuesIn(kCngCallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryOnly, NthUseIsCountedFromNow) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, kShareAll, 0);
    platform_.FailCall("ReadFile", kInjectedError, 3);
    char byte = 0;
    uint32_t read = 0;
    EXPECT_TRUE(platform_.ReadFile(file, &byte, 1, &read));
    EXPECT_TRUE(platform_.ReadFile(file, &byte, 1, &read));
    EXPECT_FALSE(platform_.ReadFile(file, &byte, 1, &read));
    EXPECT_TRUE(platform_.ReadFile(file, &byte, 1, &read));
}

// --- actions on a call, short writes
// -----------------------------------------------------------------

TEST_F(MemoryOnly, OnCallChangesTheWorldBeforeTheCallProceeds) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, win::kFileShareRead, 0);
    // The file grows just before the second read, as another process might make it.
    platform_.OnCall(
        "ReadFile", [&] { platform_.AddFile(u"C:\\pkg\\a.txt", "abcdef"); }, 2);
    char buffer[8] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform_.ReadFile(file, buffer, 3, &read));
    EXPECT_EQ(std::string(buffer, read), "abc");
    ASSERT_TRUE(platform_.ReadFile(file, buffer, 8, &read));
    EXPECT_EQ(std::string(buffer, read), "def");
}

TEST_F(MemoryOnly, OnCallLeavesTheLastErrorAlone) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, win::kFileShareRead, 0);
    platform_.OnCall("ReadFile", [&] { EXPECT_FALSE(platform_.ForeignDelete(u"C:\\pkg\\a.txt")); });
    platform_.SetLastError(77);
    char byte = 0;
    uint32_t read = 0;
    EXPECT_TRUE(platform_.ReadFile(file, &byte, 1, &read));
    EXPECT_EQ(platform_.GetLastError(), 77u);
}

TEST_F(MemoryOnly, OnCallAndFaultOnOneUseBothHappen) {
    bool ran = false;
    platform_.OnCall("FindFirstFileW", [&] { ran = true; });
    platform_.FailCall("FindFirstFileW", kInjectedError);
    FindData entry;
    EXPECT_EQ(platform_.FindFirstFileW(u"\\\\?\\C:\\pkg\\*", &entry), kInvalidHandle);
    EXPECT_TRUE(ran);
    EXPECT_EQ(platform_.GetLastError(), kInjectedError);
}

TEST_F(MemoryOnly, ShortWriteSucceedsWithFewerBytes) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\new.bin", win::kGenericWrite, 0, 0, win::kCreateNew);
    ASSERT_NE(file, kInvalidHandle);
    platform_.ShortWrite(1, 2);
    uint32_t written = 0;
    EXPECT_TRUE(platform_.WriteFile(file, "hello", 5, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(platform_.WriteFile(file, "llo", 3, &written));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(platform_.FileBytes(u"C:\\pkg\\new.bin"), "hello");
}

// --- handles: what is open, and wrong closers
// --------------------------------------------------------

TEST_F(MemoryOnly, OpenHandlesAreCountedWithTheirPathsUntilClosed) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, kShareAll, 0);
    const Handle directory = Open(u"\\\\?\\C:\\pkg\\sub", 0x81, 3, kBackup);
    FindData entry;
    const Handle search = platform_.FindFirstFileW(u"\\\\?\\C:\\pkg\\*", &entry);
    platform_.ForeignOpen(u"C:\\pkg\\a.txt", win::kGenericRead, kShareAll);  // not the program's
    EXPECT_EQ(platform_.OpenHandleCount(), 3u);
    std::vector<std::string> paths;
    for (const WideString& path : platform_.OpenHandlePaths()) paths.push_back(Narrow(path));
    EXPECT_EQ(paths, (std::vector<std::string>{"\\\\?\\C:\\pkg\\a.txt", "\\\\?\\C:\\pkg\\sub",
                                               "\\\\?\\C:\\pkg\\*"}));

    // A search is not closed by CloseHandle, nor a file by FindClose.
    EXPECT_FALSE(platform_.CloseHandle(search));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
    EXPECT_FALSE(platform_.FindClose(file));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
    EXPECT_EQ(platform_.OpenHandleCount(), 3u);

    EXPECT_TRUE(platform_.CloseHandle(file));
    EXPECT_TRUE(platform_.CloseHandle(directory));
    EXPECT_TRUE(platform_.FindClose(search));
    EXPECT_EQ(platform_.OpenHandleCount(), 0u);
    EXPECT_FALSE(platform_.CloseHandle(file)) << "closed twice";
}

TEST_F(MemoryOnly, ForeignOpenHoldsUntilClosedAll) {
    ASSERT_TRUE(platform_.ForeignOpen(u"C:\\pkg\\a.txt", win::kGenericWrite, kShareAll));
    EXPECT_EQ(Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, win::kFileShareRead, 0),
              kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorSharingViolation);
    platform_.ForeignCloseAll();
    EXPECT_NE(Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, win::kFileShareRead, 0),
              kInvalidHandle);
}

// Current NTFS deletes with POSIX semantics: the name goes at once, open handles keep the data.
TEST_F(MemoryOnly, DeletedNameDisappearsWhileAnOpenHandleStillReads) {
    const Handle file = Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, kShareAll, 0);
    ASSERT_TRUE(platform_.ForeignDelete(u"C:\\pkg\\a.txt"));
    EXPECT_FALSE(platform_.Exists(u"C:\\pkg\\a.txt"));
    EXPECT_EQ(Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericRead, kShareAll, 0), kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorFileNotFound);
    char buffer[4] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform_.ReadFile(file, buffer, 4, &read));
    EXPECT_EQ(std::string(buffer, read), "abc");
    FileInformation information;
    ASSERT_TRUE(platform_.GetFileInformationByHandle(file, &information));
    EXPECT_EQ(information.numberOfLinks, 0u);
}

TEST_F(MemoryOnly, DirectoryCannotMoveIntoItself) {
    EXPECT_FALSE(platform_.ForeignRename(u"C:\\pkg", u"C:\\pkg\\sub\\pkg"));
    EXPECT_EQ(platform_.GetLastError(), win::kErrorAccessDenied);
}

// --- paths that Wine answers differently or cannot hold
// --------------------------------------------

struct PathCase {
    const char* name;
    WideString path;
    uint32_t flags;
    uint32_t error;  // 0: opens
};

const PathCase kPathCases[] = {
    {"unc_path_without_network", u"\\\\server\\share\\a.txt", 0, 53},
    {"prefixed_unc_path_without_network", u"\\\\?\\UNC\\server\\share\\a.txt", 0, 53},
    {"missing_drive", u"\\\\?\\Q:\\a.txt", 0, win::kErrorPathNotFound},
    {"plain_path_is_normalised", u"C:/pkg/./sub/../a.txt", 0, 0},
    {"relative_path_uses_current_directory", u"a.txt", 0, 0},
    {"drive_relative_path_uses_current_directory", u"C:a.txt", 0, 0},
    // Without the prefix a path must fit MAX_PATH with its null: 259 units are looked up, 260
    // are refused before any lookup.
    {"plain_path_of_259_units_is_looked_up", u"C:\\pkg\\" + WideString(252, u'x'), 0,
     win::kErrorFileNotFound},
    {"plain_path_of_260_units_is_refused", u"C:\\pkg\\" + WideString(253, u'x'), 0,
     win::kErrorPathNotFound},
    {"prefixed_path_beyond_max_path_opens", u"\\\\?\\C:\\pkg\\deep\\" + WideString(250, u'y'), 0,
     0},
    {"component_over_255_units", u"\\\\?\\C:\\pkg\\" + WideString(256, u'z'), 0, 123},
    {"colon_in_name", u"\\\\?\\C:\\pkg\\a.txt:extra", 0, 123},
    {"dangling_link_followed", u"\\\\?\\C:\\pkg\\dangling", 0, win::kErrorFileNotFound},
    {"dangling_link_opened_as_itself", u"\\\\?\\C:\\pkg\\dangling", win::kFileFlagOpenReparsePoint,
     0},
    {"link_loop", u"\\\\?\\C:\\pkg\\loop\\a.txt", 0, 1921},
    {"relative_link_target", u"\\\\?\\C:\\pkg\\relative", 0, 0},
};

class PathForm : public MemoryOnly, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathForm, OpensAsWindowsWould) {
    platform_.process.currentDirectory = u"C:\\pkg";
    platform_.AddFile(u"C:\\pkg\\deep\\" + WideString(250, u'y'), "deep");
    platform_.AddSymbolicLink(u"C:\\pkg\\dangling", u"C:\\pkg\\missing.txt", false);
    platform_.AddJunction(u"C:\\pkg\\loop", u"C:\\pkg\\loop");
    platform_.AddSymbolicLink(u"C:\\pkg\\relative", u"sub\\..\\a.txt", false);
    const Handle handle =
        Open(GetParam().path, win::kFileReadAttributes, kShareAll, GetParam().flags);
    EXPECT_EQ(handle != kInvalidHandle, GetParam().error == 0);
    if (GetParam().error != 0) {
        EXPECT_EQ(platform_.GetLastError(), GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PathForm, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MemoryOnly, CreateAndOpenAlwaysReportWhetherTheFileExisted) {
    constexpr uint32_t kCreateAlways = 2;
    constexpr uint32_t kOpenAlways = 4;
    EXPECT_NE(Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericWrite, kShareAll, 0, kOpenAlways),
              kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorAlreadyExists);
    EXPECT_NE(Open(u"\\\\?\\C:\\pkg\\a.txt", win::kGenericWrite, kShareAll, 0, kCreateAlways),
              kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorAlreadyExists);
    EXPECT_EQ(platform_.FileBytes(u"C:\\pkg\\a.txt"), "") << "CREATE_ALWAYS truncates";
    EXPECT_NE(Open(u"\\\\?\\C:\\pkg\\b.txt", win::kGenericWrite, kShareAll, 0, kOpenAlways),
              kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorSuccess);
}

TEST_F(MemoryOnly, ListingOfAFileAsDirectoryIsNotADirectory) {
    FindData entry;
    EXPECT_EQ(platform_.FindFirstFileW(u"\\\\?\\C:\\pkg\\a.txt\\*", &entry), kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), 267u);
}

TEST_F(MemoryOnly, StandardHandlesAreCharacterDevices) {
    EXPECT_EQ(platform_.GetFileType(platform_.GetStdHandle(win::kStdOutputHandle)), 2u);
    EXPECT_EQ(platform_.GetFileType(reinterpret_cast<Handle>(0x4444)), 0u);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorInvalidHandle);
}

// --- listings
// -------------------------------------------------------------------------------------

std::vector<std::string> ListNames(MemoryPlatform& platform, const WideString& pattern,
                                   const std::function<void()>& afterFirst = {}) {
    std::vector<std::string> names;
    FindData entry;
    ScopedFindHandle search(platform, platform.FindFirstFileW(pattern.c_str(), &entry));
    if (!search) return names;
    names.push_back(Narrow(entry.name));
    if (afterFirst) afterFirst();
    while (platform.FindNextFileW(search.get(), &entry)) names.push_back(Narrow(entry.name));
    return names;
}

TEST_F(MemoryOnly, ListingOrderCanBeChosen) {
    platform_.AddFile(u"C:\\pkg\\b.txt", "");
    platform_.AddFile(u"C:\\pkg\\c.txt", "");
    platform_.SetListingOrder(u"C:\\pkg", {u"C.TXT", u"sub"});
    EXPECT_EQ(ListNames(platform_, u"\\\\?\\C:\\pkg\\*"),
              (std::vector<std::string>{".", "..", "c.txt", "sub", "a.txt", "b.txt"}));
}

TEST_F(MemoryOnly, ListingSeesWhatChangesWhileItRuns) {
    platform_.AddFile(u"C:\\pkg\\b.txt", "");
    const auto names = ListNames(platform_, u"\\\\?\\C:\\pkg\\*", [&] {
        platform_.RemoveEntry(u"C:\\pkg\\b.txt");
        platform_.AddFile(u"C:\\pkg\\late.txt", "");
    });
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.txt", "sub", "late.txt"}));
}

TEST_F(MemoryOnly, RootListsNoDots) {
    EXPECT_EQ(ListNames(platform_, u"\\\\?\\C:\\*"), (std::vector<std::string>{"pkg"}));
}

TEST_F(MemoryOnly, ListingIsRefusedWhileTheDirectoryIsHeldWithoutShareRead) {
    ASSERT_TRUE(platform_.ForeignOpen(u"C:\\pkg", win::kGenericRead, 0));
    FindData entry;
    EXPECT_EQ(platform_.FindFirstFileW(u"\\\\?\\C:\\pkg\\*", &entry), kInvalidHandle);
    EXPECT_EQ(platform_.GetLastError(), win::kErrorSharingViolation);
}

// --- streams and reparse points ------------------------------------------------------------------

std::vector<std::string> StreamNames(MemoryPlatform& platform, const WideString& path,
                                     uint32_t* error) {
    std::vector<std::string> names;
    StreamData stream;
    ScopedFindHandle search(platform, platform.FindFirstStreamW(
                                          path.c_str(), win::kFindStreamInfoStandard, &stream, 0));
    if (search) {
        do {
            names.push_back(Narrow(stream.name));
        } while (platform.FindNextStreamW(search.get(), &stream));
    }
    *error = platform.GetLastError();
    return names;
}

struct StreamCase {
    const char* name;
    std::function<void(MemoryPlatform&)> setUp;
    WideString path;
    std::vector<std::string> streams;
    uint32_t error;  // at the end, or of the failed start
};

const StreamCase kStreamCases[] = {
    {"file_with_zone_marker",
     nullptr,
     u"\\\\?\\C:\\pkg\\a.txt",
     {"::$DATA", ":Zone.Identifier:$DATA"},
     win::kErrorHandleEof},
    {"stream_name_keeps_its_case",
     [](MemoryPlatform& p) { p.AddStream(u"C:\\pkg\\sub\\f", u":zone.identifier:$DATA", "x"); },
     u"\\\\?\\C:\\pkg\\sub\\f",
     {"::$DATA", ":zone.identifier:$DATA"},
     win::kErrorHandleEof},
    {"directory_with_named_stream",
     [](MemoryPlatform& p) { p.AddStream(u"C:\\pkg\\sub", u"extra", "x"); },
     u"\\\\?\\C:\\pkg\\sub",
     {":extra:$DATA"},
     win::kErrorHandleEof},
    {"directory_without_stream", nullptr, u"\\\\?\\C:\\pkg\\sub", {}, win::kErrorHandleEof},
    {"link_is_followed",
     [](MemoryPlatform& p) { p.AddSymbolicLink(u"C:\\l", u"C:\\pkg\\a.txt", false); },
     u"\\\\?\\C:\\l",
     {"::$DATA", ":Zone.Identifier:$DATA"},
     win::kErrorHandleEof},
    {"missing_file", nullptr, u"\\\\?\\C:\\pkg\\missing", {}, win::kErrorFileNotFound},
    {"missing_directory", nullptr, u"\\\\?\\C:\\missing\\x", {}, win::kErrorPathNotFound},
};

class StreamEnumeration : public MemoryOnly, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamEnumeration, ListsLikeNtfs) {
    platform_.AddFile(u"C:\\pkg\\sub\\f", "");
    if (GetParam().setUp) GetParam().setUp(platform_);
    uint32_t error = 0;
    EXPECT_EQ(StreamNames(platform_, GetParam().path, &error), GetParam().streams);
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamEnumeration, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- CNG
// ------------------------------------------------------------------------------------------

class MemoryCng : public MemoryOnly {
  protected:
    void SetUp() override {
        ASSERT_EQ(platform_.BCryptOpenAlgorithmProvider(&provider_, u"SHA256", nullptr, 0), 0);
        object_.assign(286, 0);
        ASSERT_EQ(platform_.BCryptCreateHash(provider_, &hash_, object_.data(), 286, nullptr, 0, 0),
                  0);
    }
    CngHandle provider_ = nullptr;
    CngHandle hash_ = nullptr;
    std::vector<uint8_t> object_;
};

TEST_F(MemoryCng, LogsTheOrderOfReleaseAndCountsLiveObjects) {
    EXPECT_EQ(platform_.LiveCngObjects(), 2u);
    EXPECT_EQ(platform_.BCryptDestroyHash(hash_), 0);
    EXPECT_EQ(platform_.LiveCngObjects(), 1u);
    EXPECT_EQ(platform_.BCryptCloseAlgorithmProvider(provider_, 0), 0);
    EXPECT_EQ(platform_.LiveCngObjects(), 0u);
    EXPECT_EQ(platform_.CngEvents(),
              (std::vector<std::string>{"OpenAlgorithmProvider", "CreateHash", "DestroyHash",
                                        "CloseAlgorithmProvider"}));
    EXPECT_EQ(platform_.BCryptDestroyHash(hash_), kStatusInvalidHandle) << "destroyed twice";
}

TEST_F(MemoryCng, OverwrittenHashObjectIsDetected) {
    std::fill(object_.begin(), object_.end(), 0);
    EXPECT_EQ(platform_.BCryptHashData(hash_, reinterpret_cast<const uint8_t*>("a"), 1, 0),
              kStatusInvalidHandle);
}

TEST_F(MemoryCng, FinishedHashTakesNoMoreData) {
    uint8_t digest[32];
    ASSERT_EQ(platform_.BCryptFinishHash(hash_, digest, sizeof digest, 0), 0);
    EXPECT_EQ(platform_.BCryptHashData(hash_, reinterpret_cast<const uint8_t*>("a"), 1, 0),
              kStatusInvalidHandle);
    EXPECT_EQ(platform_.BCryptFinishHash(hash_, digest, sizeof digest, 0), kStatusInvalidHandle);
}

TEST_F(MemoryCng, ObjectLengthCanBeSetAndQueriedForSize) {
    platform_.SetHashObjectLength(1048577);
    uint32_t length = 0;
    uint32_t size = 0;
    ASSERT_EQ(platform_.BCryptGetProperty(provider_, u"ObjectLength", nullptr, 0, &size, 0), 0);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(platform_.BCryptGetProperty(provider_, u"ObjectLength",
                                          reinterpret_cast<uint8_t*>(&length), 4, &size, 0),
              0);
    EXPECT_EQ(length, 1048577u);
}

// --- set-up misuse is the test's error, not a Windows answer
// ----------------------------------------

TEST_F(MemoryOnly, SetUpMisuseThrows) {
    EXPECT_THROW(platform_.AddFile(u"C:\\pkg\\sub", "x"), std::logic_error);
    EXPECT_THROW(platform_.AddHardLink(u"C:\\pkg\\h", u"C:\\pkg\\sub"), std::logic_error);
    EXPECT_THROW(platform_.AddJunction(u"C:\\pkg\\j", u"sub"), std::logic_error);
    EXPECT_THROW(platform_.AddDirectory(u"pkg"), std::logic_error);
    EXPECT_THROW(platform_.FileBytes(u"C:\\pkg\\sub"), std::logic_error);
}

}  // namespace
}  // namespace veltomarn::testing

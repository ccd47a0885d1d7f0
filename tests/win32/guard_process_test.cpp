// The guard, the file digest and the exact tree check on the real Win32 platform, with a hostile
// second process.
//
// The program is its own second process: started as
//   <this exe> --foreign <action> <path> [<ready event> <release event>]
// it makes one attempt on <path> and exits with 0 when the attempt succeeded, with the call's last
// error when it failed (errors that do not fit below 250 become kExitOtherError, since exit codes
// may be cut to 8 bits), or kExitFailedWithoutError. Given the two event names, an attempt that
// opened a handle keeps it, signals the first event and waits for the second before exiting.

#include <windows.h>
// After <windows.h>:
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/sha256.h"
#include "distribution/tree_check.h"
#include "platform/scoped_handle.h"
#include "platform/win32/win32_platform.h"

namespace veltomarn::testing {
namespace {

constexpr DWORD kExitFailedWithoutError = 254;
constexpr DWORD kExitOtherError = 255;
constexpr DWORD kExitUsage = 253;
constexpr DWORD kExitTimedOut = 0x10000;  // never an exit code of the foreign process
constexpr DWORD kForeignTimeoutMs = 60000;

constexpr wchar_t kForeignSwitch[] = L"--foreign";

// --- text --------------------------------------------------------------------------------------

std::wstring Wide(const WideString& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring Wide(std::string_view ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

WideString Utf16(const std::wstring& text) {
    return WideString(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

// The failure code that `action` throws, or "" when it returns.
std::string CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.code();
    }
    return "";
}

// --- the foreign process -----------------------------------------------------------------------

DWORD ResultCode(bool ok) {
    if (ok) return 0;
    const DWORD error = ::GetLastError();
    if (error == 0) return kExitFailedWithoutError;
    return error < 250 ? error : kExitOtherError;
}

struct ForeignOpen {
    const wchar_t* action;
    DWORD access;
    DWORD share;
    DWORD flags;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

const ForeignOpen kForeignOpens[] = {
    {L"open-write", GENERIC_WRITE, kShareAll, FILE_ATTRIBUTE_NORMAL},
    {L"open-delete", DELETE, kShareAll, FILE_FLAG_BACKUP_SEMANTICS},
    {L"open-read", GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL},
    {L"open-read-shared", GENERIC_READ, kShareAll, FILE_ATTRIBUTE_NORMAL},
};

// Replaces `path` with a new file of the same name, as an attacker swapping a checked file would.
DWORD ReplaceWithIntruder(const std::wstring& path) {
    const std::wstring intruder = path + L".intruder";
    const HANDLE created = ::CreateFileW(intruder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) return kExitOtherError;
    ::CloseHandle(created);
    const DWORD result =
        ResultCode(::MoveFileExW(intruder.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    ::DeleteFileW(intruder.c_str());
    return result;
}

DWORD HoldUntilReleased(HANDLE opened, const std::wstring& readyName,
                        const std::wstring& releaseName) {
    const HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str());
    const HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE, releaseName.c_str());
    DWORD result = kExitUsage;
    if (ready != nullptr && release != nullptr && ::SetEvent(ready)) {
        result = ::WaitForSingleObject(release, kForeignTimeoutMs) == WAIT_OBJECT_0
                     ? 0
                     : kExitOtherError;
    }
    if (ready != nullptr) ::CloseHandle(ready);
    if (release != nullptr) ::CloseHandle(release);
    ::CloseHandle(opened);
    return result;
}

DWORD RunForeign(const std::vector<std::wstring>& args) {
    if (args.size() != 2 && args.size() != 4) return kExitUsage;
    const std::wstring& action = args[0];
    const std::wstring& path = args[1];
    for (const ForeignOpen& open : kForeignOpens) {
        if (action != open.action) continue;
        const HANDLE opened = ::CreateFileW(path.c_str(), open.access, open.share, nullptr,
                                            OPEN_EXISTING, open.flags, nullptr);
        if (opened == INVALID_HANDLE_VALUE) return ResultCode(false);
        if (args.size() == 4) return HoldUntilReleased(opened, args[2], args[3]);
        ::CloseHandle(opened);
        return 0;
    }
    if (args.size() != 2) return kExitUsage;
    if (action == L"delete-file") return ResultCode(::DeleteFileW(path.c_str()));
    if (action == L"remove-directory") return ResultCode(::RemoveDirectoryW(path.c_str()));
    if (action == L"rename") {
        return ResultCode(::MoveFileExW(path.c_str(), (path + L".renamed").c_str(), 0));
    }
    if (action == L"replace") return ReplaceWithIntruder(path);
    return kExitUsage;
}

// --- starting the foreign process --------------------------------------------------------------

std::wstring OwnPath() {
    std::vector<wchar_t> buffer(32768, L'\0');
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size() - 1));
    return std::wstring(buffer.data(), length);
}

// Arguments are quoted whole; none of ours holds a quote or ends with a backslash.
std::wstring CommandLine(const std::vector<std::wstring>& args) {
    std::wstring line = L"\"" + OwnPath() + L"\" " + kForeignSwitch;
    for (const std::wstring& arg : args) line += L" \"" + arg + L"\"";
    return line;
}

ScopedHandle StartForeign(Platform& platform, const std::vector<std::wstring>& args) {
    std::wstring line = CommandLine(args);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const std::wstring self = OwnPath();
    if (!::CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return ScopedHandle();
    }
    ::CloseHandle(process.hThread);
    return ScopedHandle(platform, process.hProcess);
}

DWORD WaitForExit(const ScopedHandle& process) {
    if (!process.valid()) return kExitTimedOut;
    if (::WaitForSingleObject(process.get(), kForeignTimeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), kExitOtherError);
        return kExitTimedOut;
    }
    DWORD code = kExitTimedOut;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

// Runs one attempt of the foreign process on `path` and returns its result code.
DWORD ForeignAttempt(Platform& platform, const wchar_t* action, const std::wstring& path) {
    return WaitForExit(StartForeign(platform, {action, path}));
}

// A foreign process that holds `path` open with `action`'s access until Release().
class ForeignHolder {
  public:
    ForeignHolder(Platform& platform, const wchar_t* action, const std::wstring& path) {
        static int serial = 0;
        const std::wstring stem = L"Local\\veltomarn-guard-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++serial);
        const std::wstring readyName = stem + L"-ready";
        const std::wstring releaseName = stem + L"-release";
        ready_ = ScopedHandle(platform, ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        release_ =
            ScopedHandle(platform, ::CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
        process_ = StartForeign(platform, {action, path, readyName, releaseName});
        if (!ready_.valid() || !release_.valid() || !process_.valid()) return;
        const HANDLE waited[] = {ready_.get(), process_.get()};
        holding_ = ::WaitForMultipleObjects(2, waited, FALSE, kForeignTimeoutMs) == WAIT_OBJECT_0;
    }
    ForeignHolder(const ForeignHolder&) = delete;
    ForeignHolder& operator=(const ForeignHolder&) = delete;
    ~ForeignHolder() { Release(); }

    bool holding() const { return holding_; }

    // Lets the foreign process close its handle and exit; returns its exit code.
    DWORD Release() {
        if (release_.valid()) ::SetEvent(release_.get());
        const DWORD code = process_.valid() ? WaitForExit(process_) : kExitTimedOut;
        process_.reset();
        return code;
    }

  private:
    ScopedHandle ready_;
    ScopedHandle release_;
    ScopedHandle process_;
    bool holding_ = false;
};

// --- the scratch tree --------------------------------------------------------------------------

std::wstring TempDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH + 1, L'\0');
    const DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    std::wstring temp(buffer.data(), length);
    std::vector<wchar_t> longName(32768, L'\0');
    const DWORD longLength =
        ::GetLongPathNameW(temp.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    if (longLength > 0 && longLength < longName.size()) temp.assign(longName.data(), longLength);
    while (temp.size() > 3 && temp.back() == L'\\') temp.pop_back();
    return temp;
}

// Deletes `path` and everything below it; true when nothing is left.
bool RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(search, &entry));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
    return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// A fresh directory under the temporary folder, with the guard's base two levels below it:
// <temp>\veltomarn-guard-<pid>-<n>\outer\base. Everything is removed at the end of the test.
class ScratchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::wstring temp = TempDirectory();
        for (int attempt = 0; attempt < 1000 && root_.empty(); ++attempt) {
            const std::wstring candidate = temp + L"\\veltomarn-guard-" +
                                           std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                           std::to_wstring(++serial_);
            if (::CreateDirectoryW(candidate.c_str(), nullptr)) root_ = candidate;
        }
        ASSERT_FALSE(root_.empty()) << "no scratch directory under " << Narrow(temp);
        ASSERT_TRUE(::CreateDirectoryW(Outer().c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(Wide(Base()).c_str(), nullptr));
    }

    void TearDown() override {
        if (!root_.empty()) {
            EXPECT_TRUE(RemoveTree(root_)) << Narrow(root_);
        }
    }

    std::wstring Outer() const { return root_ + L"\\outer"; }
    WideString Base() const { return Utf16(Outer() + L"\\base"); }

    // The absolute path of `relative` ('/'-separated) below the base.
    std::wstring Absolute(std::wstring relative) const {
        for (wchar_t& c : relative) c = c == L'/' ? L'\\' : c;
        return Wide(Base()) + L"\\" + relative;
    }
    std::wstring Absolute(std::string_view relative) const { return Absolute(Wide(relative)); }

    void MakeDirectory(std::string_view relative) { MakeDirectory(Wide(relative)); }
    void MakeDirectory(const std::wstring& relative) {
        ASSERT_TRUE(::CreateDirectoryW(Absolute(relative).c_str(), nullptr))
            << Narrow(relative) << " error " << ::GetLastError();
    }

    void MakeFile(std::string_view relative, const std::vector<uint8_t>& contents) {
        MakeFile(Wide(relative), contents);
    }
    void MakeFile(const std::wstring& relative, const std::vector<uint8_t>& contents) {
        const HANDLE file = ::CreateFileW(Absolute(relative).c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(relative) << " error " << ::GetLastError();
        DWORD written = 0;
        const BOOL ok =
            contents.empty() || ::WriteFile(file, contents.data(),
                                            static_cast<DWORD>(contents.size()), &written, nullptr);
        ::CloseHandle(file);
        ASSERT_TRUE(ok && written == contents.size()) << Narrow(relative);
    }

    // An entry ending with '/' is a directory, anything else a small file.
    void MakeEntries(const std::vector<const wchar_t*>& entries) {
        for (const std::wstring entry : entries) {
            if (entry.back() == L'/') {
                MakeDirectory(entry.substr(0, entry.size() - 1));
            } else {
                MakeFile(entry, {'x'});
            }
        }
    }

    Win32Platform platform_;

  private:
    static inline int serial_ = 0;
    std::wstring root_;
};

std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// --- what a foreign process cannot do while the guard lives --------------------------------------

enum class Target {
    kHeldFile,           // base\a\b\held.bin, opened through the guard
    kSiblingFile,        // base\a\b\sibling.bin, never opened
    kParentDirectory,    // base\a\b
    kAncestorDirectory,  // base\a
    kEmptyDirectory,     // base\empty, held as a parent of "empty/placeholder"
    kBase,               // base
    kOuterDirectory,     // the base's parent, held as an ancestor
};

struct ForeignCase {
    const char* name;
    const wchar_t* action;
    Target target;
    DWORD whileGuarded;  // the foreign result while the guard lives
};

const ForeignCase kForeignCases[] = {
    {"write_held_file", L"open-write", Target::kHeldFile, ERROR_SHARING_VIOLATION},
    {"open_held_file_for_delete", L"open-delete", Target::kHeldFile, ERROR_SHARING_VIOLATION},
    {"delete_held_file", L"delete-file", Target::kHeldFile, ERROR_SHARING_VIOLATION},
    {"rename_held_file", L"rename", Target::kHeldFile, ERROR_SHARING_VIOLATION},
    // Renaming onto a file in use is refused as access denied, not as a sharing violation.
    {"swap_held_file_for_intruder", L"replace", Target::kHeldFile, ERROR_ACCESS_DENIED},
    {"open_parent_for_delete", L"open-delete", Target::kParentDirectory, ERROR_SHARING_VIOLATION},
    {"rename_parent", L"rename", Target::kParentDirectory, ERROR_SHARING_VIOLATION},
    {"rename_ancestor_in_base", L"rename", Target::kAncestorDirectory, ERROR_SHARING_VIOLATION},
    {"remove_empty_held_directory", L"remove-directory", Target::kEmptyDirectory,
     ERROR_SHARING_VIOLATION},
    {"rename_base", L"rename", Target::kBase, ERROR_SHARING_VIOLATION},
    {"rename_ancestor_of_base", L"rename", Target::kOuterDirectory, ERROR_SHARING_VIOLATION},
    // Controls: what the guard must not prevent, so that a foreign process that fails at
    // everything cannot pass the cases above.
    {"read_held_file_sharing_read", L"open-read", Target::kHeldFile, 0},
    {"write_unopened_sibling", L"open-write", Target::kSiblingFile, 0},
};

class ForeignWhileGuarded : public ScratchTest, public ::testing::WithParamInterface<ForeignCase> {
  protected:
    std::wstring TargetPath(Target target) const {
        switch (target) {
            case Target::kHeldFile:
                return Absolute("a/b/held.bin");
            case Target::kSiblingFile:
                return Absolute("a/b/sibling.bin");
            case Target::kParentDirectory:
                return Absolute("a/b");
            case Target::kAncestorDirectory:
                return Absolute("a");
            case Target::kEmptyDirectory:
                return Absolute("empty");
            case Target::kBase:
                return Wide(Base());
            case Target::kOuterDirectory:
                return Outer();
        }
        return L"";
    }
};

TEST_P(ForeignWhileGuarded, IsBlockedByTheGuardAlone) {
    const ForeignCase& c = GetParam();
    MakeDirectory("a");
    MakeDirectory("a/b");
    MakeDirectory("empty");
    MakeFile("a/b/held.bin", Bytes("held contents"));
    MakeFile("a/b/sibling.bin", Bytes("sibling"));
    const std::wstring target = TargetPath(c.target);
    {
        GuardedDirectory guard(platform_, Base(), 0);
        ASSERT_NE(guard.OpenFile("a/b/held.bin", 1024), nullptr);
        guard.HoldParents("empty/placeholder");
        EXPECT_EQ(ForeignAttempt(platform_, c.action, target), c.whileGuarded)
            << Narrow(c.action) << " " << Narrow(target) << " while guarded";
        // The held file is unchanged whatever was attempted.
        EXPECT_EQ(guard.ReadSmallFile("a/b/held.bin", 1024), Bytes("held contents"));
    }
    // Once the guard is gone the same attempt succeeds: the guard, nothing else, refused it.
    EXPECT_EQ(ForeignAttempt(platform_, c.action, target), 0u)
        << Narrow(c.action) << " " << Narrow(target) << " after the guard";
}

INSTANTIATE_TEST_SUITE_P(Win32, ForeignWhileGuarded, ::testing::ValuesIn(kForeignCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- what the guard refuses when a foreign process got there first -------------------------------

struct HeldFirstCase {
    const char* name;
    const wchar_t* action;  // how the foreign process holds `held`
    const char* held;       // relative to the base
    const char* expected;   // the guard's failure code opening "a/b/held.bin", "" when it opens
};

const HeldFirstCase kHeldFirstCases[] = {
    {"writer_holds_file", L"open-write", "a/b/held.bin", "FILE_OPEN"},
    {"deleter_holds_file", L"open-delete", "a/b/held.bin", "FILE_OPEN"},
    {"deleter_holds_parent", L"open-delete", "a/b", "DIRECTORY_OPEN"},
    {"deleter_holds_ancestor", L"open-delete", "a", "DIRECTORY_OPEN"},
    {"reader_holds_file_sharing_all", L"open-read-shared", "a/b/held.bin", ""},
    {"reader_holds_file_sharing_read", L"open-read", "a/b/held.bin", ""},
};

class ForeignHeldFirst : public ScratchTest, public ::testing::WithParamInterface<HeldFirstCase> {};

TEST_P(ForeignHeldFirst, GuardRefusesWhatOthersCanChange) {
    const HeldFirstCase& c = GetParam();
    MakeDirectory("a");
    MakeDirectory("a/b");
    MakeFile("a/b/held.bin", Bytes("held contents"));
    ForeignHolder holder(platform_, c.action, Absolute(c.held));
    ASSERT_TRUE(holder.holding()) << "the foreign process could not hold " << c.held;
    {
        GuardedDirectory guard(platform_, Base(), 0);
        EXPECT_EQ(CodeOf([&] { guard.OpenFile("a/b/held.bin", 1024); }), c.expected);
    }
    EXPECT_EQ(holder.Release(), 0u);
    // Released, the same tree opens.
    GuardedDirectory guard(platform_, Base(), 0);
    EXPECT_EQ(CodeOf([&] { guard.OpenFile("a/b/held.bin", 1024); }), "");
}

INSTANTIATE_TEST_SUITE_P(Win32, ForeignHeldFirst, ::testing::ValuesIn(kHeldFirstCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- OpenFile: kinds, links, limits --------------------------------------------------------------

struct OpenCase {
    const char* name;
    const char* relative;
    uint64_t limit;
    const char* expected;
};

const OpenCase kOpenCases[] = {
    {"single_name_file_at_limit", "plain.bin", 10, ""},
    {"file_in_subdirectory", "folder/inner.bin", 10, ""},
    {"one_byte_over_limit", "plain.bin", 9, "FILE_SIZE_LIMIT"},
    {"file_with_second_hard_link", "linked.bin", 1024, "FILE_TYPE_OR_LINK"},
    {"second_name_of_linked_file", "linked-twin.bin", 1024, "FILE_TYPE_OR_LINK"},
    {"directory_where_file_expected", "folder", 1024, "FILE_OPEN"},
    {"file_where_directory_expected", "plain.bin/inner.bin", 1024, "DIRECTORY_TYPE"},
    {"missing_file", "absent.bin", 1024, "FILE_OPEN"},
    {"missing_directory", "absent/inner.bin", 1024, "DIRECTORY_OPEN"},
};

class OpenFileCase : public ScratchTest, public ::testing::WithParamInterface<OpenCase> {
  protected:
    void SetUp() override {
        ScratchTest::SetUp();
        MakeFile("plain.bin", Bytes("0123456789"));
        MakeFile("linked.bin", Bytes("0123456789"));
        ASSERT_TRUE(::CreateHardLinkW(Absolute("linked-twin.bin").c_str(),
                                      Absolute("linked.bin").c_str(), nullptr))
            << ::GetLastError();
        MakeDirectory("folder");
        MakeFile("folder/inner.bin", Bytes("0123456789"));
    }
};

TEST_P(OpenFileCase, OpensOnlyASingleNamedFileWithinTheLimit) {
    const OpenCase& c = GetParam();
    GuardedDirectory guard(platform_, Base(), 0);
    EXPECT_EQ(CodeOf([&] { guard.OpenFile(c.relative, c.limit); }), c.expected) << c.relative;
}

INSTANTIATE_TEST_SUITE_P(Win32, OpenFileCase, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

class GuardedFile : public ScratchTest {};

TEST_F(GuardedFile, LinkedFileOpensOnceItsSecondNameIsGone) {
    MakeFile("linked.bin", Bytes("0123456789"));
    ASSERT_TRUE(::CreateHardLinkW(Absolute("linked-twin.bin").c_str(),
                                  Absolute("linked.bin").c_str(), nullptr));
    {
        GuardedDirectory guard(platform_, Base(), 0);
        EXPECT_EQ(CodeOf([&] { guard.OpenFile("linked.bin", 1024); }), "FILE_TYPE_OR_LINK");
    }
    ASSERT_TRUE(::DeleteFileW(Absolute("linked-twin.bin").c_str()));
    GuardedDirectory guard(platform_, Base(), 0);
    EXPECT_EQ(CodeOf([&] { guard.OpenFile("linked.bin", 1024); }), "");
}

TEST_F(GuardedFile, SecondOpenReturnsTheHeldHandleWithoutTheNewLimit) {
    MakeFile("plain.bin", Bytes("0123456789"));
    GuardedDirectory guard(platform_, Base(), 0);
    const Handle first = guard.OpenFile("plain.bin", 10);
    EXPECT_EQ(guard.OpenFile("plain.bin", 1), first);
}

// --- FileDigest against independent references ---------------------------------------------------

// The bytes i % 251 for i in 0..size-1: no period divides the 64-byte block or the read size.
std::vector<uint8_t> Pattern(std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    return bytes;
}

struct DigestCase {
    const char* name;
    std::vector<uint8_t> contents;
    const char* reference;  // SHA-256 computed outside this program (published or sha256sum)
};

const DigestCase kDigestCases[] = {
    {"empty", {}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", Bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"one_read_less_one_byte", Pattern(131071),
     "de222739d6ef744c5fce51179ad6536d9d81e4f36c9694b4750336481f2a2b59"},
    {"exactly_one_read", Pattern(131072),
     "feb1e4409d009e0ec502eaabe321f86b5197a881e9b765252ec8a75d6957596d"},
    {"one_read_and_one_byte", Pattern(131073),
     "dd84db969f4ff2abb79c8c2fbc06e8d8e02c46d6481c958e057f7ad7a24c58a7"},
    {"three_reads_and_a_tail", Pattern(3 * 131072 + 100),
     "32c267986bbd14ee3b46e04a4ce9c78bf5f9e1171047e53159b5b599d0b3edc6"},
};

class FileDigestCase : public ScratchTest, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(FileDigestCase, MatchesOneShotAndReferenceDigest) {
    const DigestCase& c = GetParam();
    MakeFile("file.bin", c.contents);
    const uint64_t size = c.contents.size();
    GuardedDirectory guard(platform_, Base(), 0);
    const std::string digest = FileDigest(guard, "file.bin", size);
    EXPECT_EQ(digest, c.reference);
    EXPECT_EQ(digest, DataDigest(platform_, c.contents));
    // The second digest starts where the first left the shared handle.
    EXPECT_EQ(FileDigest(guard, "file.bin", size), c.reference);
    EXPECT_EQ(CodeOf([&] { FileDigest(guard, "file.bin", size + 1); }), "FILE_SIZE_MISMATCH");
    if (size > 0) {
        EXPECT_EQ(CodeOf([&] { FileDigest(guard, "file.bin", size - 1); }), "FILE_SIZE_MISMATCH");
    }
}

INSTANTIATE_TEST_SUITE_P(Win32, FileDigestCase, ::testing::ValuesIn(kDigestCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- VerifyExactTree
// -------------------------------------------------------------------------------

const std::set<std::string> kExpectedFiles = {"a.txt", "d1/b.txt", "d1/d2/c.txt"};
// "d3" holds only another directory; "d3/d4" is empty.
const std::set<std::string> kExpectedDirectories = {"d1", "d1/d2", "d3", "d3/d4"};

struct TreeCase {
    const char* name;
    std::vector<const wchar_t*> disk;  // an entry ending with '/' is a directory
    const char* expected;
};

const TreeCase kTreeCases[] = {
    {"exact_tree",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     ""},
    {"extra_file",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/extra.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_FILE"},
    {"shell_desktop_ini",
     {L"a.txt", L"desktop.ini", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_FILE"},
    {"extra_empty_directory",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d1/d2/empty/", L"d3/", L"d3/d4/"},
     "UNEXPECTED_DIRECTORY"},
    {"file_where_directory_expected",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3"},
     "UNEXPECTED_FILE"},
    {"directory_where_file_expected",
     {L"a.txt/", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_DIRECTORY"},
    {"missing_file",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d3/", L"d3/d4/"},
     "INCOMPLETE_TREE"},
    {"missing_empty_directory",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/"},
     "INCOMPLETE_TREE"},
    {"file_name_in_other_case",
     {L"A.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_FILE"},
    {"directory_name_in_other_case",
     {L"a.txt", L"D1/", L"D1/b.txt", L"D1/d2/", L"D1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_DIRECTORY"},
    {"name_with_space",
     {L"a.txt", L"a .txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c.txt", L"d3/", L"d3/d4/"},
     "UNEXPECTED_FILE"},
    {"name_with_accented_letter",
     {L"a.txt", L"d1/", L"d1/b.txt", L"d1/d2/", L"d1/d2/c\u00e9.txt", L"d1/d2/c.txt", L"d3/",
      L"d3/d4/"},
     "TREE_NAME"},
};

class ExactTreeCase : public ScratchTest, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(ExactTreeCase, ReportsTheOneFault) {
    const TreeCase& c = GetParam();
    MakeEntries(c.disk);
    GuardedDirectory guard(platform_, Base(), 0);
    EXPECT_EQ(CodeOf([&] { VerifyExactTree(guard, kExpectedFiles, kExpectedDirectories); }),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(Win32, ExactTreeCase, ::testing::ValuesIn(kTreeCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltomarn::testing

int main(int argc, char** argv) {
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (args != nullptr && count >= 2 &&
        std::wstring_view(args[1]) == veltomarn::testing::kForeignSwitch) {
        const std::vector<std::wstring> foreign(args + 2, args + count);
        ::LocalFree(args);
        return static_cast<int>(veltomarn::testing::RunForeign(foreign));
    }
    ::LocalFree(args);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

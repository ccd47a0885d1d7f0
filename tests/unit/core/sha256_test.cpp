#include "core/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;

constexpr const char* kPassed = "PASSED";
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr NtStatus kStatusNoMemory = static_cast<NtStatus>(0xC0000017);
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);
constexpr NtStatus kStatusBufferOverflow = static_cast<NtStatus>(0x80000005);  // a warning
const WideString kBase = u"C:\\pkg";
const WideString kFile = u"C:\\pkg\\data.bin";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::vector<std::string> kHashLife = {"OpenAlgorithmProvider", "CreateHash", "DestroyHash",
                                            "CloseAlgorithmProvider"};
const std::vector<std::string> kProviderLife = {"OpenAlgorithmProvider", "CloseAlgorithmProvider"};

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

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// `size` bytes that differ from chunk to chunk, so that a chunk read twice or skipped changes the
// digest.
std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 0x9E3779B9;
    for (char& byte : bytes) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// --- Sha256Hash, DataDigest, DigestHex -------------------------------------------------------

struct VectorCase {
    std::string name;
    std::string input;
    std::string digest;
};

const std::vector<VectorCase> kVectorCases = {
    {"empty", "", kEmptyDigest},
    {"abc", "abc", kAbcDigest},
    {"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"million_a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

class DataDigestVectorTest : public ::testing::TestWithParam<VectorCase> {};

TEST_P(DataDigestVectorTest, GivesThePublishedDigestInLowerCase) {
    MemoryPlatform platform;
    EXPECT_EQ(DataDigest(platform, Bytes(GetParam().input)), GetParam().digest);
}
INSTANTIATE_TEST_SUITE_P(Published, DataDigestVectorTest, ::testing::ValuesIn(kVectorCases),
                         CaseName<VectorCase>);

TEST(DigestHexTest, WritesEveryByteHighNibbleFirstInLowerCase) {
    Sha256Digest digest{};
    const uint8_t pattern[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = pattern[i % 8];
    EXPECT_EQ(DigestHex(digest),
              "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
}

struct HashFaultCase {
    std::string name;
    std::function<void(MemoryPlatform&)> setup;
    std::string expected;
    std::vector<std::string> events;  // CNG lifetimes, in the order they happened
};

const std::vector<HashFaultCase> kHashFaultCases = {
    {"no_fault", [](MemoryPlatform&) {}, kPassed, kHashLife},
    {"object_length_exactly_1_MiB", [](MemoryPlatform& p) { p.SetHashObjectLength(1048576); },
     kPassed, kHashLife},
    {"object_length_1_MiB_plus_one", [](MemoryPlatform& p) { p.SetHashObjectLength(1048577); },
     "HASH_PROPERTY", kProviderLife},
    {"provider_missing",
     [](MemoryPlatform& p) { p.FailStatus("BCryptOpenAlgorithmProvider", kStatusNotFound); },
     "HASH_PROVIDER",
     {}},
    {"object_length_unreadable",
     [](MemoryPlatform& p) { p.FailStatus("BCryptGetProperty", kStatusBufferOverflow); },
     "HASH_PROPERTY", kProviderLife},
    {"hash_object_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptCreateHash", kStatusNoMemory); }, "HASH_CREATE",
     kProviderLife},
    {"data_refused", [](MemoryPlatform& p) { p.FailStatus("BCryptHashData", kStatusUnsuccessful); },
     "HASH_READ", kHashLife},
    {"finish_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptFinishHash", kStatusUnsuccessful); },
     "HASH_FINISH", kHashLife},
};

class Sha256HashFaultTest : public ::testing::TestWithParam<HashFaultCase> {};

TEST_P(Sha256HashFaultTest, ReleasesHashThenProviderOnEveryPath) {
    const HashFaultCase& c = GetParam();
    MemoryPlatform platform;
    c.setup(platform);
    std::string digest;
    EXPECT_EQ(CodeOf([&] { digest = DataDigest(platform, Bytes("abc")); }), c.expected);
    if (c.expected == kPassed) {
        EXPECT_EQ(digest, kAbcDigest);
    }
    EXPECT_EQ(platform.CngEvents(), c.events);
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Faults, Sha256HashFaultTest, ::testing::ValuesIn(kHashFaultCases),
                         CaseName<HashFaultCase>);

// --- FileDigest ------------------------------------------------------------------------------

struct FileSizeCase {
    std::string name;
    std::size_t size;
    int reads;  // ReadFile calls, the final zero-byte read included
};

const std::vector<FileSizeCase> kFileSizeCases = {
    {"empty", 0, 1},
    {"one_byte", 1, 2},
    {"one_byte_under_a_chunk", 131071, 2},
    {"exactly_one_chunk", 131072, 2},
    {"one_chunk_and_a_byte", 131073, 3},
    {"past_1_MiB", 1048577, 10},
};

class FileDigestSizeTest : public ::testing::TestWithParam<FileSizeCase> {};

TEST_P(FileDigestSizeTest, EqualsOneShotDigestAndKeepsTheFileHeld) {
    const std::string contents = Pattern(GetParam().size);
    MemoryPlatform platform;
    platform.AddFile(kFile, contents);
    GuardedDirectory guard(platform, kBase, 0);
    EXPECT_EQ(FileDigest(guard, "data.bin", contents.size()),
              DataDigest(platform, Bytes(contents)));
    EXPECT_EQ(platform.CallCount("ReadFile"), GetParam().reads);
    EXPECT_EQ(platform.OpenHandleCount(), 3u) << "the file handle belongs to the guard";
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Sizes, FileDigestSizeTest, ::testing::ValuesIn(kFileSizeCases),
                         CaseName<FileSizeCase>);

TEST(FileDigestRewind, SharedHandleIsHashedFromTheStartEveryTime) {
    const std::string contents = Pattern(131073);
    MemoryPlatform platform;
    platform.AddFile(kFile, contents);
    GuardedDirectory guard(platform, kBase, 0);
    const std::string expected = DataDigest(platform, Bytes(contents));
    EXPECT_EQ(FileDigest(guard, "data.bin", contents.size()), expected);
    EXPECT_EQ(FileDigest(guard, "data.bin", contents.size()), expected);
    char buffer[7];
    uint32_t read = 0;
    ASSERT_TRUE(platform.ReadFile(guard.OpenFile("data.bin", 1), buffer, 7, &read));
    EXPECT_EQ(FileDigest(guard, "data.bin", contents.size()), expected);
    EXPECT_EQ(platform.CallCount("CreateFileW"), 3) << "the file was opened more than once";
}

using Preparation = std::function<void(MemoryPlatform&, GuardedDirectory&)>;

struct FileFaultCase {
    std::string name;
    std::size_t size;
    uint64_t expectedSize;
    Preparation before;
    std::string expected;
    int reads;  // ReadFile calls made by FileDigest
};

void Nothing(MemoryPlatform&, GuardedDirectory&) {}

// Makes the `nth` read find the file rewritten with `size` bytes.
Preparation ResizeAtRead(int nth, std::size_t size) {
    return [nth, size](MemoryPlatform& p, GuardedDirectory&) {
        p.OnCall(
            "ReadFile", [&p, size] { p.AddFile(kFile, Pattern(size)); }, nth);
    };
}
Preparation Fail(std::string call, uint32_t error, int nth = 1) {
    return [=](MemoryPlatform& p, GuardedDirectory&) { p.FailCall(call, error, nth); };
}

const std::vector<FileFaultCase> kFileFaultCases = {
    {"empty_file_expected_one_byte", 0, 1, Nothing, "FILE_SIZE_MISMATCH", 0},
    {"file_one_byte_longer", 10, 9, Nothing, "FILE_SIZE_MISMATCH", 0},
    {"file_one_byte_shorter", 10, 11, Nothing, "FILE_SIZE_MISMATCH", 0},
    {"grows_by_chunks_before_first_read", 131072, 131072, ResizeAtRead(1, 3 * 131072),
     "FILE_CHANGED", 2},
    {"grows_after_last_full_chunk", 131072, 131072, ResizeAtRead(2, 131073), "FILE_CHANGED", 2},
    {"shrinks_before_first_read", 131073, 131073, ResizeAtRead(1, 100), "FILE_CHANGED", 2},
    {"shrinks_after_first_chunk", 131073, 131073, ResizeAtRead(2, 131072), "FILE_CHANGED", 2},
    {"rewind_fails", 10, 10, Fail("SetFilePointerEx", win::kErrorInvalidHandle), "FILE_SEEK", 0},
    {"first_read_fails", 10, 10, Fail("ReadFile", 23), "FILE_READ", 1},
    {"read_fails_after_first_chunk", 131073, 131073, Fail("ReadFile", 23, 2), "FILE_READ", 2},
    {"information_unreadable_on_held_handle", 10, 10,
     [](MemoryPlatform& p, GuardedDirectory& g) {
         g.OpenFile("data.bin", 10);
         p.FailCall("GetFileInformationByHandle", win::kErrorInvalidHandle);
     },
     "FILE_INFORMATION", 0},
    {"link_where_file_expected", 10, 10,
     [](MemoryPlatform& p, GuardedDirectory&) {
         p.RemoveEntry(kFile);
         p.AddFile(u"C:\\outside\\data.bin", Pattern(10));
         p.AddSymbolicLink(kFile, u"C:\\outside\\data.bin", false);
     },
     "REPARSE_POINT", 0},
    {"hash_data_refused", 10, 10,
     [](MemoryPlatform& p, GuardedDirectory&) {
         p.FailStatus("BCryptHashData", kStatusUnsuccessful);
     },
     "HASH_READ", 1},
};

class FileDigestFaultTest : public ::testing::TestWithParam<FileFaultCase> {};

TEST_P(FileDigestFaultTest, RefusesAndReleasesTheComputation) {
    const FileFaultCase& c = GetParam();
    MemoryPlatform platform;
    platform.AddFile(kFile, Pattern(c.size));
    GuardedDirectory guard(platform, kBase, 0);
    c.before(platform, guard);
    const int readsBefore = platform.CallCount("ReadFile");
    EXPECT_EQ(CodeOf([&] { FileDigest(guard, "data.bin", c.expectedSize); }), c.expected);
    EXPECT_EQ(platform.CallCount("ReadFile") - readsBefore, c.reads);
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
    // The file handle stays with the guard once opened; a link is never held.
    EXPECT_EQ(platform.OpenHandleCount(), c.expected == "REPARSE_POINT" ? 2u : 3u);
}
INSTANTIATE_TEST_SUITE_P(Faults, FileDigestFaultTest, ::testing::ValuesIn(kFileFaultCases),
                         CaseName<FileFaultCase>);

}  // namespace
}  // namespace veltomarn

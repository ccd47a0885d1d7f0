#include "payload/unseal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "core/failure.h"
#include "payload/payload_format.h"
#include "support/memory_platform.h"
#include "support/test_payload.h"
#include "support/test_release.h"

namespace veltomarn {
namespace {

using testing::FilePosition;
using testing::MemoryPlatform;
using testing::PackagePath;
using testing::PayloadBuilder;
using testing::PayloadFile;
using testing::SealedPayload;
using testing::SortedWithRequired;
using testing::WritePayloadFile;

constexpr const char* kPassed = "PASSED";
constexpr std::size_t k1MiB = 1048576;
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);
constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);
constexpr uint32_t kErrorDiskFull = 112;
const WideString kDestination = u"C:\\dest";
const WideString kNowhere;
// Stands for the cache's SECURITY_ATTRIBUTES; only its identity matters.
int gCacheSecurity = 0;
void* const kSecurity = &gCacheSecurity;

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The calls that unsealing into a destination makes and that tests count or make fail.
const std::vector<std::string> kCalls = {"ReadFile",
                                         "WriteFile",
                                         "FlushFileBuffers",
                                         "MoveFileExW",
                                         "CreateFileW",
                                         "CreateDirectoryW",
                                         "GetFileInformationByHandle",
                                         "FindFirstStreamW",
                                         "BCryptOpenAlgorithmProvider",
                                         "BCryptSetProperty",
                                         "BCryptGetProperty",
                                         "BCryptGenerateSymmetricKey",
                                         "BCryptCreateHash",
                                         "BCryptHashData",
                                         "BCryptFinishHash",
                                         "BCryptDecrypt"};

// `size` bytes that differ from chunk to chunk and from one `seed` to another.
std::string Pattern(std::size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string PartialName(const std::string& path) {
    return path + kPartialSuffix;
}

// 0-2: the required files; 3: three chunks (two full, a 10-byte tail); 4: empty; 5: a full chunk
// and a 1-byte one; 6: one small chunk.
std::vector<PayloadFile> StandardFiles() {
    return SortedWithRequired({{"a/b/c", Pattern(2 * k1MiB + 10, 1)},
                               {"empty", ""},
                               {"y", Pattern(k1MiB + 1, 2)},
                               {"z", "last file"}});
}

// A payload written into a fresh model with its index read, ready to be unsealed once. The wipe
// log's length is noted at every decryption, so that tests can tell what was wiped after it.
class Unsealing {
  public:
    explicit Unsealing(const std::vector<uint8_t>& bytes) {
        platform.AddDirectory(kDestination);
        file = WritePayloadFile(platform, bytes);
        index = ReadPayloadIndex(platform, file.get());
        for (int n = 1; n <= 64; ++n) {
            platform.OnCall(
                "BCryptDecrypt", [this] { decryptMarks.push_back(platform.Wipes().size()); }, n);
        }
    }

    std::string Run(const WideString& destination) {
        before_ = Counts();
        try {
            UnsealPayload(platform, file.get(), index, destination,
                          destination.empty() ? nullptr : kSecurity);
            return kPassed;
        } catch (const Failure& failure) {
            return failure.code();
        }
    }

    // Uses of `name` during Run.
    int Calls(const std::string& name) const { return platform.CallCount(name) - before_.at(name); }

    // Whether `region` was wiped after wipe number `mark`.
    bool WipedSince(std::size_t mark, const MemoryPlatform::Region& region) const {
        const auto& wipes = platform.Wipes();
        for (std::size_t i = mark; i < wipes.size(); ++i) {
            if (wipes[i].begin <= region.begin &&
                region.begin + region.size <= wipes[i].begin + wipes[i].size) {
                return true;
            }
        }
        return false;
    }

    // What every return leaves: no CNG object alive, no handle but the payload's, and the
    // plaintext buffer and the key object wiped after the last decryption.
    void ExpectCleanExit() const {
        EXPECT_EQ(platform.LiveCngObjects(), 0u);
        EXPECT_EQ(platform.OpenHandleCount(), 1u);
        const std::size_t mark = decryptMarks.empty() ? 0 : decryptMarks.back();
        for (const auto& region : platform.DecryptOutputs()) {
            EXPECT_TRUE(WipedSince(mark, region)) << "plaintext buffer left unwiped";
        }
        for (const auto& region : platform.KeyObjects()) {
            EXPECT_TRUE(WipedSince(mark, region)) << "key object left unwiped";
        }
    }

    // Files before `failing` stand committed, `failing` as its partial file, the rest not at all.
    void ExpectCommittedBefore(const std::vector<PayloadFile>& files, std::size_t failing) const {
        for (std::size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(files[i].path);
            const WideString final = PackagePath(kDestination, files[i].path);
            const WideString partial = PackagePath(kDestination, PartialName(files[i].path));
            EXPECT_EQ(platform.Exists(final), i < failing);
            EXPECT_EQ(platform.Exists(partial), i == failing);
            if (i < failing) {
                EXPECT_EQ(platform.FileBytes(final), files[i].plaintext);
            }
        }
    }

    // Nothing on disk was created or written by Run.
    void ExpectNothingTouched() const {
        for (const char* call :
             {"CreateFileW", "CreateDirectoryW", "WriteFile", "FlushFileBuffers", "MoveFileExW"}) {
            EXPECT_EQ(Calls(call), 0) << call;
        }
    }

    MemoryPlatform platform;
    ScopedHandle file;
    PayloadIndex index;
    std::vector<std::size_t> decryptMarks;

  private:
    std::map<std::string, int> Counts() const {
        std::map<std::string, int> counts;
        for (const std::string& call : kCalls) counts[call] = platform.CallCount(call);
        return counts;
    }

    std::map<std::string, int> before_;
};

// --- Sound payloads ------------------------------------------------------------------------

struct ShapeCase {
    std::string name;
    std::map<std::string, std::string> files;
};

const std::vector<ShapeCase> kShapeCases = {
    {"required_files_only", {}},
    {"empty_file", {{"empty", ""}}},
    {"one_byte", {{"one", "1"}}},
    {"exactly_1MiB", {{"full", Pattern(k1MiB, 3)}}},
    {"1MiB_plus_1", {{"over", Pattern(k1MiB + 1, 4)}}},
    {"nested_directories", {{"a/b/c", "c"}, {"a/b/d", ""}, {"a/e", "e"}, {"f/g", "g"}}},
};

class UnsealSoundTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(UnsealSoundTest, WritesExactlyTheFilesIntoTheDestination) {
    const std::vector<PayloadFile> files = SortedWithRequired(GetParam().files);
    const SealedPayload sealed = PayloadBuilder(files).Seal();
    Unsealing run(sealed.Bytes());

    EXPECT_EQ(run.Run(kDestination), kPassed);

    run.ExpectCommittedBefore(files, files.size());
    run.ExpectCleanExit();
    EXPECT_EQ(FilePosition(run.platform, run.file.get()),
              static_cast<int64_t>(sealed.Bytes().size()));
    std::size_t chunks = 0;
    for (const auto& file : sealed.chunks) chunks += file.size();
    // Every chunk, the empty one too, gets a real output buffer.
    EXPECT_EQ(run.platform.DecryptOutputs().size(), chunks);
    for (const auto& output : run.platform.DecryptOutputs()) EXPECT_NE(output.begin, nullptr);
}

TEST_P(UnsealSoundTest, ToNowhereChecksEverythingAndTouchesNothing) {
    const SealedPayload sealed = PayloadBuilder(SortedWithRequired(GetParam().files)).Seal();
    Unsealing run(sealed.Bytes());

    EXPECT_EQ(run.Run(kNowhere), kPassed);

    run.ExpectNothingTouched();
    run.ExpectCleanExit();
    EXPECT_TRUE(run.platform.CreatedDirectories().empty());
    EXPECT_EQ(FilePosition(run.platform, run.file.get()),
              static_cast<int64_t>(sealed.Bytes().size()));
}
INSTANTIATE_TEST_SUITE_P(Shapes, UnsealSoundTest, ::testing::ValuesIn(kShapeCases),
                         CaseName<ShapeCase>);

// --- Damaged payloads, in both modes ---------------------------------------------------------

struct AttackCase {
    std::string name;
    std::function<void(PayloadBuilder&)> seal = nullptr;   // before sealing
    std::function<void(SealedPayload&)> damage = nullptr;  // after sealing
    std::string expected;
    std::size_t failingFile = 0;  // StandardFiles().size(): after every file
    // Where reading stops (file offset), or none to leave it unchecked.
    std::function<std::size_t(const SealedPayload&)> stopsAt = nullptr;
    // Cut the payload file at this offset.
    std::function<std::size_t(const SealedPayload&)> cutAt = nullptr;
};

const testing::Nonce kReused = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};

const std::vector<AttackCase> kAttackCases = {
    {.name = "reused_nonce_in_one_file",
     .seal = [](PayloadBuilder& b) { b.ChunkNonce(3, 0, kReused).ChunkNonce(3, 1, kReused); },
     .expected = "PAYLOAD_NONCE_REUSE",
     .failingFile = 3,
     .stopsAt = [](const SealedPayload& p) { return p.ChunkOffset(3, 1) + 32; }},
    {.name = "reused_nonce_in_another_file",
     .seal = [](PayloadBuilder& b) { b.ChunkNonce(3, 2, kReused).ChunkNonce(6, 0, kReused); },
     .expected = "PAYLOAD_NONCE_REUSE",
     .failingFile = 6,
     .stopsAt = [](const SealedPayload& p) { return p.ChunkOffset(6, 0) + 32; }},
    {.name = "full_chunks_exchanged",
     .damage = [](SealedPayload& p) { testing::SwapChunks(p, 3, 0, 3, 1); },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 3},
    {.name = "chunk_of_a_later_file_moved_forward",
     .damage = [](SealedPayload& p) { p.chunks[3][1] = p.chunks[5][0]; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 3},
    {.name = "chunk_of_an_earlier_file_replayed",
     .damage = [](SealedPayload& p) { p.chunks[5][0] = p.chunks[3][0]; },
     .expected = "PAYLOAD_NONCE_REUSE",
     .failingFile = 5},
    {.name = "chunk_swapped_in_from_another_payload",
     .damage =
         [](SealedPayload& p) {
             p.chunks[5][0] = PayloadBuilder(StandardFiles()).Seal().chunks[5][0];
         },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 5},
    {.name = "opaque_byte_changed",
     .damage = [](SealedPayload& p) { p.header[28 + 7] ^= 0x01; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 0,
     .stopsAt = [](const SealedPayload& p) { return p.ChunkOffset(1, 0); }},
    {.name = "record_digest_changed",
     .damage = [](SealedPayload& p) { p.records[5][10 + 31] ^= 0x80; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 5,
     .stopsAt = [](const SealedPayload& p) { return p.ChunkOffset(5, 1); }},
    {.name = "tail_announced_as_a_full_chunk",
     .damage = [](SealedPayload& p) { p.chunks[3][2].length = k1MiB; },
     .expected = "PAYLOAD_CHUNK_LENGTH",
     .failingFile = 3,
     .stopsAt = [](const SealedPayload& p) { return p.ChunkOffset(3, 2) + 32; }},
    {.name = "full_chunk_announced_as_the_tail",
     .damage = [](SealedPayload& p) { p.chunks[3][0].length = 10; },
     .expected = "PAYLOAD_CHUNK_LENGTH",
     .failingFile = 3},
    {.name = "empty_file_announcing_a_byte",
     .damage = [](SealedPayload& p) { p.chunks[4][0].length = 1; },
     .expected = "PAYLOAD_CHUNK_LENGTH",
     .failingFile = 4},
    {.name = "chunk_dropped",
     .damage = [](SealedPayload& p) { p.chunks[3].erase(p.chunks[3].begin() + 1); },
     .expected = "PAYLOAD_CHUNK_LENGTH",
     .failingFile = 3},
    {.name = "ciphertext_bit_flipped",
     .damage = [](SealedPayload& p) { p.chunks[5][1].ciphertext[0] ^= 0x01; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 5},
    {.name = "tag_bit_flipped",
     .damage = [](SealedPayload& p) { p.chunks[6][0].tag[15] ^= 0x80; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 6},
    {.name = "nonce_bit_flipped",
     .damage = [](SealedPayload& p) { p.chunks[0][0].nonce[11] ^= 0x01; },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 0},
    {.name = "sealed_with_another_key",
     .seal =
         [](PayloadBuilder& b) {
             b.Key(testing::PayloadKeyBytes{1, 2, 3});
         },
     .expected = "PAYLOAD_AUTHENTICATION",
     .failingFile = 0},
    {.name = "plaintext_not_matching_its_digest",
     .seal = [](PayloadBuilder& b) { b.RecordDigestOf(5, "other bytes"); },
     .expected = "PAYLOAD_PLAINTEXT_HASH",
     .failingFile = 5},
    {.name = "empty_file_with_the_digest_of_a_byte",
     .seal = [](PayloadBuilder& b) { b.RecordDigestOf(4, "x"); },
     .expected = "PAYLOAD_PLAINTEXT_HASH",
     .failingFile = 4},
    {.name = "trailing_byte",
     .damage = [](SealedPayload& p) { p.trailing = {0}; },
     .expected = "PAYLOAD_TRAILING_DATA",
     .failingFile = 7},
    {.name = "last_chunk_repeated",
     .damage =
         [](SealedPayload& p) {
             const std::vector<uint8_t> bytes = p.Bytes();
             p.trailing.assign(bytes.begin() + p.ChunkOffset(6, 0), bytes.end());
         },
     .expected = "PAYLOAD_TRAILING_DATA",
     .failingFile = 7},
    {.name = "stream_cut_in_the_last_ciphertext",
     .expected = "PAYLOAD_TRUNCATED",
     .failingFile = 6,
     .cutAt = [](const SealedPayload& p) { return p.Bytes().size() - 1; }},
    {.name = "stream_cut_in_a_chunk_record",
     .expected = "PAYLOAD_TRUNCATED",
     .failingFile = 6,
     .cutAt = [](const SealedPayload& p) { return p.ChunkOffset(6, 0) + 31; }},
    {.name = "last_chunk_missing",
     .expected = "PAYLOAD_TRUNCATED",
     .failingFile = 6,
     .cutAt = [](const SealedPayload& p) { return p.ChunkOffset(6, 0); }},
};

class UnsealAttackTest : public ::testing::TestWithParam<AttackCase> {
  protected:
    void SetUp() override {
        PayloadBuilder builder(StandardFiles());
        if (GetParam().seal) GetParam().seal(builder);
        sealed_ = builder.Seal();
        if (GetParam().damage) GetParam().damage(sealed_);
        bytes_ = sealed_.Bytes();
        if (GetParam().cutAt) bytes_.resize(GetParam().cutAt(sealed_));
    }

    void ExpectStop(Unsealing& run) const {
        if (!GetParam().stopsAt) return;
        EXPECT_EQ(FilePosition(run.platform, run.file.get()),
                  static_cast<int64_t>(GetParam().stopsAt(sealed_)));
    }

    SealedPayload sealed_;
    std::vector<uint8_t> bytes_;
};

TEST_P(UnsealAttackTest, IntoADestinationCommitsOnlyTheFilesBeforeIt) {
    Unsealing run(bytes_);
    EXPECT_EQ(run.Run(kDestination), GetParam().expected);
    ExpectStop(run);
    run.ExpectCleanExit();
    const std::vector<PayloadFile> files = StandardFiles();
    run.ExpectCommittedBefore(files, GetParam().failingFile);
    if (GetParam().expected == "PAYLOAD_PLAINTEXT_HASH") {
        // Left complete, under its partial name only.
        const PayloadFile& failing = files[GetParam().failingFile];
        EXPECT_EQ(run.platform.FileBytes(PackagePath(kDestination, PartialName(failing.path))),
                  failing.plaintext);
    }
}

TEST_P(UnsealAttackTest, ToNowhereFailsAlikeAndTouchesNothing) {
    Unsealing run(bytes_);
    EXPECT_EQ(run.Run(kNowhere), GetParam().expected);
    ExpectStop(run);
    run.ExpectCleanExit();
    run.ExpectNothingTouched();
}
INSTANTIATE_TEST_SUITE_P(Attacks, UnsealAttackTest, ::testing::ValuesIn(kAttackCases),
                         CaseName<AttackCase>);

// --- The destination -------------------------------------------------------------------------

// Every case unseals the required files, "a/b/c" and "z" (in that order) into the destination.
struct DestinationCase {
    std::string name;
    std::function<void(MemoryPlatform&)> setup;
    std::string expected;
    std::string unchanged;  // a set-up file that must keep its bytes
};

const std::vector<DestinationCase> kDestinationCases = {
    {"final_name_exists",
     [](MemoryPlatform& p) { p.AddFile(PackagePath(kDestination, "z"), "old"); }, "CACHE_COMMIT",
     "z"},
    {"partial_name_exists",
     [](MemoryPlatform& p) { p.AddFile(PackagePath(kDestination, PartialName("z")), "old"); },
     "CACHE_FILE_CREATE", PartialName("z")},
    {"parent_directory_exists",
     [](MemoryPlatform& p) { p.AddDirectory(PackagePath(kDestination, "a")); }, kPassed, ""},
    {"file_where_a_parent_should_be",
     [](MemoryPlatform& p) { p.AddFile(PackagePath(kDestination, "a"), "file"); }, "DIRECTORY_TYPE",
     "a"},
    {"junction_where_a_parent_should_be",
     [](MemoryPlatform& p) {
         p.AddDirectory(u"C:\\elsewhere");
         p.AddJunction(PackagePath(kDestination, "a"), u"C:\\elsewhere");
     },
     "REPARSE_POINT", ""},
    {"parent_refused",
     [](MemoryPlatform& p) { p.FailCall("CreateDirectoryW", win::kErrorAccessDenied); },
     "CACHE_SUBDIRECTORY", ""},
    {"short_write", [](MemoryPlatform& p) { p.ShortWrite(1, 3); }, "CACHE_WRITE", ""},
    {"write_refused", [](MemoryPlatform& p) { p.FailCall("WriteFile", kErrorDiskFull); },
     "CACHE_WRITE", ""},
    {"flush_refused", [](MemoryPlatform& p) { p.FailCall("FlushFileBuffers", kErrorDiskFull); },
     "CACHE_FLUSH", ""},
    {"rename_refused",
     [](MemoryPlatform& p) { p.FailCall("MoveFileExW", win::kErrorAccessDenied); }, "CACHE_COMMIT",
     ""},
    {"decryption_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptDecrypt", kStatusUnsuccessful, 2); },
     "PAYLOAD_AUTHENTICATION", ""},
    {"hashing_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptHashData", kStatusUnsuccessful, 2); }, "HASH_READ",
     ""},
    {"digest_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptFinishHash", kStatusUnsuccessful, 2); },
     "HASH_FINISH", ""},
    {"payload_read_refused",
     [](MemoryPlatform& p) { p.FailCall("ReadFile", win::kErrorAccessDenied, 3); },
     "PAYLOAD_TRUNCATED", ""},
    {"trailing_read_refused",  // two reads for each of the five files, then the trailing one
     [](MemoryPlatform& p) { p.FailCall("ReadFile", win::kErrorAccessDenied, 5 * 2 + 1); },
     "PAYLOAD_TRAILING_DATA", ""},
    {"key_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptGenerateSymmetricKey", kStatusUnsuccessful); },
     "AES_KEY", ""},
    {"key_before_a_missing_destination",
     [](MemoryPlatform& p) {
         p.RemoveEntry(kDestination);
         p.FailStatus("BCryptOpenAlgorithmProvider", kStatusNotFound);
     },
     "AES_PROVIDER", ""},
};

class UnsealDestinationTest : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(UnsealDestinationTest, FailsWithItsCodeAndReleasesEverything) {
    Unsealing run(PayloadBuilder(SortedWithRequired({{"a/b/c", "c"}, {"z", "new"}})).Bytes());
    GetParam().setup(run.platform);
    const WideString unchanged = PackagePath(kDestination, GetParam().unchanged);
    const std::string before =
        GetParam().unchanged.empty() ? "" : run.platform.FileBytes(unchanged);

    EXPECT_EQ(run.Run(kDestination), GetParam().expected);

    run.ExpectCleanExit();
    if (!GetParam().unchanged.empty()) {
        EXPECT_EQ(run.platform.FileBytes(unchanged), before);
    }
}
INSTANTIATE_TEST_SUITE_P(Destinations, UnsealDestinationTest,
                         ::testing::ValuesIn(kDestinationCases), CaseName<DestinationCase>);

TEST(UnsealPayloadTest, CreatesEachParentInOrderWithTheCacheSecurity) {
    Unsealing run(PayloadBuilder(SortedWithRequired({{"a/b/c", "c"}, {"a/b/d", "d"}})).Bytes());
    ASSERT_EQ(run.Run(kDestination), kPassed);
    const auto& created = run.platform.CreatedDirectories();
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0].path, u"\\\\?\\C:\\dest\\a");
    EXPECT_EQ(created[1].path, u"\\\\?\\C:\\dest\\a\\b");
    for (const auto& directory : created) EXPECT_EQ(directory.securityAttributes, kSecurity);
}

TEST(UnsealPayloadTest, HashIsReadyBeforeAnythingOfTheFileIsCreated) {
    // "0/x" comes first in byte order: its directory would be made before its partial file.
    Unsealing run(PayloadBuilder(SortedWithRequired({{"0/x", "x"}})).Bytes());
    run.platform.FailStatus("BCryptCreateHash", kStatusUnsuccessful);
    EXPECT_EQ(run.Run(kDestination), "HASH_CREATE");
    EXPECT_TRUE(run.platform.CreatedDirectories().empty());
    EXPECT_FALSE(run.platform.Exists(PackagePath(kDestination, "0")));
    run.ExpectCleanExit();
}

TEST(UnsealPayloadTest, PlaintextIsWipedAfterEveryChunk) {
    Unsealing run(PayloadBuilder(StandardFiles()).Bytes());
    ASSERT_EQ(run.Run(kDestination), kPassed);
    const auto& outputs = run.platform.DecryptOutputs();
    ASSERT_EQ(outputs.size(), run.decryptMarks.size());
    for (std::size_t i = 0; i + 1 < outputs.size(); ++i) {
        const std::size_t next = run.decryptMarks[i + 1];
        bool wiped = false;
        for (std::size_t w = run.decryptMarks[i]; w < next; ++w) {
            const auto& wipe = run.platform.Wipes()[w];
            wiped = wiped || (wipe.begin <= outputs[i].begin &&
                              outputs[i].begin + outputs[i].size <= wipe.begin + wipe.size);
        }
        EXPECT_TRUE(wiped) << "chunk " << i << " still in memory at the next decryption";
    }
}

// Any one failing call, at any of its uses: a failure, everything released and wiped, and no
// unverified bytes under a final name.
TEST(UnsealPayloadTest, EveryFailingCallLeavesNoSecretAndNoUnverifiedFile) {
    const std::vector<PayloadFile> files =
        SortedWithRequired({{"a/b/c", Pattern(k1MiB + 5, 5)}, {"empty", ""}});
    const std::vector<uint8_t> bytes = PayloadBuilder(files).Bytes();
    Unsealing dry(bytes);
    ASSERT_EQ(dry.Run(kDestination), kPassed);
    for (const std::string& call : kCalls) {
        ASSERT_GT(dry.Calls(call), 0) << call;
        for (int nth = 1; nth <= dry.Calls(call); ++nth) {
            SCOPED_TRACE(call + " failing at use " + std::to_string(nth));
            Unsealing run(bytes);
            run.platform.FailCall(call, win::kErrorAccessDenied, nth);
            EXPECT_NE(run.Run(kDestination), kPassed);
            run.ExpectCleanExit();
            for (const PayloadFile& file : files) {
                const WideString final = PackagePath(kDestination, file.path);
                if (run.platform.Exists(final)) {
                    EXPECT_EQ(run.platform.FileBytes(final), file.plaintext) << file.path;
                }
            }
        }
    }
}

// --- The payload key -------------------------------------------------------------------------

struct KeyCase {
    std::string name;
    std::function<void(MemoryPlatform&)> setup;
    std::string expected;
    std::vector<std::string> events;  // CNG lifetimes, release included
};

const std::vector<std::string> kKeyLife = {"OpenAlgorithmProvider", "GenerateSymmetricKey",
                                           "DestroyKey", "CloseAlgorithmProvider"};
const std::vector<std::string> kProviderLife = {"OpenAlgorithmProvider", "CloseAlgorithmProvider"};

const std::vector<KeyCase> kKeyCases = {
    {"no_fault", [](MemoryPlatform&) {}, kPassed, kKeyLife},
    {"object_length_exactly_1MiB", [](MemoryPlatform& p) { p.SetKeyObjectLength(1048576); },
     kPassed, kKeyLife},
    {"provider_missing",
     [](MemoryPlatform& p) { p.FailStatus("BCryptOpenAlgorithmProvider", kStatusNotFound); },
     "AES_PROVIDER",
     {}},
    {"gcm_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptSetProperty", kStatusNotSupported); }, "AES_MODE",
     kProviderLife},
    {"object_length_unreadable",
     [](MemoryPlatform& p) { p.FailStatus("BCryptGetProperty", kStatusUnsuccessful); },
     "AES_PROPERTY", kProviderLife},
    {"object_length_1MiB_plus_1", [](MemoryPlatform& p) { p.SetKeyObjectLength(1048577); },
     "AES_PROPERTY", kProviderLife},
    {"key_refused",
     [](MemoryPlatform& p) { p.FailStatus("BCryptGenerateSymmetricKey", kStatusUnsuccessful); },
     "AES_KEY", kProviderLife},
};

class OpenPayloadKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(OpenPayloadKeyTest, ReleasesWhatItOpenedAndWipesTheKeyBytesAtOnce) {
    MemoryPlatform platform;
    GetParam().setup(platform);
    std::size_t markAtKey = SIZE_MAX;
    platform.OnCall("BCryptGenerateSymmetricKey", [&] { markAtKey = platform.Wipes().size(); });
    std::string code = kPassed;
    try {
        std::unique_ptr<PayloadKey> key = OpenPayloadKey(platform);
        ReleasePayloadKey(*key);
    } catch (const Failure& failure) {
        code = failure.code();
    }
    EXPECT_EQ(code, GetParam().expected);
    EXPECT_EQ(platform.CngEvents(), GetParam().events);
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
    for (const auto& region : platform.KeyObjects()) {
        EXPECT_TRUE(platform.WasWiped(region.begin, region.size));
    }
    if (markAtKey != SIZE_MAX) {
        // The first wipe after the key object was made is the 32 key bytes.
        ASSERT_GT(platform.Wipes().size(), markAtKey);
        EXPECT_EQ(platform.Wipes()[markAtKey].size, 32u);
    }
}
INSTANTIATE_TEST_SUITE_P(Faults, OpenPayloadKeyTest, ::testing::ValuesIn(kKeyCases),
                         CaseName<KeyCase>);

}  // namespace
}  // namespace veltomarn

#include "payload/payload_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"
#include "support/test_payload.h"

namespace veltomarn {
namespace {

using testing::FilePosition;
using testing::MemoryPlatform;
using testing::PayloadBuilder;
using testing::PayloadFile;
using testing::SealedPayload;
using testing::SortedWithRequired;
using testing::WritePayloadFile;

constexpr const char* kPassed = "PASSED";
constexpr uint64_t k4GiB = 4294967296;
constexpr uint64_t k1MiB = 1048576;

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

// The failure code of reading `bytes` as a payload, or "PASSED".
std::string IndexCode(const std::vector<uint8_t>& bytes) {
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, bytes);
    try {
        ReadPayloadIndex(platform, file.get());
        return kPassed;
    } catch (const Failure& failure) {
        return failure.code();
    }
}

// The required files and `extra`, in byte order.
PayloadBuilder Sorted(std::map<std::string, std::string> extra = {}) {
    return PayloadBuilder(SortedWithRequired(std::move(extra)));
}

// Exactly these paths in this order, each file holding its own path.
PayloadBuilder Listed(const std::vector<std::string>& paths) {
    std::vector<PayloadFile> files;
    for (const std::string& path : paths) files.push_back({path, path});
    return PayloadBuilder(files);
}

// The required files, then `extra` in the order given.
PayloadBuilder RequiredThen(const std::vector<std::string>& extra) {
    std::vector<std::string> paths = {"RELEASE.sig", "RELEASE.signed", "VeltoMarnLauncher.exe"};
    paths.insert(paths.end(), extra.begin(), extra.end());
    return Listed(paths);
}

// Empty required files, then `big` files each claiming 4 GiB unless told otherwise.
PayloadBuilder WithBigFiles(const std::vector<std::string>& big) {
    std::vector<PayloadFile> files = {
        {"RELEASE.sig", ""}, {"RELEASE.signed", ""}, {"VeltoMarnLauncher.exe", ""}};
    for (const std::string& path : big) files.push_back({path, ""});
    PayloadBuilder builder(files);
    for (std::size_t i = 3; i < files.size(); ++i) builder.RecordSize(i, k4GiB);
    return builder;
}

// Empty required files and "big.bin", which claims `size` bytes.
PayloadBuilder WithBigFile(uint64_t size) {
    return WithBigFiles({"big.bin"}).RecordSize(3, size);
}

uint64_t RequiredBytes() {
    uint64_t sum = 0;
    for (const PayloadFile& file : testing::RequiredPayloadFiles()) sum += file.plaintext.size();
    return sum;
}

std::vector<uint8_t> HeaderWith(std::size_t offset, uint8_t value) {
    std::vector<uint8_t> bytes = Sorted().Bytes();
    bytes[offset] = value;
    return bytes;
}

std::vector<std::string> ManyFiles(std::size_t count) {
    std::vector<std::string> paths;
    char name[16];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "f%03zu", i);
        paths.push_back(name);
    }
    return paths;
}

// --- ReadPayloadIndex: one row per rule, and which rule wins ---------------------------------

struct IndexCase {
    std::string name;
    std::function<std::vector<uint8_t>()> bytes;
    std::string expected;
};

const std::vector<IndexCase> kIndexCases = {
    {"minimal_payload", [] { return Sorted().Bytes(); }, kPassed},
    {"header_only_announcing_one_file", [] { return Sorted().FileCount(1).Seal().header; },
     "PAYLOAD_TRUNCATED"},
    {"magic_in_lower_case", [] { return HeaderWith(0, 'v'); }, "PAYLOAD_MAGIC"},
    {"magic_without_its_zero_byte", [] { return HeaderWith(15, ' '); }, "PAYLOAD_MAGIC"},
    {"file_count_0", [] { return Sorted().FileCount(0).Bytes(); }, "PAYLOAD_LIMIT"},
    {"file_count_513", [] { return Sorted().FileCount(513).Bytes(); }, "PAYLOAD_LIMIT"},
    {"file_count_3_plus_2_pow_16", [] { return Sorted().FileCount(3 + 65536).Bytes(); },
     "PAYLOAD_LIMIT"},
    {"file_count_512", [] { return RequiredThen(ManyFiles(509)).Bytes(); }, kPassed},
    {"plaintext_total_4GiB", [] { return WithBigFile(k4GiB).Bytes(); }, kPassed},
    {"plaintext_total_4GiB_plus_1",
     [] { return WithBigFile(k4GiB).PlaintextTotal(k4GiB + 1).Bytes(); }, "PAYLOAD_LIMIT"},
    {"plaintext_total_2_pow_64_minus_1", [] { return Sorted().PlaintextTotal(UINT64_MAX).Bytes(); },
     "PAYLOAD_LIMIT"},
    {"file_of_4GiB_plus_1", [] { return WithBigFile(k4GiB + 1).PlaintextTotal(k4GiB).Bytes(); },
     "PAYLOAD_FILE_LIMIT"},
    {"size_wrapping_the_running_sum",
     [] {
         return WithBigFiles({"big1", "big2"}).RecordSize(3, 1).RecordSize(4, UINT64_MAX).Bytes();
     },
     "PAYLOAD_FILE_LIMIT"},
    {"path_length_0", [] { return Sorted().RecordPathLength(0, 0).Bytes(); },
     "PAYLOAD_PATH_LENGTH"},
    {"path_length_240",
     [] {
         return Sorted({{std::string(240, 'x'), "x"}}).Bytes();
     },
     kPassed},
    {"path_length_241",
     [] {
         return Sorted({{std::string(241, 'x'), "x"}}).Bytes();
     },
     "PAYLOAD_PATH_LENGTH"},
    {"empty_file_with_chunk_count_0",
     [] {
         return Sorted({{"empty", ""}}).RecordChunkCount(3, 0).Bytes();
     },
     "PAYLOAD_CHUNK_COUNT"},
    {"empty_file_with_chunk_count_1",
     [] {
         return Sorted({{"empty", ""}}).Bytes();
     },
     kPassed},
    {"empty_file_with_chunk_count_2",
     [] {
         return Sorted({{"empty", ""}}).RecordChunkCount(3, 2).Bytes();
     },
     "PAYLOAD_CHUNK_COUNT"},
    {"size_1MiB_with_chunk_count_1", [] { return WithBigFile(k1MiB).Bytes(); }, kPassed},
    {"size_1MiB_with_chunk_count_2",
     [] { return WithBigFile(k1MiB).RecordChunkCount(3, 2).Bytes(); }, "PAYLOAD_CHUNK_COUNT"},
    {"size_1MiB_plus_1_with_chunk_count_2", [] { return WithBigFile(k1MiB + 1).Bytes(); }, kPassed},
    {"size_1MiB_plus_1_with_chunk_count_1",
     [] { return WithBigFile(k1MiB + 1).RecordChunkCount(3, 1).Bytes(); }, "PAYLOAD_CHUNK_COUNT"},
    {"path_with_backslash",
     [] {
         return Sorted({{"dir\\x", "x"}}).Bytes();
     },
     "PATH_CHARACTER"},
    {"path_climbing_out",
     [] {
         return Sorted({{"a/../x", "x"}}).Bytes();
     },
     "PATH_COMPONENT"},
    {"path_naming_a_device",
     [] {
         return Sorted({{"aux.txt", "x"}}).Bytes();
     },
     "PATH_DEVICE"},
    {"owner_name_at_the_top",
     [] {
         return Sorted({{".sealed-owner", "x"}}).Bytes();
     },
     "PAYLOAD_RESERVED_NAME"},
    {"owner_name_in_a_subdirectory",
     [] {
         return Sorted({{"sub/.sealed-owner", "x"}}).Bytes();
     },
     kPassed},
    {"partial_name_in_a_subdirectory",
     [] {
         return Sorted({{"sub/x.sealed-partial", "x"}}).Bytes();
     },
     "PAYLOAD_RESERVED_NAME"},
    {"partial_name_in_upper_case_alone",
     [] {
         return Sorted({{"x.SEALED-PARTIAL", "x"}}).Bytes();
     },
     kPassed},
    {"case_alias_in_byte_order",
     [] {
         return Sorted({{"Readme", "1"}, {"readme", "2"}}).Bytes();
     },
     "PAYLOAD_ALIAS"},
    {"case_alias_against_byte_order",
     [] {
         return RequiredThen({"readme", "Readme"}).Bytes();
     },
     "PAYLOAD_ORDER"},
    {"same_path_twice",
     [] {
         return RequiredThen({"notes", "notes"}).Bytes();
     },
     "PAYLOAD_ORDER"},
    {"longer_path_before_its_prefix",
     [] {
         return RequiredThen({"ab", "a"}).Bytes();
     },
     "PAYLOAD_ORDER"},
    {"prefix_before_longer_path",
     [] {
         return RequiredThen({"a", "ab"}).Bytes();
     },
     kPassed},
    {"directory_case_alias",
     [] {
         return Sorted({{"A/c", "1"}, {"a/b", "2"}}).Bytes();
     },
     "PAYLOAD_DIRECTORY_ALIAS"},
    {"nested_directory_case_alias",
     [] {
         return Sorted({{"a/B/x", "1"}, {"a/b/y", "2"}}).Bytes();
     },
     "PAYLOAD_DIRECTORY_ALIAS"},
    {"file_and_directory_of_one_name",
     [] {
         return Sorted({{"x", "1"}, {"x/y", "2"}}).Bytes();
     },
     "PAYLOAD_DIRECTORY_ALIAS"},
    {"file_and_directory_differing_in_case",
     [] {
         return Sorted({{"Docs", "1"}, {"docs/a", "2"}}).Bytes();
     },
     "PAYLOAD_DIRECTORY_ALIAS"},
    {"files_sharing_directories",
     [] {
         return Sorted({{"a/b/c", "1"}, {"a/b/d", "2"}, {"a/e", "3"}}).Bytes();
     },
     kPassed},
    {"partial_alias_of_a_file",
     [] {
         return Sorted({{"b", "1"}, {"b.SEALED-PARTIAL", "2"}}).Bytes();
     },
     "PAYLOAD_PARTIAL_ALIAS"},
    {"partial_alias_of_an_upper_case_file",
     [] {
         return Sorted({{"B", "1"}, {"b.Sealed-Partial", "2"}}).Bytes();
     },
     "PAYLOAD_PARTIAL_ALIAS"},
    {"partial_alias_of_a_directory",
     [] {
         return Sorted({{"x", "1"}, {"X.Sealed-Partial/y", "2"}}).Bytes();
     },
     "PAYLOAD_PARTIAL_ALIAS"},
    {"release_sig_missing",
     [] {
         return Listed({"RELEASE.signed", "VeltoMarnLauncher.exe"}).Bytes();
     },
     "PAYLOAD_REQUIRED_FILES"},
    {"release_signed_missing",
     [] {
         return Listed({"RELEASE.sig", "VeltoMarnLauncher.exe"}).Bytes();
     },
     "PAYLOAD_REQUIRED_FILES"},
    {"launcher_only_in_a_subdirectory",
     [] {
         return Listed({"RELEASE.sig", "RELEASE.signed", "bin/VeltoMarnLauncher.exe"}).Bytes();
     },
     "PAYLOAD_REQUIRED_FILES"},
    {"launcher_in_lower_case",
     [] {
         return Listed({"RELEASE.sig", "RELEASE.signed", "veltomarnlauncher.exe"}).Bytes();
     },
     "PAYLOAD_REQUIRED_FILES"},
    {"sizes_below_the_total", [] { return Sorted().PlaintextTotal(RequiredBytes() + 1).Bytes(); },
     "PAYLOAD_REQUIRED_FILES"},
    {"sizes_above_the_total", [] { return Sorted().PlaintextTotal(RequiredBytes() - 1).Bytes(); },
     "PAYLOAD_REQUIRED_FILES"},
    // The first failing check decides.
    {"magic_before_limit",
     [] {
         std::vector<uint8_t> header = Sorted().FileCount(0).Seal().header;
         header[0] = 'v';
         return header;
     },
     "PAYLOAD_MAGIC"},
    {"limit_before_truncation", [] { return Sorted().FileCount(513).Seal().header; },
     "PAYLOAD_LIMIT"},
    {"path_length_before_size",
     [] { return WithBigFile(k4GiB + 1).RecordPathLength(3, 0).PlaintextTotal(k4GiB).Bytes(); },
     "PAYLOAD_PATH_LENGTH"},
    {"size_before_chunk_count",
     [] { return WithBigFile(k4GiB + 1).RecordChunkCount(3, 1).PlaintextTotal(k4GiB).Bytes(); },
     "PAYLOAD_FILE_LIMIT"},
    {"chunk_count_before_path_rules",
     [] {
         return Sorted({{"dir\\x", "x"}}).RecordChunkCount(3, 2).Bytes();
     },
     "PAYLOAD_CHUNK_COUNT"},
    {"reserved_name_before_order",
     [] {
         return RequiredThen({"z", ".sealed-owner"}).Bytes();
     },
     "PAYLOAD_RESERVED_NAME"},
    {"order_before_directory_alias",
     [] {
         return RequiredThen({"b/c", "B"}).Bytes();
     },
     "PAYLOAD_ORDER"},
    {"alias_before_required_files",
     [] {
         return Listed({"Readme", "readme"}).Bytes();
     },
     "PAYLOAD_ALIAS"},
    {"directory_alias_before_partial_alias",
     [] {
         return Sorted({{"b", "1"}, {"b.SEALED-PARTIAL", "2"}, {"x", "3"}, {"x/y", "4"}}).Bytes();
     },
     "PAYLOAD_DIRECTORY_ALIAS"},
    {"partial_alias_before_sizes",
     [] {
         return Sorted({{"b", "1"}, {"b.SEALED-PARTIAL", "2"}}).PlaintextTotal(k4GiB).Bytes();
     },
     "PAYLOAD_PARTIAL_ALIAS"},
};

class ReadPayloadIndexRuleTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(ReadPayloadIndexRuleTest, RefusesWithTheFirstBrokenRule) {
    EXPECT_EQ(IndexCode(GetParam().bytes()), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Rules, ReadPayloadIndexRuleTest, ::testing::ValuesIn(kIndexCases),
                         CaseName<IndexCase>);

// --- Where a refused read stops --------------------------------------------------------------

struct StopCase {
    std::string name;
    std::function<SealedPayload()> payload;
    std::string expected;
    std::size_t record;     // the record at which the check fails
    bool pathRead = false;  // whether that record's path was read before
};

const std::vector<StopCase> kStopCases = {
    {"file_limit_at_the_second_big_file",
     [] {
         return WithBigFiles({"big1", "big2"}).RecordSize(4, 1).PlaintextTotal(k4GiB).Seal();
     },
     "PAYLOAD_FILE_LIMIT", 4},
    {"path_length_241_before_its_path",
     [] {
         return Sorted({{std::string(241, 'x'), "x"}}).Seal();
     },
     "PAYLOAD_PATH_LENGTH", 3},
    {"chunk_count_before_its_path", [] { return Sorted().RecordChunkCount(1, 2).Seal(); },
     "PAYLOAD_CHUNK_COUNT", 1},
    {"alias_after_its_path",
     [] {
         return Sorted({{"Readme", "1"}, {"readme", "2"}}).Seal();
     },
     "PAYLOAD_ALIAS", 4, true},
};

class ReadPayloadIndexStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(ReadPayloadIndexStopTest, LeavesTheHandleWhereTheFailingRecordStopped) {
    const SealedPayload sealed = GetParam().payload();
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, sealed.Bytes());
    std::string code = kPassed;
    try {
        ReadPayloadIndex(platform, file.get());
    } catch (const Failure& failure) {
        code = failure.code();
    }
    EXPECT_EQ(code, GetParam().expected);
    std::size_t stop = sealed.header.size() + kPayloadRecordFixedBytes;
    for (std::size_t i = 0; i < GetParam().record; ++i) stop += sealed.records[i].size();
    if (GetParam().pathRead)
        stop = stop - kPayloadRecordFixedBytes + sealed.records[GetParam().record].size();
    EXPECT_EQ(FilePosition(platform, file.get()), static_cast<int64_t>(stop));
}
INSTANTIATE_TEST_SUITE_P(Records, ReadPayloadIndexStopTest, ::testing::ValuesIn(kStopCases),
                         CaseName<StopCase>);

// --- What an accepted index holds, and where it leaves the handle ----------------------------

TEST(ReadPayloadIndexTest, KeepsEveryByteAsReadAndLeavesTheHandleAtTheFirstChunkRecord) {
    const std::vector<PayloadFile> files = SortedWithRequired({{"a/b/c", "nested"}, {"empty", ""}});
    const SealedPayload sealed = PayloadBuilder(files).Seal();
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, sealed.Bytes());

    const PayloadIndex index = ReadPayloadIndex(platform, file.get());

    EXPECT_EQ(index.header, sealed.header);
    EXPECT_EQ(index.indexBytes, sealed.IndexBytes());
    uint64_t total = 0;
    ASSERT_EQ(index.entries.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].path);
        const PayloadEntry& entry = index.entries[i];
        EXPECT_EQ(entry.path, files[i].path);
        EXPECT_EQ(entry.size, files[i].plaintext.size());
        EXPECT_EQ(entry.chunkCount, 1u);
        EXPECT_EQ(entry.digest, testing::Sha256Of(files[i].plaintext));
        EXPECT_EQ(entry.record, sealed.records[i]);
        total += entry.size;
    }
    EXPECT_EQ(index.plaintextBytes, total);

    uint8_t next[32] = {};
    uint32_t read = 0;
    ASSERT_TRUE(platform.ReadFile(file.get(), next, sizeof next, &read));
    const testing::SealedChunk& first = sealed.chunks[0][0];
    EXPECT_TRUE(std::equal(first.nonce.begin(), first.nonce.end(), next));
    EXPECT_TRUE(std::equal(first.tag.begin(), first.tag.end(), next + 12));
}

TEST(ReadPayloadIndexTest, RewindsAHandleThatWasReadBefore) {
    const SealedPayload sealed = Sorted().Seal();
    const std::vector<uint8_t> bytes = sealed.Bytes();
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, bytes);
    std::vector<uint8_t> all(bytes.size());
    uint32_t read = 0;
    ASSERT_TRUE(
        platform.ReadFile(file.get(), all.data(), static_cast<uint32_t>(all.size()), &read));

    const PayloadIndex index = ReadPayloadIndex(platform, file.get());

    EXPECT_EQ(index.indexBytes, sealed.IndexBytes());
    EXPECT_EQ(FilePosition(platform, file.get()), static_cast<int64_t>(sealed.IndexBytes().size()));
}

TEST(ReadPayloadIndexTest, FailingRewindIsPayloadSeekBeforeAnythingIsRead) {
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, Sorted().Bytes());
    platform.FailCall("SetFilePointerEx", win::kErrorInvalidParameter);
    const int readsBefore = platform.CallCount("ReadFile");
    std::string code = kPassed;
    try {
        ReadPayloadIndex(platform, file.get());
    } catch (const Failure& failure) {
        code = failure.code();
    }
    EXPECT_EQ(code, "PAYLOAD_SEEK");
    EXPECT_EQ(platform.CallCount("ReadFile"), readsBefore);
}

TEST(ReadPayloadIndexTest, ReadsTheHeaderOnceAndEachRecordInTwoReads) {
    MemoryPlatform platform;
    const ScopedHandle file = WritePayloadFile(platform, Sorted({{"a", "1"}}).Bytes());
    const int readsBefore = platform.CallCount("ReadFile");
    ReadPayloadIndex(platform, file.get());
    EXPECT_EQ(platform.CallCount("ReadFile") - readsBefore, 1 + 2 * 4);
}

TEST(ReadPayloadIndexTest, EveryTruncatedIndexIsPayloadTruncated) {
    const std::vector<uint8_t> index = Sorted({{"d/e", "1"}}).Seal().IndexBytes();
    for (std::size_t cut = 0; cut < index.size(); ++cut) {
        EXPECT_EQ(IndexCode({index.begin(), index.begin() + cut}), "PAYLOAD_TRUNCATED")
            << "index cut after " << cut << " bytes";
    }
    EXPECT_EQ(IndexCode(index), kPassed);
}

TEST(ReadPayloadIndexTest, EveryFailingReadIsPayloadTruncated) {
    const std::vector<uint8_t> bytes = Sorted().Bytes();
    for (int nth = 1; nth <= 1 + 2 * 3; ++nth) {
        MemoryPlatform platform;
        const ScopedHandle file = WritePayloadFile(platform, bytes);
        platform.FailCall("ReadFile", win::kErrorAccessDenied, nth);
        std::string code = kPassed;
        try {
            ReadPayloadIndex(platform, file.get());
        } catch (const Failure& failure) {
            code = failure.code();
        }
        EXPECT_EQ(code, "PAYLOAD_TRUNCATED") << "read " << nth << " failing";
    }
}

// --- ChunkCountFor ---------------------------------------------------------------------------

TEST(PayloadChunkCountTest, IsTheNumberOf1MiBChunksAndAtLeastOne) {
    const struct {
        uint64_t size;
        uint64_t chunks;
    } kCases[] = {{0, 1},         {1, 1},         {k1MiB - 1, 1},     {k1MiB, 1},
                  {k1MiB + 1, 2}, {2 * k1MiB, 2}, {2 * k1MiB + 1, 3}, {k4GiB, 4096}};
    for (const auto& c : kCases) EXPECT_EQ(ChunkCountFor(c.size), c.chunks) << "size " << c.size;
}

}  // namespace
}  // namespace veltomarn

#include "payload/payload_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "support/test_support.h"

namespace veltomarn::test {
namespace {

constexpr uint64_t k4GiB = 4294967296;
constexpr uint64_t k1MiB = 1048576;
constexpr char kMagic[] = "VELTO-SEALED-V1";  // with its terminating zero: 16 bytes

// Hands out `bytes` in order and counts how many were read.
struct ByteSource final : PayloadSource {
    explicit ByteSource(std::vector<uint8_t> b) : bytes(std::move(b)) {}
    void Read(uint8_t* buffer, uint32_t size) override {
        check(bytes.size() - position >= size, "PAYLOAD_TRUNCATED");
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position), size, buffer);
        position += size;
    }
    std::vector<uint8_t> bytes;
    std::size_t position = 0;
};

struct File {
    std::string path;
    uint64_t size = 0;
    std::optional<uint32_t> chunks = {};  // else ceil(size / 1 MiB), at least 1
    std::optional<uint16_t> length = {};  // else the path's length
};

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> Record(const File& f) {
    std::vector<uint8_t> record;
    Put(record, f.length.value_or(f.path.size()), 2);
    Put(record, f.size, 8);
    for (int i = 0; i < 32; ++i) record.push_back(static_cast<uint8_t>(f.path.size() * 7 + i));
    Put(record, f.chunks.value_or(f.size == 0 ? 1 : (f.size - 1) / k1MiB + 1), 4);
    record.insert(record.end(), f.path.begin(), f.path.end());
    return record;
}

std::vector<uint8_t> Table(const std::vector<File>& files, std::optional<uint32_t> count = {},
                           std::optional<uint64_t> total = {}, const char* magic = kMagic) {
    std::vector<uint8_t> bytes(magic, magic + 16);
    uint64_t sum = 0;
    for (const File& f : files) sum += f.size;
    Put(bytes, count.value_or(static_cast<uint32_t>(files.size())), 4);
    Put(bytes, total.value_or(sum), 8);
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<uint8_t>(0xA0 + i));
    for (const File& f : files) {
        const std::vector<uint8_t> record = Record(f);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

// The three required files, empty, and `extra`; in byte order of the paths unless told otherwise.
std::vector<File> With(std::vector<File> extra, bool sorted = true) {
    extra.insert(extra.begin(), {{"RELEASE.sig"}, {"RELEASE.signed"}, {"VeltoMarnLauncher.exe"}});
    if (sorted) {
        std::sort(extra.begin(), extra.end(),
                  [](const File& a, const File& b) { return a.path < b.path; });
    }
    return extra;
}

std::vector<File> Many(int count) {
    std::vector<File> files;
    for (int i = 0; i < count; ++i) files.push_back({"f" + std::to_string(1000 + i)});
    return files;
}

std::string Code(const std::vector<uint8_t>& bytes) {
    ByteSource source(bytes);
    return FailureCode([&] { ParsePayloadIndex(source); });
}

struct IndexCase {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string code;  // "" when accepted
};

const std::vector<IndexCase> kCases = {
    {"minimal", Table(With({})), ""},
    {"files_512", Table(With(Many(509))), ""},
    {"total_at_4_gib", Table(With({{"big", k4GiB}})), ""},
    {"path_length_240", Table(With({{std::string(240, 'x')}})), ""},
    {"byte_order_upper_case_first", Table(With({{"B"}, {"_x"}, {"a"}, {"a-b"}, {"a.b"}})), ""},
    {"owner_name_below_top", Table(With({{"x/.sealed-owner"}})), ""},
    {"size_1_mib_in_1_chunk", Table(With({{"a", k1MiB}})), ""},
    {"size_1_mib_plus_1_in_2_chunks", Table(With({{"a", k1MiB + 1}})), ""},
    {"magic_case_changed", Table(With({}), {}, {}, "velto-SEALED-V1"), "PAYLOAD_MAGIC"},
    {"no_files", Table(With({}), 0), "PAYLOAD_LIMIT"},
    {"one_file_counted", Table(With({}), 1), "PAYLOAD_REQUIRED_FILES"},
    {"files_513", Table(With(Many(510))), "PAYLOAD_LIMIT"},
    {"total_over_4_gib", Table(With({{"big", k4GiB}}), {}, k4GiB + 1), "PAYLOAD_LIMIT"},
    {"path_length_0", Table(With({{"a", 0, {}, 0}})), "PAYLOAD_PATH_LENGTH"},
    {"path_length_241", Table(With({{std::string(241, 'x')}})), "PAYLOAD_PATH_LENGTH"},
    {"file_over_4_gib", Table(With({{"big", k4GiB + 1}}), {}, k4GiB), "PAYLOAD_FILE_LIMIT"},
    {"sum_over_4_gib", Table(With({{"a", 1}, {"big", k4GiB}}), {}, k4GiB), "PAYLOAD_FILE_LIMIT"},
    {"size_wrapping_sum", Table(With({{"a", 1}, {"b", UINT64_MAX}}), {}, 0), "PAYLOAD_FILE_LIMIT"},
    {"empty_file_in_0_chunks", Table(With({{"a", 0, 0}})), "PAYLOAD_CHUNK_COUNT"},
    {"empty_file_in_2_chunks", Table(With({{"a", 0, 2}})), "PAYLOAD_CHUNK_COUNT"},
    {"size_1_mib_in_2_chunks", Table(With({{"a", k1MiB, 2}})), "PAYLOAD_CHUNK_COUNT"},
    {"size_1_mib_plus_1_in_1_chunk", Table(With({{"a", k1MiB + 1, 1}})), "PAYLOAD_CHUNK_COUNT"},
    {"parent_traversal", Table(With({{"a/../x"}})), "PATH_COMPONENT"},
    {"owner_marker_at_top", Table(With({{".sealed-owner"}})), "PAYLOAD_RESERVED_NAME"},
    {"name_equal_to_partial_suffix", Table(With({{".sealed-partial"}})), "PAYLOAD_RESERVED_NAME"},
    {"ends_in_partial_suffix", Table(With({{"sub/x.sealed-partial"}})), "PAYLOAD_RESERVED_NAME"},
    {"lower_before_upper", Table(With({{"a"}, {"B"}}, false)), "PAYLOAD_ORDER"},
    {"same_path_twice", Table(With({{"n"}, {"n"}}, false)), "PAYLOAD_ORDER"},
    {"longer_before_its_prefix", Table(With({{"ab"}, {"a"}}, false)), "PAYLOAD_ORDER"},
    {"case_alias", Table(With({{"Readme"}, {"readme"}})), "PAYLOAD_ALIAS"},
    {"directory_case_alias", Table(With({{"A/c"}, {"a/b"}})), "PAYLOAD_DIRECTORY_ALIAS"},
    {"file_is_also_directory", Table(With({{"x"}, {"x/y"}})), "PAYLOAD_DIRECTORY_ALIAS"},
    {"file_shadows_partial", Table(With({{"b"}, {"b.SEALED-PARTIAL"}})), "PAYLOAD_PARTIAL_ALIAS"},
    {"dir_shadows_partial", Table(With({{"x"}, {"X.Sealed-Partial/y"}})), "PAYLOAD_PARTIAL_ALIAS"},
    {"sizes_above_total", Table(With({{"a", 5}}), {}, 4), "PAYLOAD_REQUIRED_FILES"},
    {"launcher_missing", Table({{"RELEASE.sig"}, {"RELEASE.signed"}}), "PAYLOAD_REQUIRED_FILES"},
};

class PayloadIndexTest : public ::testing::TestWithParam<IndexCase> {};

TEST_P(PayloadIndexTest, GivesExactVerdict) {
    EXPECT_EQ(Code(GetParam().bytes), GetParam().code);
}
INSTANTIATE_TEST_SUITE_P(Tables, PayloadIndexTest, ::testing::ValuesIn(kCases),
                         CaseName<IndexCase>);

TEST(PayloadIndexRead, KeepsTheTableAsReadAndStopsAtTheFirstChunk) {
    const std::vector<File> files = With({{"a/b/c", 3}, {"big", k1MiB + 1}});
    const std::vector<uint8_t> table = Table(files);
    std::vector<uint8_t> bytes = table;
    for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<uint8_t>(i));  // a chunk stream
    ByteSource source(bytes);

    const PayloadIndex index = ParsePayloadIndex(source);

    EXPECT_EQ(source.position, table.size());
    EXPECT_EQ(index.indexBytes, table);
    const std::vector<uint8_t> header(table.begin(), table.begin() + 44);
    EXPECT_EQ(index.header, header);
    EXPECT_EQ(index.plaintextBytes, 3 + k1MiB + 1);
    // The sealing side's encoders give back the very bytes from what was read.
    std::array<uint8_t, kPayloadIdentityBytes> identity{};
    std::copy_n(header.begin() + 28, identity.size(), identity.begin());
    EXPECT_EQ(EncodePayloadHeader(5, index.plaintextBytes, identity), header);
    ASSERT_EQ(index.entries.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const PayloadEntry& entry = index.entries[i];
        EXPECT_EQ(entry.record, Record(files[i])) << entry.path;
        EXPECT_EQ(EncodeFileRecord(entry.path, entry.size, entry.digest), entry.record);
    }
}

// Cut anywhere in the header, a fixed record part or a path, the table is truncated.
TEST(PayloadIndexRead, EveryCutIsTruncated) {
    const std::vector<uint8_t> table = Table(With({{"d/e", 1}}));
    for (std::size_t cut = 0; cut < table.size(); ++cut) {
        EXPECT_EQ(Code({table.begin(), table.begin() + static_cast<std::ptrdiff_t>(cut)}),
                  "PAYLOAD_TRUNCATED")
            << "cut at " << cut;
    }
}

}  // namespace
}  // namespace veltomarn::test

#include "distribution/release_inventory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"

namespace veltomarn {
namespace {

constexpr const char* kAccepted = "ACCEPTED";

// Every hex digit appears, so a check that stops at '9' or 'e' cannot pass it.
const std::string kManifestDigest =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kPayloadDigest(64, 'f');
const std::string kLauncherDigest(64, '0');

struct Row {
    std::string digest;
    std::string size;
    std::string path;
    std::string Line() const { return digest + "\t" + size + "\t" + path; }
};

Row File(std::string path) {
    return {std::string(64, 'a'), "1", std::move(path)};
}
Row PayloadRow() {
    return {kPayloadDigest, "4294967296", "VeltoMarn.payload"};
}
Row LauncherRow() {
    return {kLauncherDigest, "0", "VeltoMarnLauncher.exe"};
}
Row ManifestRow() {
    return {kManifestDigest, "321", "package/release.json"};
}

// An inventory text; each case overrides only what its fault needs. "files=" follows the row
// count unless set.
struct Inventory {
    std::vector<std::string> header = {"VELTO-MARN-SIGNED-DISTRIBUTION-V1", "channel=community",
                                       "sequence=2026103022", "abi=1",
                                       "manifest=" + kManifestDigest};
    std::optional<std::string> files;
    std::vector<std::string> rows = {PayloadRow().Line(), LauncherRow().Line(),
                                     ManifestRow().Line()};
    std::string tail;  // appended after the last line's LF

    Inventory& Header(std::size_t line, std::string text) {
        if (line == 6) {
            files = std::move(text);
        } else {
            header.at(line - 1) = std::move(text);
        }
        return *this;
    }
    Inventory& Files(std::string count) { return Header(6, "files=" + std::move(count)); }
    // The rows exactly as given, in this order.
    Inventory& Lines(std::vector<std::string> lines) {
        rows = std::move(lines);
        return *this;
    }
    Inventory& Rows(const std::vector<Row>& given) {
        rows.clear();
        for (const Row& row : given) rows.push_back(row.Line());
        return *this;
    }
    // The three required rows plus `extra`, sorted by path.
    Inventory& With(std::vector<Row> extra) {
        extra.insert(extra.end(), {PayloadRow(), LauncherRow(), ManifestRow()});
        std::sort(extra.begin(), extra.end(),
                  [](const Row& a, const Row& b) { return a.path < b.path; });
        return Rows(extra);
    }
    Inventory& Tail(std::string bytes) {
        tail = std::move(bytes);
        return *this;
    }
    std::string Text(const std::string& lineEnd = "\n") const {
        std::string text;
        for (const std::string& line : header) text += line + lineEnd;
        text += files.value_or("files=" + std::to_string(rows.size())) + lineEnd;
        for (const std::string& row : rows) text += row + lineEnd;
        return text + tail;
    }
    std::vector<uint8_t> Bytes() const {
        const std::string text = Text();
        return {text.begin(), text.end()};
    }
};

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> WithoutFinalLf() {
    std::vector<uint8_t> bytes = Inventory().Bytes();
    bytes.pop_back();
    return bytes;
}

std::string ParseCode(const std::vector<uint8_t>& bytes) {
    try {
        ParseReleaseInventory(bytes);
        return kAccepted;
    } catch (const Failure& failure) {
        return failure.what();
    }
}

TEST(ParseReleaseInventoryTest, WorkedExampleYieldsEveryMember) {
    const ReleaseInventory inventory = ParseReleaseInventory(Inventory().Bytes());
    EXPECT_EQ(inventory.sequence(), 2026103022u);
    EXPECT_EQ(inventory.manifestDigest(), kManifestDigest);
    ASSERT_EQ(inventory.rows().size(), 3u);
    const std::vector<Row> expected = {PayloadRow(), LauncherRow(), ManifestRow()};
    const std::vector<uint64_t> sizes = {4294967296u, 0, 321};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(inventory.rows()[i].digest, expected[i].digest) << "row " << i;
        EXPECT_EQ(inventory.rows()[i].size, sizes[i]) << "row " << i;
        EXPECT_EQ(inventory.rows()[i].path, expected[i].path) << "row " << i;
    }
    EXPECT_EQ(inventory.expectedFiles(),
              (std::set<std::string>{"RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload",
                                     "VeltoMarnLauncher.exe", "package/release.json"}));
    EXPECT_EQ(inventory.expectedDirectories(), std::set<std::string>{"package"});
}

TEST(ParseReleaseInventoryTest, NestedPathMakesEveryPrefixDirectory) {
    const ReleaseInventory inventory =
        ParseReleaseInventory(Inventory().With({File("a/b/c.txt")}).Bytes());
    EXPECT_EQ(inventory.expectedDirectories(), (std::set<std::string>{"a", "a/b", "package"}));
    EXPECT_EQ(inventory.expectedFiles().count("a/b/c.txt"), 1u);
    EXPECT_EQ(inventory.expectedFiles().size(), 6u);
}

// Paths "f1000", "f1001", ...: between the launcher's row and the manifest's row.
std::vector<Row> NumberedFiles(int count) {
    std::vector<Row> rows;
    for (int i = 0; i < count; ++i) rows.push_back(File("f" + std::to_string(1000 + i)));
    return rows;
}

TEST(ParseReleaseInventoryTest, FiveHundredTwelveRowsAccepted) {
    const ReleaseInventory inventory =
        ParseReleaseInventory(Inventory().With(NumberedFiles(509)).Bytes());
    ASSERT_EQ(inventory.rows().size(), 512u);
    EXPECT_EQ(inventory.rows().front().path, "VeltoMarn.payload");
    EXPECT_EQ(inventory.rows()[2].path, "f1000");
    EXPECT_EQ(inventory.rows().back().path, "package/release.json");
    EXPECT_EQ(inventory.expectedFiles().size(), 514u);
}

struct AcceptCase {
    std::string name;
    std::vector<uint8_t> bytes;
    uint64_t sequence;
    std::vector<std::string> paths;  // in file order
};

void PrintTo(const AcceptCase& c, std::ostream* os) {
    *os << c.name;
}

class InventoryAcceptTest : public testing::TestWithParam<AcceptCase> {};

TEST_P(InventoryAcceptTest, ParsesAsWritten) {
    const AcceptCase& c = GetParam();
    const ReleaseInventory inventory = ParseReleaseInventory(c.bytes);
    EXPECT_EQ(inventory.sequence(), c.sequence);
    std::vector<std::string> paths;
    for (const InventoryRow& row : inventory.rows()) paths.push_back(row.path);
    EXPECT_EQ(paths, c.paths);
}

const std::vector<std::string> kRequiredPaths = {"VeltoMarn.payload", "VeltoMarnLauncher.exe",
                                                 "package/release.json"};

const std::vector<AcceptCase> kAcceptCases = {
    {"sequence_above_floor", Inventory().Header(3, "sequence=2026103023").Bytes(), 2026103023,
     kRequiredPaths},
    {"sequence_at_maximum", Inventory().Header(3, "sequence=9223372036854775807").Bytes(),
     9223372036854775807u, kRequiredPaths},
    {"upper_case_before_lower_case",
     Inventory().With({File("B"), File("a")}).Bytes(),
     2026103022,
     {"B", "VeltoMarn.payload", "VeltoMarnLauncher.exe", "a", "package/release.json"}},
    {"prefix_sorts_before_longer_name",
     Inventory().With({File("doc"), File("doc-x"), File("doc.d/x")}).Bytes(),
     2026103022,
     {"VeltoMarn.payload", "VeltoMarnLauncher.exe", "doc", "doc-x", "doc.d/x",
      "package/release.json"}},
    {"other_file_in_package_directory",
     Inventory().With({File("package/Other.json")}).Bytes(),
     2026103022,
     {"VeltoMarn.payload", "VeltoMarnLauncher.exe", "package/Other.json", "package/release.json"}},
};

INSTANTIATE_TEST_SUITE_P(Valid, InventoryAcceptTest, testing::ValuesIn(kAcceptCases),
                         [](const testing::TestParamInfo<AcceptCase>& info) {
                             return info.param.name;
                         });

struct FramingCase {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string expected;  // a failure code, or kAccepted
};

TEST(CheckInventoryFramingTest, NeedsFinalLf) {
    const std::vector<FramingCase> cases = {
        {"worked_example", Inventory().Bytes(), kAccepted},
        {"lone_lf", Bytes("\n"), kAccepted},
        {"crlf_still_ends_with_lf", Bytes(Inventory().Text("\r\n")), kAccepted},
        {"empty_file", {}, "INVENTORY_FORMAT"},
        {"final_lf_missing", WithoutFinalLf(), "INVENTORY_FORMAT"},
        {"lf_then_cr", Bytes("\n\r"), "INVENTORY_FORMAT"},
        {"nul_after_final_lf", {'\n', 0}, "INVENTORY_FORMAT"},
    };
    for (const FramingCase& c : cases) {
        std::string code = kAccepted;
        try {
            CheckInventoryFraming(c.bytes);
        } catch (const Failure& failure) {
            code = failure.what();
        }
        EXPECT_EQ(code, c.expected) << "case " << c.name;
    }
}

struct FaultCase {
    std::string name;
    std::vector<uint8_t> bytes;
    std::string expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class InventoryFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(InventoryFaultTest, RefusedWithCode) {
    EXPECT_EQ(ParseCode(GetParam().bytes), GetParam().expected);
}

std::vector<uint8_t> WithByteInPath(uint8_t b) {
    std::vector<uint8_t> bytes = Inventory().With({File("zz")}).Bytes();
    bytes[bytes.size() - 2] = b;
    return bytes;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

Row ManifestWith(std::string digest) {
    return {std::move(digest), "321", "package/release.json"};
}
Row WithDigest(Row row, std::string digest) {
    row.digest = std::move(digest);
    return row;
}
Row WithSize(std::string size) {
    return {std::string(64, 'a'), std::move(size), "zz"};
}

const std::string kOffByOne = kManifestDigest.substr(0, 63) + "e";

const std::vector<FaultCase> kFaultCases = {
    // Framing and encoding, checked before any line.
    {"crlf_line_ends", Bytes(Inventory().Text("\r\n")), "INVENTORY_ENCODING"},
    {"extra_lf_empty_last_line", Inventory().Tail("\n").Bytes(), "INVENTORY_COUNT"},
    {"trailing_line_after_rows", Inventory().Tail("junk\n").Bytes(), "INVENTORY_COUNT"},
    {"final_lf_missing", WithoutFinalLf(), "INVENTORY_FORMAT"},
    {"empty_file", {}, "INVENTORY_FORMAT"},
    {"nul_byte", WithByteInPath(0x00), "INVENTORY_ENCODING"},
    {"unit_separator_byte", WithByteInPath(0x1F), "INVENTORY_ENCODING"},
    {"del_byte", WithByteInPath(0x7F), "INVENTORY_ENCODING"},
    {"high_byte", WithByteInPath(0x80), "INVENTORY_ENCODING"},
    {"ff_byte", WithByteInPath(0xFF), "INVENTORY_ENCODING"},
    {"space_passes_encoding", WithByteInPath(' '), "PATH_CHARACTER"},
    {"tilde_passes_encoding", WithByteInPath('~'), "PATH_CHARACTER"},
    {"byte_order_mark", Bytes("\xEF\xBB\xBF" + Inventory().Text()), "INVENTORY_ENCODING"},
    {"bad_byte_in_row_beats_bad_header", Bytes(Inventory().Header(1, "X").Text() + "\x80\n"),
     "INVENTORY_ENCODING"},
    // Header.
    {"only_six_header_lines", Inventory().Lines({}).Files("0").Bytes(), "INVENTORY_HEADER"},
    {"only_six_header_lines_count_three", Inventory().Lines({}).Files("3").Bytes(),
     "INVENTORY_HEADER"},
    {"wrong_format_version", Inventory().Header(1, "VELTO-MARN-SIGNED-DISTRIBUTION-V2").Bytes(),
     "INVENTORY_HEADER"},
    {"format_line_trailing_space",
     Inventory().Header(1, "VELTO-MARN-SIGNED-DISTRIBUTION-V1 ").Bytes(), "INVENTORY_HEADER"},
    {"leading_empty_line", Bytes("\n" + Inventory().Text()), "INVENTORY_HEADER"},
    {"wrong_channel", Inventory().Header(2, "channel=Community").Bytes(), "INVENTORY_HEADER"},
    {"channel_with_suffix", Inventory().Header(2, "channel=community2").Bytes(),
     "INVENTORY_HEADER"},
    {"sequence_key_misspelt", Inventory().Header(3, "Sequence=2026103022").Bytes(),
     "INVENTORY_HEADER"},
    {"wrong_abi", Inventory().Header(4, "abi=2").Bytes(), "INVENTORY_HEADER"},
    {"abi_with_suffix", Inventory().Header(4, "abi=10").Bytes(), "INVENTORY_HEADER"},
    {"manifest_key_misspelt", Inventory().Header(5, "manifest:" + kManifestDigest).Bytes(),
     "INVENTORY_HEADER"},
    {"files_key_misspelt", Inventory().Header(6, "file=3").Bytes(), "INVENTORY_HEADER"},
    {"bad_abi_beats_bad_sequence", Inventory().Header(3, "sequence=1").Header(4, "abi=0").Bytes(),
     "INVENTORY_HEADER"},
    // Sequence.
    {"sequence_below_floor", Inventory().Header(3, "sequence=2026103021").Bytes(),
     "RELEASE_TOO_OLD"},
    {"sequence_leading_zero", Inventory().Header(3, "sequence=02026103022").Bytes(),
     "NONCANONICAL_NUMBER"},
    {"sequence_empty", Inventory().Header(3, "sequence=").Bytes(), "NONCANONICAL_NUMBER"},
    {"sequence_signed", Inventory().Header(3, "sequence=+2026103022").Bytes(), "INVALID_NUMBER"},
    {"sequence_two_to_the_63", Inventory().Header(3, "sequence=9223372036854775808").Bytes(),
     "NUMBER_LIMIT"},
    {"old_sequence_beats_bad_manifest",
     Inventory().Header(3, "sequence=2026103021").Header(5, "manifest=x").Bytes(),
     "RELEASE_TOO_OLD"},
    // Manifest digest.
    {"manifest_upper_case", Inventory().Header(5, "manifest=" + Upper(kManifestDigest)).Bytes(),
     "MANIFEST_HASH"},
    {"manifest_63_chars", Inventory().Header(5, "manifest=" + kManifestDigest.substr(1)).Bytes(),
     "MANIFEST_HASH"},
    {"manifest_65_chars", Inventory().Header(5, "manifest=" + kManifestDigest + "0").Bytes(),
     "MANIFEST_HASH"},
    {"manifest_non_hex",
     Inventory().Header(5, "manifest=" + kManifestDigest.substr(0, 63) + "g").Bytes(),
     "MANIFEST_HASH"},
    {"manifest_empty", Inventory().Header(5, "manifest=").Bytes(), "MANIFEST_HASH"},
    {"bad_manifest_beats_bad_count", Inventory().Header(5, "manifest=x").Files("9").Bytes(),
     "MANIFEST_HASH"},
    // File count.
    {"files_zero", Inventory().Files("0").Bytes(), "INVENTORY_COUNT"},
    {"files_513", Inventory().Files("513").Bytes(), "NUMBER_LIMIT"},
    {"files_513_with_513_rows", Inventory().With(NumberedFiles(510)).Bytes(), "NUMBER_LIMIT"},
    {"files_fewer_than_rows", Inventory().Files("2").Bytes(), "INVENTORY_COUNT"},
    {"files_more_than_rows", Inventory().Files("4").Bytes(), "INVENTORY_COUNT"},
    {"files_leading_zero", Inventory().Files("03").Bytes(), "NONCANONICAL_NUMBER"},
    {"files_empty", Inventory().Files("").Bytes(), "NONCANONICAL_NUMBER"},
    // Row shape.
    {"digest_63_chars", Inventory().With({WithDigest(File("zz"), std::string(63, 'a'))}).Bytes(),
     "INVENTORY_ROW"},
    {"digest_65_chars", Inventory().With({WithDigest(File("zz"), std::string(65, 'a'))}).Bytes(),
     "INVENTORY_ROW"},
    {"empty_row", Inventory().Lines({PayloadRow().Line(), "", ManifestRow().Line()}).Bytes(),
     "INVENTORY_ROW"},
    {"row_without_tab", Inventory().Lines({std::string(80, 'a')}).Bytes(), "INVENTORY_ROW"},
    {"row_one_tab", Inventory().Lines({std::string(64, 'a') + "\t1"}).Bytes(), "INVENTORY_ROW"},
    {"tab_inside_path", Inventory().With({File("z\tz")}).Bytes(), "INVENTORY_ROW"},
    {"third_tab_after_path", Inventory().With({File("zz\t")}).Bytes(), "INVENTORY_ROW"},
    // Size.
    {"size_empty", Inventory().With({WithSize("")}).Bytes(), "NONCANONICAL_NUMBER"},
    {"size_leading_zero", Inventory().With({WithSize("01")}).Bytes(), "NONCANONICAL_NUMBER"},
    {"size_with_space", Inventory().With({WithSize(" 1")}).Bytes(), "INVALID_NUMBER"},
    {"size_above_4_gib", Inventory().With({WithSize("4294967297")}).Bytes(), "NUMBER_LIMIT"},
    {"bad_size_beats_bad_digest",
     Inventory().With({WithDigest(WithSize(""), std::string(64, 'A'))}).Bytes(),
     "NONCANONICAL_NUMBER"},
    // Row digest.
    {"row_digest_upper_case",
     Inventory()
         .Rows({WithDigest(PayloadRow(), Upper(kManifestDigest)), LauncherRow(), ManifestRow()})
         .Bytes(),
     "ROW_HASH"},
    {"row_digest_non_hex", Inventory().With({WithDigest(File("zz"), std::string(64, 'g'))}).Bytes(),
     "ROW_HASH"},
    {"manifest_row_upper_case_digest",
     Inventory().Rows({PayloadRow(), LauncherRow(), ManifestWith(Upper(kManifestDigest))}).Bytes(),
     "ROW_HASH"},
    {"bad_digest_beats_bad_path",
     Inventory().With({WithDigest(File("a b"), std::string(64, 'G'))}).Bytes(), "ROW_HASH"},
    // Path codes pass through.
    {"path_empty", Inventory().With({File("")}).Bytes(), "PATH_FORMAT"},
    {"path_absolute", Inventory().With({File("/zz")}).Bytes(), "PATH_FORMAT"},
    {"path_backslash", Inventory().With({File("z\\z")}).Bytes(), "PATH_CHARACTER"},
    {"path_parent_component", Inventory().With({File("zz/../x")}).Bytes(), "PATH_COMPONENT"},
    {"path_device_name", Inventory().With({File("zz/con.txt")}).Bytes(), "PATH_DEVICE"},
    {"bad_path_beats_bad_order",
     Inventory().Rows({PayloadRow(), LauncherRow(), File("a b"), ManifestRow()}).Bytes(),
     "PATH_CHARACTER"},
    // Order and aliases.
    {"lower_then_upper",
     Inventory().Rows({PayloadRow(), LauncherRow(), File("a"), File("B"), ManifestRow()}).Bytes(),
     "ROW_ORDER"},
    {"duplicate_path",
     Inventory().Rows({PayloadRow(), PayloadRow(), LauncherRow(), ManifestRow()}).Bytes(),
     "ROW_ORDER"},
    {"longer_path_before_its_prefix",
     Inventory().Rows({PayloadRow(), LauncherRow(), File("a/b"), File("a"), ManifestRow()}).Bytes(),
     "ROW_ORDER"},
    {"case_alias_rows", Inventory().With({File("A"), File("a")}).Bytes(), "PATH_ALIAS"},
    {"reserved_signature_lower_case", Inventory().With({File("release.sig")}).Bytes(),
     "PATH_ALIAS"},
    {"reserved_inventory_exact", Inventory().With({File("RELEASE.signed")}).Bytes(), "PATH_ALIAS"},
    {"reserved_signature_exact", Inventory().With({File("RELEASE.sig")}).Bytes(), "PATH_ALIAS"},
    {"reserved_inventory_mixed_case", Inventory().With({File("Release.Signed")}).Bytes(),
     "PATH_ALIAS"},
    // Manifest binding.
    {"manifest_binding_mismatch",
     Inventory().Rows({PayloadRow(), LauncherRow(), ManifestWith(kOffByOne)}).Bytes(),
     "MANIFEST_BINDING"},
    {"binding_reported_before_later_malformed_row",
     Inventory()
         .Lines({PayloadRow().Line(), LauncherRow().Line(), ManifestWith(kOffByOne).Line(),
                 "not a row"})
         .Bytes(),
     "MANIFEST_BINDING"},
    {"later_row_out_of_order_after_binding_mismatch",
     Inventory().Rows({PayloadRow(), LauncherRow(), ManifestWith(kOffByOne), File("a")}).Bytes(),
     "MANIFEST_BINDING"},
    // Required rows.
    {"manifest_row_wrong_case",
     Inventory()
         .Rows({{kManifestDigest, "321", "Package/release.json"}, PayloadRow(), LauncherRow()})
         .Bytes(),
     "REQUIRED_FILES"},
    {"manifest_row_missing", Inventory().Rows({PayloadRow(), LauncherRow(), File("zz")}).Bytes(),
     "REQUIRED_FILES"},
    {"launcher_row_missing", Inventory().Rows({PayloadRow(), ManifestRow()}).Bytes(),
     "REQUIRED_FILES"},
    {"payload_row_missing", Inventory().Rows({LauncherRow(), ManifestRow()}).Bytes(),
     "REQUIRED_FILES"},
    {"payload_row_lower_case",
     Inventory().Rows({LauncherRow(), ManifestRow(), File("veltomarn.payload")}).Bytes(),
     "REQUIRED_FILES"},
    {"missing_row_beats_directory_alias",
     Inventory().Rows({LauncherRow(), File("a"), File("a/b"), ManifestRow()}).Bytes(),
     "REQUIRED_FILES"},
    // Directory aliases.
    {"directories_differ_in_case", Inventory().With({File("Docs/b"), File("docs/a")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"file_is_also_directory", Inventory().With({File("a"), File("a/b")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"file_aliases_directory_in_case", Inventory().With({File("A"), File("a/b")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"deep_directory_is_file", Inventory().With({File("a/b"), File("a/b/c")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"directory_named_like_signature", Inventory().With({File("release.sig/x")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"directory_named_inventory", Inventory().With({File("RELEASE.signed/x")}).Bytes(),
     "DIRECTORY_ALIAS"},
    {"package_directory_in_two_cases", Inventory().With({File("Package/x")}).Bytes(),
     "DIRECTORY_ALIAS"},
};

INSTANTIATE_TEST_SUITE_P(Faults, InventoryFaultTest, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace veltomarn

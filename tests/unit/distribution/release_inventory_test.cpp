#include "distribution/release_inventory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace veltomarn::test {
namespace {

// Every hex digit appears, so a check that stops short of '9' or 'f' refuses it.
const std::string kManifest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kUpper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

std::string Row(const std::string& path, const std::string& size = "1",
                const std::string& digest = std::string(64, 'a')) {
    return digest + "\t" + size + "\t" + path;
}

// The three required rows (the payload at the 4 GiB limit) and a row for each of `extra`, sorted.
std::vector<std::string> With(std::vector<std::string> extra) {
    extra.insert(extra.end(), {"VeltoMarn.payload", "VeltoMarnLauncher.exe", kManifestPath});
    std::sort(extra.begin(), extra.end());
    std::vector<std::string> rows;
    for (const std::string& path : extra) {
        rows.push_back(path == kManifestPath         ? Row(path, "0", kManifest)
                       : path == "VeltoMarn.payload" ? Row(path, "4294967296")
                                                     : Row(path));
    }
    return rows;
}

// Header lines and `rows`, each ended by LF, with line `at` (0 = format line) replaced by `line`.
std::string Text(const std::vector<std::string>& rows, int at = -1, const std::string& line = "") {
    std::vector<std::string> lines = {"VELTO-MARN-SIGNED-DISTRIBUTION-V1", "channel=community",
                                      "sequence=2026103022", "abi=1", "manifest=" + kManifest};
    lines.push_back("files=" + std::to_string(rows.size()));
    lines.insert(lines.end(), rows.begin(), rows.end());
    if (at >= 0) lines[at] = line;
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

std::string Listing(const std::vector<std::string>& extra, int at = -1,
                    const std::string& line = "") {
    return Text(With(extra), at, line);
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(ReleaseInventoryTest, AcceptedInventoryYieldsEveryField) {
    const ReleaseInventory inventory = ParseReleaseInventory(Bytes(Listing({"B", "a/b/c"})));
    EXPECT_EQ(inventory.sequence(), 2026103022u);
    EXPECT_EQ(inventory.manifestDigest(), kManifest);
    std::vector<std::string> rows;
    for (const InventoryRow& row : inventory.rows()) {
        rows.push_back(Row(row.path, std::to_string(row.size), row.digest));
    }
    EXPECT_EQ(rows, With({"B", "a/b/c"}));
    EXPECT_EQ(inventory.expectedFiles(),
              (std::set<std::string>{"B", "RELEASE.sig", "RELEASE.signed", "VeltoMarn.payload",
                                     "VeltoMarnLauncher.exe", "a/b/c", kManifestPath}));
    EXPECT_EQ(inventory.expectedDirectories(), (std::set<std::string>{"a", "a/b", "package"}));
}

std::vector<std::string> Numbered(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back("f" + std::to_string(1000 + i));
    return paths;
}

struct InventoryCase {
    std::string name;
    std::string text;
    std::string code;  // "" when accepted
};

const std::string kFine = Listing({});
const std::string kOff = kManifest.substr(0, 63) + "e";
const std::string kNoLf = kFine.substr(0, kFine.size() - 1);

const std::vector<InventoryCase> kCases = {
    {"minimal", kFine, ""},
    {"sequence_at_maximum", Listing({}, 2, "sequence=9223372036854775807"), ""},
    {"upper_case_sorts_first", Listing({"B", "_x", "a", "a-b", "a.b"}), ""},
    {"files_512", Listing(Numbered(509)), ""},
    {"missing_final_lf", kNoLf, "INVENTORY_FORMAT"},
    {"empty_file", "", "INVENTORY_FORMAT"},
    {"crlf_line_end", kFine.substr(0, 33) + "\r" + kFine.substr(33), "INVENTORY_ENCODING"},
    {"nul_byte", Listing({std::string("a\0", 2)}), "INVENTORY_ENCODING"},
    {"control_byte_1f", Listing({"a\x1f"}), "INVENTORY_ENCODING"},
    {"del_byte", Listing({"a\x7f"}), "INVENTORY_ENCODING"},
    {"space_passes_encoding", Listing({"a "}), "PATH_CHARACTER"},
    {"tilde_passes_encoding", Listing({"a~"}), "PATH_CHARACTER"},
    {"header_only", Text({}), "INVENTORY_HEADER"},
    {"wrong_format", Listing({}, 0, "VELTO-MARN-SIGNED-DISTRIBUTION-V2"), "INVENTORY_HEADER"},
    {"wrong_channel", Listing({}, 1, "channel=Community"), "INVENTORY_HEADER"},
    {"sequence_key", Listing({}, 2, "Sequence=2026103022"), "INVENTORY_HEADER"},
    {"wrong_abi", Listing({}, 3, "abi=10"), "INVENTORY_HEADER"},
    {"manifest_key", Listing({}, 4, "manifest:" + kManifest), "INVENTORY_HEADER"},
    {"files_key", Listing({}, 5, "file=3"), "INVENTORY_HEADER"},
    {"rollback_to_older_release", Listing({}, 2, "sequence=2026103021"), "RELEASE_TOO_OLD"},
    {"sequence_over_2_pow_63", Listing({}, 2, "sequence=9223372036854775808"), "NUMBER_LIMIT"},
    {"manifest_upper_case", Listing({}, 4, "manifest=" + kUpper), "MANIFEST_HASH"},
    {"manifest_63_chars", Listing({}, 4, "manifest=" + kManifest.substr(1)), "MANIFEST_HASH"},
    {"manifest_65_chars", Listing({}, 4, "manifest=" + kManifest + "0"), "MANIFEST_HASH"},
    {"files_zero", Listing({}, 5, "files=0"), "INVENTORY_COUNT"},
    {"hidden_extra_row", Listing({}, 5, "files=2"), "INVENTORY_COUNT"},
    {"single_row", Text({Row("VeltoMarn.payload")}), "REQUIRED_FILES"},
    {"files_513", Listing(Numbered(510)), "NUMBER_LIMIT"},
    {"digest_63_chars", Text({std::string(63, 'a') + "\t1\tVeltoMarn.payload"}), "INVENTORY_ROW"},
    {"row_one_tab", Text({std::string(64, 'a') + "\t1"}), "INVENTORY_ROW"},
    {"tab_opening_path", Listing({"\tz"}), "INVENTORY_ROW"},
    {"size_empty", Text({Row("VeltoMarn.payload", "")}), "NONCANONICAL_NUMBER"},
    {"size_over_4_gib", Text({Row("VeltoMarn.payload", "4294967297")}), "NUMBER_LIMIT"},
    {"row_digest_upper_case", Text({Row("VeltoMarn.payload", "1", kUpper)}), "ROW_HASH"},
    {"path_traversal", Listing({"zz/../x"}), "PATH_COMPONENT"},
    {"lower_before_upper", Text({Row("a"), Row("B")}), "ROW_ORDER"},
    {"duplicate_row", Text({Row("a"), Row("a")}), "ROW_ORDER"},
    {"case_alias", Listing({"A", "a"}), "PATH_ALIAS"},
    {"shadows_inventory_by_case", Listing({"Release.Signed"}), "PATH_ALIAS"},
    {"manifest_swapped", Listing({}, 4, "manifest=" + kOff), "MANIFEST_BINDING"},
    {"manifest_missing", Text({Row("VeltoMarn.payload"), Row("VeltoMarnLauncher.exe")}),
     "REQUIRED_FILES"},
    {"launcher_missing", Text({Row("VeltoMarn.payload"), Row(kManifestPath, "1", kManifest)}),
     "REQUIRED_FILES"},
    {"payload_missing", Text({Row("VeltoMarnLauncher.exe"), Row(kManifestPath, "1", kManifest)}),
     "REQUIRED_FILES"},
    {"file_is_also_directory", Listing({"a", "a/b"}), "DIRECTORY_ALIAS"},
    {"directories_differ_in_case", Listing({"Docs/b", "docs/a"}), "DIRECTORY_ALIAS"},
    {"directory_shadows_signature", Listing({"release.sig/x"}), "DIRECTORY_ALIAS"},
};

class ReleaseInventoryCaseTest : public ::testing::TestWithParam<InventoryCase> {};

TEST_P(ReleaseInventoryCaseTest, GivesExactVerdict) {
    EXPECT_EQ(FailureCode([&] { ParseReleaseInventory(Bytes(GetParam().text)); }), GetParam().code);
}
INSTANTIATE_TEST_SUITE_P(Texts, ReleaseInventoryCaseTest, ::testing::ValuesIn(kCases),
                         CaseName<InventoryCase>);

}  // namespace
}  // namespace veltomarn::test

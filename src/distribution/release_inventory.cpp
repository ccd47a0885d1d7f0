#include "distribution/release_inventory.h"

#include <string_view>

#include "core/canonical_number.h"
#include "core/failure.h"
#include "core/relative_path.h"

namespace veltomarn {
namespace {

constexpr std::size_t kHeaderLines = 6;
constexpr std::size_t kDigestChars = 64;

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsLowerHexDigest(std::string_view text) {
    if (text.size() != kDigestChars) return false;
    for (const char c : text) {
        if (!IsLowerHex(c)) return false;
    }
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Lines without their LF; the caller has checked that the text ends with LF.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

void CheckInventoryFraming(const std::vector<uint8_t>& bytes) {
    check(!bytes.empty() && bytes.back() == '\n', "INVENTORY_FORMAT");
}

ReleaseInventory ParseReleaseInventory(const std::vector<uint8_t>& bytes) {
    for (const uint8_t b : bytes) {
        check(b == '\t' || b == '\n' || (b >= 0x20 && b <= 0x7E), "INVENTORY_ENCODING");
    }
    // The framing rule is part of the format: a text that skipped it is refused here too.
    CheckInventoryFraming(bytes);
    const std::string text(bytes.begin(), bytes.end());
    const std::vector<std::string_view> lines = SplitLines(text);

    check(lines.size() >= kHeaderLines + 1, "INVENTORY_HEADER");
    check(lines[0] == "VELTO-MARN-SIGNED-DISTRIBUTION-V1", "INVENTORY_HEADER");
    check(lines[1] == "channel=community", "INVENTORY_HEADER");
    check(StartsWith(lines[2], "sequence="), "INVENTORY_HEADER");
    check(lines[3] == "abi=1", "INVENTORY_HEADER");
    check(StartsWith(lines[4], "manifest="), "INVENTORY_HEADER");
    check(StartsWith(lines[5], "files="), "INVENTORY_HEADER");

    ReleaseInventory inventory;
    inventory.sequence_ =
        ParseCanonicalNumber(std::string(lines[2].substr(9)), kMaxReleaseSequence);
    check(inventory.sequence_ >= kMinReleaseSequence, "RELEASE_TOO_OLD");
    const std::string_view manifest = lines[4].substr(9);
    check(IsLowerHexDigest(manifest), "MANIFEST_HASH");
    inventory.manifestDigest_ = std::string(manifest);
    const uint64_t count =
        ParseCanonicalNumber(std::string(lines[5].substr(6)), kMaxInventoryFiles);
    check(count != 0 && lines.size() == count + kHeaderLines, "INVENTORY_COUNT");

    PathSet listed({kInventoryName, kSignatureName});
    bool manifestListed = false;

    for (std::size_t i = kHeaderLines; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t firstTab = line.find('\t');
        check(firstTab == kDigestChars, "INVENTORY_ROW");
        const std::size_t secondTab = line.find('\t', firstTab + 1);
        check(secondTab != std::string_view::npos, "INVENTORY_ROW");
        check(line.find('\t', secondTab + 1) == std::string_view::npos, "INVENTORY_ROW");

        InventoryRow row;
        row.digest = std::string(line.substr(0, kDigestChars));
        row.size =
            ParseCanonicalNumber(std::string(line.substr(firstTab + 1, secondTab - firstTab - 1)),
                                 kMaxInventoryFileBytes);
        check(IsLowerHexDigest(row.digest), "ROW_HASH");
        row.path = std::string(line.substr(secondTab + 1));
        ValidateRelativePath(row.path);
        listed.Add(row.path, "ROW_ORDER", "PATH_ALIAS");
        if (row.path == kManifestPath) {
            check(row.digest == inventory.manifestDigest_, "MANIFEST_BINDING");
            manifestListed = true;
        }
        inventory.rows_.push_back(std::move(row));
    }

    check(manifestListed, "REQUIRED_FILES");
    check(listed.paths().count(kBootstrapFileName) == 1, "REQUIRED_FILES");
    check(listed.paths().count(kPayloadFileName) == 1, "REQUIRED_FILES");

    inventory.expectedDirectories_ = listed.CheckDirectories("DIRECTORY_ALIAS");
    inventory.expectedFiles_ = listed.paths();
    return inventory;
}

}  // namespace veltomarn

// Feeds arbitrary bytes to the inventory framing check and then to the parser. Only Failure with
// one of the parser's own codes may come out. An accepted inventory must keep every promise of
// ReleaseInventory, and, since every field has exactly one spelling, writing it out again must give
// back the very bytes that were read.
//
// Random bytes almost never pass the header, so the mutator now and then starts over from a small
// valid inventory; no corpus is needed for the first run to reach the row rules.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/relative_path.h"
#include "distribution/release_inventory.h"

extern "C" std::size_t LLVMFuzzerMutate(uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using veltomarn::Failure;
using veltomarn::ReleaseInventory;

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

const char* const kCodes[] = {
    "INVENTORY_FORMAT", "INVENTORY_ENCODING",  "INVENTORY_HEADER", "RELEASE_TOO_OLD",
    "MANIFEST_HASH",    "INVENTORY_COUNT",     "INVENTORY_ROW",    "ROW_HASH",
    "ROW_ORDER",        "PATH_ALIAS",          "MANIFEST_BINDING", "REQUIRED_FILES",
    "DIRECTORY_ALIAS",  "NONCANONICAL_NUMBER", "INVALID_NUMBER",   "NUMBER_LIMIT",
    "PATH_FORMAT",      "PATH_CHARACTER",      "PATH_COMPONENT",   "PATH_DEVICE",
};

bool IsParserCode(const char* code) {
    for (const char* known : kCodes) {
        if (std::strcmp(code, known) == 0) return true;
    }
    return false;
}

bool IsLowerHexDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// Two valid inventories: the smallest one, and one with nested directories and a case mix whose
// last path is as long as "release.sig", so that one dictionary word can turn it into that name.
const std::string kSeeds[] = {
    "VELTO-MARN-SIGNED-DISTRIBUTION-V1\nchannel=community\nsequence=2026103022\nabi=1\nmanifest=" +
        kDigest + "\nfiles=3\n" + kDigest + "\t10\tVeltoMarn.payload\n" + kDigest +
        "\t20\tVeltoMarnLauncher.exe\n" + kDigest + "\t30\tpackage/release.json\n",
    "VELTO-MARN-SIGNED-DISTRIBUTION-V1\nchannel=community\nsequence=9223372036854775807\nabi=1\n"
    "manifest=" +
        kDigest + "\nfiles=6\n" + kDigest + "\t0\tDocs/A.txt\n" + kDigest +
        "\t4294967296\tVeltoMarn.payload\n" + kDigest + "\t1\tVeltoMarnLauncher.exe\n" + kDigest +
        "\t2\tdata/x/y.bin\n" + kDigest + "\t3\tpackage/release.json\n" + kDigest +
        "\t4\ttools/a.txt\n",
};

// The inventory as its publisher would write it.
std::string Render(const ReleaseInventory& inventory) {
    std::string text = "VELTO-MARN-SIGNED-DISTRIBUTION-V1\nchannel=community\nsequence=" +
                       std::to_string(inventory.sequence()) +
                       "\nabi=1\nmanifest=" + inventory.manifestDigest() +
                       "\nfiles=" + std::to_string(inventory.rows().size()) + "\n";
    for (const veltomarn::InventoryRow& row : inventory.rows()) {
        text += row.digest + "\t" + std::to_string(row.size) + "\t" + row.path + "\n";
    }
    return text;
}

void RequireInvariants(const ReleaseInventory& inventory, const std::vector<uint8_t>& bytes) {
    Require(inventory.sequence() >= veltomarn::kMinReleaseSequence &&
            inventory.sequence() <= veltomarn::kMaxReleaseSequence);
    Require(IsLowerHexDigest(inventory.manifestDigest()));

    const auto& rows = inventory.rows();
    Require(!rows.empty() && rows.size() <= veltomarn::kMaxInventoryFiles);
    std::set<std::string> files = {veltomarn::kInventoryName, veltomarn::kSignatureName};
    std::set<std::string> directories;
    bool manifestBound = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string& path = rows[i].path;
        Require(IsLowerHexDigest(rows[i].digest));
        Require(rows[i].size <= veltomarn::kMaxInventoryFileBytes);
        Require(i == 0 || rows[i - 1].path < path);
        try {
            veltomarn::ValidateRelativePath(path);
        } catch (const Failure&) {
            __builtin_trap();
        }
        files.insert(path);
        for (std::size_t k = path.find('/'); k != std::string::npos; k = path.find('/', k + 1)) {
            directories.insert(path.substr(0, k));
        }
        if (path == veltomarn::kManifestPath) {
            manifestBound = rows[i].digest == inventory.manifestDigest();
        }
    }
    Require(manifestBound);
    Require(files.count(veltomarn::kBootstrapFileName) == 1);
    Require(files.count(veltomarn::kPayloadFileName) == 1);
    Require(inventory.expectedFiles() == files);
    Require(inventory.expectedFiles().size() == rows.size() + 2);
    Require(inventory.expectedDirectories() == directories);
    for (const std::string& directory : directories) {
        bool prefixOfRow = false;
        for (const auto& row : rows) {
            prefixOfRow =
                prefixOfRow || row.path.compare(0, directory.size() + 1, directory + "/") == 0;
        }
        Require(prefixOfRow);
    }

    std::set<std::string> folded;
    for (const std::string& name : files) folded.insert(veltomarn::FoldPathCase(name));
    for (const std::string& name : directories) folded.insert(veltomarn::FoldPathCase(name));
    Require(folded.size() == files.size() + directories.size());

    Require(Render(inventory) == std::string(bytes.begin(), bytes.end()));
}

// Flips the case of the first letter of `line` at or after `offset`, wrapping around, looking only
// in the path (after the last TAB) when there is one.
void FlipCase(std::string& line, std::size_t offset) {
    const std::size_t tab = line.rfind('\t');
    const std::size_t from = tab == std::string::npos ? 0 : tab + 1;
    if (from >= line.size()) return;
    for (std::size_t i = 0; i < line.size() - from; ++i) {
        char& c = line[from + (offset + i) % (line.size() - from)];
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
            c ^= 0x20;
            return;
        }
    }
}

// Swaps or copies whole lines, or flips the case of a letter, keeping the number of lines: row
// order, case aliases and directory aliases are one such step away from a valid inventory, but far
// from any byte mutation.
std::size_t MutateLines(uint8_t* data, std::size_t size, std::size_t maxSize, unsigned int seed) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < size;) {
        const void* lf = std::memchr(data + start, '\n', size - start);
        const std::size_t end =
            lf == nullptr ? size
                          : static_cast<std::size_t>(static_cast<const uint8_t*>(lf) - data) + 1;
        lines.emplace_back(reinterpret_cast<const char*>(data) + start, end - start);
        start = end;
    }
    if (lines.empty()) return size;
    const std::size_t a = (seed >> 8) % lines.size();
    const std::size_t b = (seed >> 18) % lines.size();
    switch ((seed >> 4) % 4) {
        case 0:
            std::swap(lines[a], lines[b]);
            break;
        case 1:
            lines[b] = lines[a];
            break;
        case 2:
            FlipCase(lines[a], b);
            break;
        default:
            if (a + 1 < lines.size()) {
                lines[a + 1] = lines[a];
                FlipCase(lines[a + 1], b);
            }
    }
    std::string text;
    for (const std::string& line : lines) text += line;
    if (text.size() > maxSize) return size;
    std::memcpy(data, text.data(), text.size());
    return text.size();
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    if (size == 0 || seed % 16 == 0) {
        const std::string& start = kSeeds[(seed / 32) % 2];
        if (start.size() <= maxSize) {
            std::memcpy(data, start.data(), start.size());
            // Every other time, hand the clean seed back unmutated so that success paths run.
            if (seed % 32 == 0) return start.size();
            size = start.size();
        }
    }
    if (seed % 4 == 1) return MutateLines(data, size, maxSize, seed);
    return LLVMFuzzerMutate(data, size, maxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    bool framed = true;
    try {
        veltomarn::CheckInventoryFraming(bytes);
    } catch (const Failure& failure) {
        Require(std::strcmp(failure.what(), "INVENTORY_FORMAT") == 0);
        framed = false;
    }
    Require(framed == (size > 0 && data[size - 1] == '\n'));

    try {
        const ReleaseInventory inventory = veltomarn::ParseReleaseInventory(bytes);
        Require(framed);
        RequireInvariants(inventory, bytes);
    } catch (const Failure& failure) {
        const std::string code = failure.what();
        Require(IsParserCode(code.c_str()));
        // The byte scan and the framing rule come before any line is read, so their verdicts are
        // fully predictable; which of the two wins when both fail is left open.
        bool badByte = false;
        for (const uint8_t b : bytes)
            badByte = badByte || !(b == '\t' || b == '\n' || (b >= 0x20 && b <= 0x7E));
        if (badByte && framed) Require(code == "INVENTORY_ENCODING");
        if (!badByte && !framed) Require(code == "INVENTORY_FORMAT");
        if (badByte && !framed) Require(code == "INVENTORY_ENCODING" || code == "INVENTORY_FORMAT");
        if (!badByte && framed) {
            Require(code != "INVENTORY_ENCODING" && code != "INVENTORY_FORMAT");
            const auto lines = std::count(bytes.begin(), bytes.end(), '\n');
            if (lines < 7) Require(code == "INVENTORY_HEADER");
        }
    }
    return 0;
}

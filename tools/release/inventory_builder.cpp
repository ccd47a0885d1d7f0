#include "release/inventory_builder.h"

#include "core/canonical_number.h"
#include "core/failure.h"
#include "core/guarded_directory.h"
#include "platform/openssl/openssl_cng.h"
#include "platform/posix/posix_platform.h"
#include "release/path_text.h"
#include "release/progress_line.h"
#include "release/tool_error.h"

namespace veltomarn::release {

uint64_t ParseReleaseSequence(const std::string& text) {
    uint64_t sequence = 0;
    try {
        sequence = ParseCanonicalNumber(text, kMaxReleaseSequence);
    } catch (const Failure& failure) {
        Refuse("--sequence " + ShowPath(text) + ": not a canonical decimal number of at most " +
               std::to_string(kMaxReleaseSequence) + " (" + failure.code() + ")");
    }
    if (sequence < kMinReleaseSequence) {
        Refuse("--sequence " + text + ": below " + std::to_string(kMinReleaseSequence) +
               ", the oldest release the bootstrap accepts (RELEASE_TOO_OLD)");
    }
    return sequence;
}

std::string InventoryText(uint64_t sequence, const std::string& manifestDigest,
                          const std::vector<InventoryRow>& rows) {
    std::string text = "VELTO-MARN-SIGNED-DISTRIBUTION-V1\n";
    text += "channel=community\n";
    text += "sequence=" + std::to_string(sequence) + "\n";
    text += "abi=1\n";
    text += "manifest=" + manifestDigest + "\n";
    text += "files=" + std::to_string(rows.size()) + "\n";
    for (const InventoryRow& row : rows) {
        text += row.digest + "\t" + std::to_string(row.size) + "\t" + row.path + "\n";
    }
    return text;
}

BuiltInventory BuildInventory(const std::string& root, const PackageScan& scan, uint64_t sequence,
                              std::ostream* progress) {
    const std::optional<WideString> base = DrivePathFromLinux(root);
    if (!base) Refuse(ShowPath(root) + ": the path cannot be expressed as a Windows drive path");
    PosixPlatform files;
    OpensslCng crypto;
    uint64_t totalBytes = 0;
    for (const PackageFile& file : scan.files) totalBytes += file.size;
    ProgressLine meter(progress, "hashing", totalBytes);
    crypto.SetWorkMeter([&meter](uint64_t bytes) { meter.Advance(bytes); });

    std::vector<InventoryRow> rows;
    std::string manifestDigest;
    {
        std::string current = root;
        try {
            GuardedDirectory guard(files, *base, StreamCheck::kEverything);
            for (const PackageFile& file : scan.files) {
                current = JoinPath(root, file.path);
                InventoryRow row{FileDigest(guard, crypto, file.path, file.size), file.size,
                                 file.path};
                if (file.path == kManifestPath) manifestDigest = row.digest;
                rows.push_back(std::move(row));
            }
        } catch (const Failure& failure) {
            Refuse(ShowPath(current) + ": the bootstrap's own read of it fails (" + failure.code() +
                   "); did the package change while it was being signed?");
        }
    }

    BuiltInventory built;
    const std::string text = InventoryText(sequence, manifestDigest, rows);
    built.bytes.assign(text.begin(), text.end());
    built.sequence = sequence;
    built.files = rows.size();

    // The bootstrap's parser must read back exactly what was meant.
    try {
        const ReleaseInventory parsed = ParseReleaseInventory(built.bytes);
        bool same = parsed.sequence() == sequence && parsed.rows().size() == rows.size() &&
                    parsed.expectedDirectories() == scan.directories;
        for (std::size_t k = 0; same && k < rows.size(); ++k) {
            const InventoryRow& row = parsed.rows()[k];
            same = row.path == rows[k].path && row.size == rows[k].size &&
                   row.digest == rows[k].digest;
        }
        if (!same) Refuse("the inventory built for " + ShowPath(root) + " reads back differently");
        Sha256Hash hash(crypto);
        hash.Update(built.bytes.data(), built.bytes.size());
        built.digest = hash.Finish();
    } catch (const Failure& failure) {
        Refuse("the inventory built for " + ShowPath(root) + " breaks the bootstrap's rule " +
               failure.code());
    }
    return built;
}

}  // namespace veltomarn::release

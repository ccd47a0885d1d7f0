#include "distribution/distribution_check.h"

#include "core/failure.h"
#include "core/sha256.h"
#include "distribution/release_inventory.h"
#include "distribution/release_signature.h"
#include "distribution/tree_check.h"

namespace veltomarn {

uint64_t VerifyDistribution(GuardedDirectory& package, const std::vector<uint8_t>& releaseKeyBlob) {
    const std::vector<uint8_t> inventoryBytes =
        package.ReadSmallFile(kInventoryName, kMaxInventoryBytes);
    const std::vector<uint8_t> signature = package.ReadSmallFile(kSignatureName, kSignatureBytes);
    CheckInventoryFraming(inventoryBytes);
    VerifyReleaseSignature(package.platform(), inventoryBytes, signature, releaseKeyBlob);
    const ReleaseInventory inventory = ParseReleaseInventory(inventoryBytes);

    VerifyExactTree(package, inventory.expectedFiles(), inventory.expectedDirectories());
    for (const InventoryRow& row : inventory.rows()) {
        check(FileDigest(package, row.path, row.size) == row.digest, "FILE_HASH_MISMATCH");
    }
    // Whatever appeared while the files were hashed is found here.
    VerifyExactTree(package, inventory.expectedFiles(), inventory.expectedDirectories());
    return inventory.sequence();
}

}  // namespace veltomarn

#include "distribution/distribution_check.h"

#include "core/failure.h"
#include "core/sha256.h"
#include "distribution/release_inventory.h"
#include "distribution/release_signature.h"
#include "distribution/tree_check.h"

namespace veltomarn {

VerifiedRelease VerifyDistribution(GuardedDirectory& package, Crypto& crypto,
                                   const std::vector<uint8_t>& releaseKeyBlob, CheckPhase& phase,
                                   const std::function<void(uint64_t)>& expectBytes) {
    phase = CheckPhase::kFiles;
    const std::vector<uint8_t> inventoryBytes =
        package.ReadSmallFile(kInventoryName, kMaxInventoryBytes);
    const std::vector<uint8_t> signature = package.ReadSmallFile(kSignatureName, kSignatureBytes);
    const ReleaseInventory inventory =
        VerifySignedInventory(crypto, inventoryBytes, signature, releaseKeyBlob, phase);

    phase = CheckPhase::kFiles;
    VerifyExactTree(package, inventory.expectedFiles(), inventory.expectedDirectories(), phase);
    if (expectBytes) {
        uint64_t bytes = 0;
        for (const InventoryRow& row : inventory.rows()) bytes += row.size;
        expectBytes(bytes);
    }
    for (const InventoryRow& row : inventory.rows()) {
        check(FileDigest(package, crypto, row.path, row.size) == row.digest, "FILE_HASH_MISMATCH");
    }
    // Whatever appeared while the files were hashed is found here.
    VerifyExactTree(package, inventory.expectedFiles(), inventory.expectedDirectories(), phase);
    return {inventory.sequence(), inventory.rows().size()};
}

VerifiedRelease VerifyDistribution(GuardedDirectory& package, Crypto& crypto,
                                   const std::vector<uint8_t>& releaseKeyBlob) {
    CheckPhase unfollowed = CheckPhase::kFiles;
    return VerifyDistribution(package, crypto, releaseKeyBlob, unfollowed);
}

ReleaseInventory VerifySignedInventory(Crypto& crypto, const std::vector<uint8_t>& inventoryBytes,
                                       const std::vector<uint8_t>& signature,
                                       const std::vector<uint8_t>& releaseKeyBlob,
                                       CheckPhase& phase) {
    phase = CheckPhase::kInventory;
    CheckInventoryFraming(inventoryBytes);
    phase = CheckPhase::kSignature;
    VerifyReleaseSignature(crypto, inventoryBytes, signature, releaseKeyBlob);
    phase = CheckPhase::kInventory;
    return ParseReleaseInventory(inventoryBytes);
}

}  // namespace veltomarn

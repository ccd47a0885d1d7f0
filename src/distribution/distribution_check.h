#pragma once

// The proof that a package directory is exactly the signed release.

#include <cstdint>
#include <functional>
#include <vector>

#include "core/guarded_directory.h"
#include "distribution/release_inventory.h"
#include "distribution/release_signature.h"
#include "distribution/tree_check.h"

namespace veltomarn {

// Reads "RELEASE.signed" (1 MiB limit) and "RELEASE.sig" (384 bytes) through `package`, checks the
// framing, the signature and every inventory rule, proves the tree holds exactly the listed files
// and the directories they imply, hashes every listed file in inventory order, and checks the tree
// again. Returns the release sequence and file count. Every file opened stays held by `package`,
// unwritable, so a later OpenFile of a listed path returns the very handle that was hashed. The
// signature is checked with the release key `releaseKeyBlob` (ReleaseKeyBlob(): the compiled-in
// one). Throws the codes of the guard, the inventory, the signature, the digests and the tree
// check, and "FILE_HASH_MISMATCH" for the first listed file whose digest differs; `phase` then
// tells what the failure concerns. `expectBytes`, when given, is told the bytes about to be hashed
// once the inventory is proven.
struct VerifiedRelease {
    uint64_t sequence = 0;
    std::size_t files = 0;  // the inventory's rows
};
VerifiedRelease VerifyDistribution(GuardedDirectory& package, Crypto& crypto,
                                   const std::vector<uint8_t>& releaseKeyBlob, CheckPhase& phase,
                                   const std::function<void(uint64_t)>& expectBytes = {});

// The same check for a caller that follows no phase (an inner launcher's own release).
VerifiedRelease VerifyDistribution(GuardedDirectory& package, Crypto& crypto,
                                   const std::vector<uint8_t>& releaseKeyBlob);

// The part of VerifyDistribution that reads no file: the framing of `inventoryBytes`, `signature`
// over them with `releaseKeyBlob`, and every inventory rule, in that order. Returns the parsed
// inventory. Throws the codes of the inventory and the signature; `phase` is then kInventory or
// kSignature.
ReleaseInventory VerifySignedInventory(Crypto& crypto, const std::vector<uint8_t>& inventoryBytes,
                                       const std::vector<uint8_t>& signature,
                                       const std::vector<uint8_t>& releaseKeyBlob,
                                       CheckPhase& phase);

}  // namespace veltomarn

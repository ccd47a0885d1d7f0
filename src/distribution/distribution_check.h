#pragma once

// The proof that a package directory is exactly the signed release.

#include <cstdint>

#include "core/guarded_directory.h"
#include "distribution/release_signature.h"
#include "distribution/tree_check.h"

namespace veltomarn {

// Reads "RELEASE.signed" (1 MiB limit) and "RELEASE.sig" (384 bytes) through `package`, checks the
// framing, the signature and every inventory rule, proves the tree holds exactly the listed files
// and the directories they imply, hashes every listed file in inventory order, and checks the tree
// again. Returns the release sequence. Every file opened stays held by `package`, unwritable, so
// a later OpenFile of a listed path returns the very handle that was hashed.
// The signature is checked with the compiled-in release key unless `releaseKeyBlob` gives another
// (see VerifyReleaseSignature).
// Throws the codes of the guard, the inventory, the signature, the digests and the tree check,
// and "FILE_HASH_MISMATCH" for the first listed file whose digest differs; `phase` then tells
// what the failure concerns.
uint64_t VerifyDistribution(GuardedDirectory& package, Crypto& crypto,
                            const std::vector<uint8_t>& releaseKeyBlob, CheckPhase& phase);

}  // namespace veltomarn

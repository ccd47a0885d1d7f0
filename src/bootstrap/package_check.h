#pragma once

// The check every mode begins with, and the release tool's `verify` too: the package directory is
// proven to be the signed release and the sealed payload is opened through the same guard.

#include <cstdint>
#include <functional>
#include <vector>

#include "core/guarded_directory.h"
#include "distribution/tree_check.h"
#include "payload/payload_format.h"
#include "platform/crypto.h"
#include "platform/file_system.h"

namespace veltomarn {

// Owned by the run for its whole length. The guard holds every checked file, the payload file
// among them, unwritable until the run ends.
struct PackageCheck {
    GuardedDirectory guard;
    uint64_t sequence = 0;
    std::size_t files = 0;  // listed in the release inventory
    // "VeltoMarn.payload", the very handle the distribution check hashed; owned by `guard`, and
    // positioned at the first chunk once the index has been read.
    Handle payloadFile = nullptr;
    PayloadIndex index;
};

// Builds the package guard, verifies the distribution against `releaseKeyBlob` (the bootstrap
// passes its compiled-in key), opens the payload through the guard (4 GiB limit) and reads its
// index. Throws the codes of the guard, the distribution check and the payload index; `phase`
// then tells what the failure concerns (kPayload from the payload's opening on). `expectBytes`,
// when given, is told the bytes the check hashes before it hashes them.
PackageCheck CheckPackage(FileSystem& files, Crypto& crypto, const WideString& packageDirectory,
                          const std::vector<uint8_t>& releaseKeyBlob, CheckPhase& phase,
                          const std::function<void(uint64_t)>& expectBytes = {});

}  // namespace veltomarn

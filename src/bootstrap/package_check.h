#pragma once

// The check every mode begins with: the package directory is proven to be the signed release and
// the sealed payload is opened through the same guard.

#include <cstdint>
#include <memory>

#include "core/guarded_directory.h"
#include "payload/payload_format.h"
#include "platform/platform.h"

namespace veltomarn {

// Owned by the run for its whole length. The guard holds every checked file, the payload file
// among them, unwritable until the run ends.
struct PackageCheck {
    PackageCheck(Platform& platform, const WideString& packageDirectory);

    GuardedDirectory guard;
    uint64_t sequence = 0;
    // "VeltoMarn.payload", the very handle the distribution check hashed; owned by `guard`, and
    // positioned at the first chunk once the index has been read.
    Handle payloadFile = nullptr;
    PayloadIndex index;
    uint64_t startTick = 0;
};

// Builds the package guard, verifies the distribution, opens the payload through the guard and
// reads its index, then takes the start tick. Throws the codes of the guard, the distribution
// check and the payload index.
std::unique_ptr<PackageCheck> CheckPackage(Platform& platform, const WideString& packageDirectory);

}  // namespace veltomarn

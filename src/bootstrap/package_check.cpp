#include "bootstrap/package_check.h"

#include "distribution/distribution_check.h"
#include "distribution/release_inventory.h"

namespace veltomarn {
namespace {

constexpr uint64_t kMaxPayloadBytes = 4294967296;

}  // namespace

PackageCheck::PackageCheck(Platform& platform, const WideString& packageDirectory)
    : guard(platform, packageDirectory, 0) {
    sequence = VerifyDistribution(guard);
    payloadFile = guard.OpenFile(kPayloadFileName, kMaxPayloadBytes);
    index = ReadPayloadIndex(platform, payloadFile);
    startTick = platform.GetTickCount64();
}

std::unique_ptr<PackageCheck> CheckPackage(Platform& platform, const WideString& packageDirectory) {
    return std::make_unique<PackageCheck>(platform, packageDirectory);
}

}  // namespace veltomarn

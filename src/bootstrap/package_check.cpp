#include "bootstrap/package_check.h"

#include <utility>

#include "distribution/distribution_check.h"

namespace veltomarn {
namespace {

constexpr uint64_t kMaxPayloadBytes = 4294967296;

}  // namespace

PackageCheck CheckPackage(FileSystem& files, Crypto& crypto, const WideString& packageDirectory,
                          const std::vector<uint8_t>& releaseKeyBlob, CheckPhase& phase,
                          const std::function<void(uint64_t)>& expectBytes) {
    phase = CheckPhase::kFiles;
    PackageCheck check{.guard = GuardedDirectory(files, packageDirectory, StreamCheck::kEverything),
                       .index = {}};
    const VerifiedRelease release =
        VerifyDistribution(check.guard, crypto, releaseKeyBlob, phase, expectBytes);
    check.sequence = release.sequence;
    check.files = release.files;
    phase = CheckPhase::kPayload;
    check.payloadFile = check.guard.OpenFile(kPayloadFileName, kMaxPayloadBytes);
    check.index = ReadPayloadIndex(files, check.payloadFile);
    return check;
}

}  // namespace veltomarn

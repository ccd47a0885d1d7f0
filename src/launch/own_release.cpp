#include "launch/own_release.h"

#include "bootstrap/locations.h"
#include "core/failure.h"
#include "core/guarded_directory.h"
#include "distribution/distribution_check.h"

namespace veltomarn {

std::string CheckOwnRelease(Platform& platform) {
    try {
        const WideString module = ModulePath(platform);
        GuardedDirectory release(platform, module.substr(0, module.rfind(u'\\')),
                                 StreamCheck::kEverything);
        VerifyDistribution(release, platform, ReleaseKeyBlob());
        return "";
    } catch (const Failure& failure) {
        return failure.code();
    }
}

}  // namespace veltomarn

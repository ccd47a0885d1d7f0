#include "bootstrap/modes.h"

#include "bootstrap/package_check.h"
#include "core/failure.h"

namespace veltomarn {

// Every mode begins with the package check. Unsealing and the session are not built yet, and a
// mode that cannot finish must never look like a success: after the check, both fail the run.
int RunVerifyOnly(Platform& platform, const WideString& packageDirectory) {
    const std::unique_ptr<PackageCheck> check = CheckPackage(platform, packageDirectory);
    fail("MODE_NOT_AVAILABLE");
}

int RunSession(Platform& platform, const WideString& packageDirectory, RunMode) {
    const std::unique_ptr<PackageCheck> check = CheckPackage(platform, packageDirectory);
    fail("MODE_NOT_AVAILABLE");
}

}  // namespace veltomarn

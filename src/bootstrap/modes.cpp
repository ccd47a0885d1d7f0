#include "bootstrap/modes.h"

#include <string>

#include "bootstrap/decimal_text.h"
#include "bootstrap/outcome.h"
#include "bootstrap/package_check.h"
#include "core/failure.h"
#include "distribution/release_signature.h"
#include "payload/unseal.h"

namespace veltomarn {
namespace {

PackageCheck CheckOwnPackage(Platform& platform, const WideString& packageDirectory) {
    CheckPhase phase = CheckPhase::kFiles;
    return CheckPackage(platform, platform, packageDirectory, ReleaseKeyBlob(), phase);
}

}  // namespace

int RunVerifyOnly(Platform& platform, const WideString& packageDirectory) {
    const PackageCheck check = CheckOwnPackage(platform, packageDirectory);
    const uint64_t startTick = platform.GetTickCount64();
    SecureBuffer key(platform, kPayloadKeyBytes);
    CompiledInPayloadKey(key);
    UnsealPayload(platform, platform, check.payloadFile, check.index, key, UnsealTarget::Nowhere());
    const uint64_t elapsed = platform.GetTickCount64() - startTick;
    const std::string line = "SEALED_VERIFIED sequence=" + DecimalText(check.sequence) +
                             " files=" + DecimalText(check.index.entries.size()) +
                             " plaintextBytes=" + DecimalText(check.index.plaintextBytes) +
                             " elapsedMs=" + DecimalText(elapsed) + "\n";
    WriteStandardStream(platform, line, false);
    return 0;
}

// The session (cache, unsealing into it, the inner launcher) is not built yet, and a mode that
// cannot finish must never look like a success: after the package check it fails the run.
int RunSession(Platform& platform, const WideString& packageDirectory, RunMode) {
    const PackageCheck check = CheckOwnPackage(platform, packageDirectory);
    fail("MODE_NOT_AVAILABLE");
}

}  // namespace veltomarn

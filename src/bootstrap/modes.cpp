#include "bootstrap/modes.h"

#include <string>

#include "bootstrap/decimal_text.h"
#include "bootstrap/outcome.h"
#include "bootstrap/package_check.h"
#include "bootstrap/progress_window.h"
#include "cache/cache_security.h"
#include "cache/cleanup.h"
#include "cache/session.h"
#include "cache/session_lockdown.h"
#include "core/failure.h"
#include "distribution/release_signature.h"
#include "launch/inner_launch.h"
#include "payload/unseal.h"

namespace veltomarn {
namespace {

PackageCheck CheckOwnPackage(Platform& platform, const WideString& packageDirectory,
                             const std::function<void(uint64_t)>& expectBytes = {}) {
    CheckPhase phase = CheckPhase::kFiles;
    return CheckPackage(platform, platform, packageDirectory, ReleaseKeyBlob(), phase, expectBytes);
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
    WriteStandardStream(platform, line, StandardStream::kOutput);
    return 0;
}

int RunSession(Platform& platform, const WideString& packageDirectory, RunMode mode) {
    // Only a player's start shows progress; `--self-test` answers with its status line alone.
    ProgressWindow progress(
        platform, mode == RunMode::Normal ? ProgressDisplay::kWindow : ProgressDisplay::kNone);
    progress.Begin(u"Checking the game files");
    const PackageCheck package = CheckOwnPackage(
        platform, packageDirectory, [&progress](uint64_t bytes) { progress.Expect(bytes); });
    const uint64_t startTick = platform.GetTickCount64();
    // Unsealing decrypts and hashes every plaintext byte; the check before start hashes it again.
    progress.Begin(u"Preparing the game");
    progress.Expect(3 * package.index.plaintextBytes);
    const CacheSecurity cache = BuildCacheSecurity(platform);
    const WideString cacheRoot = EnsureCacheRoot(platform, cache);
    Session session = OpenSession(platform, cacheRoot, cache, package.index);
    uint32_t exitCode = 0;
    try {
        WriteOwnerRecord(platform, session, cache, package.index);
        {
            GuardedDirectory target(platform, session.sessionDirectory, StreamCheck::kEverything);
            SecureBuffer key(platform, kPayloadKeyBytes);
            CompiledInPayloadKey(key);
            UnsealPayload(platform, platform, package.payloadFile, package.index, key,
                          UnsealTarget::Into(target, &cache.attributes));
        }
        {
            // Held while the inner launcher runs: nobody deletes, renames or replaces its files or
            // directories. Locked before the check: nobody adds or writes an entry after it. The
            // lockdown goes before anything is cleaned, on every path (its destructor runs before
            // the failure handler).
            GuardedDirectory sessionGuard(platform, session.sessionDirectory,
                                          StreamCheck::kEverything);
            SessionLockdown lockdown(platform, sessionGuard, cache, package.index);
            CheckSessionBeforeStart(sessionGuard, platform, package.index);
            // The window is gone before the first process of the launch exists, so the launch
            // waits as it always does.
            progress.Close();
            check(RunInnerLauncher(platform, session.sessionDirectory, LaunchKind::kVerify) == 0,
                  "INNER_SIGNATURE_REJECTED");
            if (mode == RunMode::Normal) {
                // What the verify run may have left beside itself never reaches the real run.
                CheckSessionTree(sessionGuard, package.index);
                exitCode = RunInnerLauncher(platform, session.sessionDirectory, LaunchKind::kReal);
            }
            lockdown.Lift();
        }
        CleanupSession(platform, session.sessionDirectory, package.index);
        const uint64_t elapsed = platform.GetTickCount64() - startTick;
        WriteStandardStream(
            platform,
            "SEALED_SELF_TEST_OK files=" + DecimalText(package.index.entries.size()) +
                " plaintextBytes=" + DecimalText(package.index.plaintextBytes) +
                " innerSignatureVerified=1 cacheCleaned=1 elapsedMs=" + DecimalText(elapsed) + "\n",
            StandardStream::kOutput);
    } catch (...) {
        if (!TidyFailedSession(platform, session, package.index)) {
            WriteStandardStream(platform,
                                "CACHE_PRESERVED: owned session needs recovery or review.\n",
                                StandardStream::kError);
        }
        throw;
    }
    return static_cast<int>(exitCode);
}

}  // namespace veltomarn

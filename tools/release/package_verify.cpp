#include "release/package_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "bootstrap/package_check.h"
#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/names.h"
#include "distribution/distribution_check.h"
#include "distribution/release_inventory.h"
#include "payload/payload_format.h"
#include "payload/unseal.h"
#include "platform/openssl/openssl_cng.h"
#include "platform/posix/posix_platform.h"
#include "release/authenticode.h"
#include "release/tool_support.h"

namespace veltomarn::release {
namespace {

// The first file or directory that the package's (already verified) inventory lists and the
// directory lacks, or the directory itself.
std::string FirstMissing(const std::string& root) {
    try {
        const ReleaseInventory inventory = ParseReleaseInventory(
            ReadWholeFile(JoinPath(root, kInventoryName), kMaxInventoryBytes, false));
        for (const auto* names : {&inventory.expectedDirectories(), &inventory.expectedFiles()}) {
            for (const std::string& name : *names) {
                struct stat status;
                if (lstat(JoinPath(root, name).c_str(), &status) != 0) return JoinPath(root, name);
            }
        }
    } catch (const std::exception&) {
    }
    return root;
}

// The bytes the check hashes and decrypts in a sound package, for the progress line: every file
// but the signature once, and the payload's plaintext twice (decrypted, then hashed) when it is
// unsealed, as its header states it.
uint64_t ExpectedWork(const std::string& root, PayloadCheck payloadCheck) {
    uint64_t total = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) && it->path() != JoinPath(root, kSignatureName)) {
            total += it->file_size(error);
        }
    }
    const Descriptor payload(open(JoinPath(root, kPayloadFileName).c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    uint8_t header[kPayloadHeaderBytes] = {};
    uint64_t plaintext = 0;
    if (payloadCheck == PayloadCheck::kUnseal && payload.get() >= 0 &&
        pread(payload.get(), header, sizeof header, 0) == sizeof header) {
        plaintext = HeaderPlaintextBytes(header);
    }
    // A header beyond the limit is refused by the check; it must not wrap the total meanwhile.
    return total + 2 * std::min<uint64_t>(plaintext, kMaxPayloadPlaintextBytes);
}

}  // namespace

std::string VerifyInnerRelease(const std::string& inner,
                               const std::vector<uint8_t>& releaseKeyBlob) {
    const std::optional<WideString> base = DrivePathFromLinux(inner);
    if (!base) Refuse(ShowPath(inner) + ": the path cannot be expressed as a Windows drive path");
    PosixPlatform files;
    OpensslCng crypto;
    // Shows nothing; a signal ends the check at the next chunk.
    ProgressLine meter(nullptr, "checking", 0);
    crypto.SetWorkMeter([&meter](uint64_t bytes) { meter.Advance(bytes); });
    try {
        GuardedDirectory release(files, *base, StreamCheck::kEverything);
        CheckPhase phase = CheckPhase::kFiles;
        VerifyDistribution(release, crypto, releaseKeyBlob, phase);
        return "";
    } catch (const Failure& failure) {
        return failure.code();
    }
}

VerifyOutcome VerifyPackage(const std::string& root, const std::vector<uint8_t>& releaseKeyBlob,
                            PayloadCheck payloadCheck, const PayloadKeyMaterial* payloadKey,
                            std::ostream* progress) {
    const std::optional<WideString> base = DrivePathFromLinux(root);
    if (!base) Refuse(ShowPath(root) + ": the path cannot be expressed as a Windows drive path");

    VerifyOutcome outcome;
    PosixPlatform files;
    OpensslCng crypto;
    ProgressLine meter(progress, "verifying", progress ? ExpectedWork(root, payloadCheck) : 0);
    crypto.SetWorkMeter([&meter](uint64_t bytes) { meter.Advance(bytes); });
    CheckPhase phase = CheckPhase::kFiles;
    try {
        const PackageCheck check = CheckPackage(files, crypto, *base, releaseKeyBlob, phase);
        if (payloadCheck == PayloadCheck::kUnseal) {
            SecureBuffer key(crypto, kPayloadKeyBytes);
            std::copy(payloadKey->bytes().begin(), payloadKey->bytes().end(), key.data());
            UnsealPayload(files, crypto, check.payloadFile, check.index, key,
                          UnsealTarget::Nowhere());
        }
        outcome.sequence = check.sequence;
        outcome.files = check.files;
        outcome.payloadFiles = check.index.entries.size();
        outcome.plaintextBytes = check.index.plaintextBytes;
        outcome.passed = true;
        return outcome;
    } catch (const Failure& failure) {
        outcome.code = failure.code();
    }
    switch (phase) {
        case CheckPhase::kInventory:
            outcome.path = JoinPath(root, kInventoryName);
            break;
        case CheckPhase::kSignature:
            outcome.path = JoinPath(root, kSignatureName);
            break;
        case CheckPhase::kCompleteness:
            outcome.path = FirstMissing(root);
            break;
        case CheckPhase::kPayload:
            outcome.path = JoinPath(root, kPayloadFileName);
            break;
        case CheckPhase::kFiles:
            const std::optional<std::string> last = LinuxPathFromDrive(files.LastPathTouched());
            outcome.path = last ? *last : root;
            break;
    }
    // Authenticode signing rewrites the executable it signs, so it belongs before pack.
    const std::string bootstrap = JoinPath(root, kBootstrapFileName);
    if ((outcome.code == "FILE_SIZE_MISMATCH" || outcome.code == "FILE_HASH_MISMATCH") &&
        outcome.path == bootstrap && CarriesAuthenticodeSignature(bootstrap)) {
        outcome.hint =
            std::string(kBootstrapFileName) +
            " carries an Authenticode signature that its inventory row does not cover: it was "
            "probably signed after pack. Sign the bootstrap before pack and pack again, or run "
            "sign on this package again";
    }
    return outcome;
}

}  // namespace veltomarn::release

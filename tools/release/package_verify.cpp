#include "release/package_verify.h"

#include <algorithm>
#include <set>

#include "core/failure.h"
#include "core/guarded_directory.h"
#include "distribution/distribution_check.h"
#include "distribution/release_inventory.h"
#include "payload/payload_format.h"
#include "payload/unseal.h"
#include "platform/posix/posix_platform.h"
#include "release/release_keys.h"
#include "release/tool_support.h"

namespace veltomarn::release {
namespace {

// The codes of the inventory text's own rules (framing, format, numbers and paths in rows).
const std::set<std::string> kInventoryCodes = {
    "INVENTORY_FORMAT", "INVENTORY_ENCODING",  "INVENTORY_HEADER", "RELEASE_TOO_OLD",
    "MANIFEST_HASH",    "INVENTORY_COUNT",     "INVENTORY_ROW",    "ROW_HASH",
    "ROW_ORDER",        "PATH_ALIAS",          "MANIFEST_BINDING", "REQUIRED_FILES",
    "DIRECTORY_ALIAS",  "NONCANONICAL_NUMBER", "INVALID_NUMBER",   "NUMBER_LIMIT",
    "PATH_FORMAT",      "PATH_CHARACTER",      "PATH_COMPONENT",   "PATH_DEVICE",
};

// The size limit with which the package check opens the payload file.
constexpr uint64_t kPayloadOpenLimit = 4294967296;

const std::set<std::string> kSignatureCodes = {"SIGNATURE_SIZE", "SIGNATURE_PROVIDER",
                                               "SIGNATURE_INVALID"};

}  // namespace

VerifyOutcome VerifyPackage(const std::string& root, const std::vector<uint8_t>& releaseKeyBlob,
                            PayloadCheck payloadCheck, const PayloadKeyMaterial* payloadKey) {
    const std::optional<WideString> base = DrivePathFromLinux(root);
    if (!base) Refuse(ShowPath(root) + ": the path cannot be expressed as a Windows drive path");

    VerifyOutcome outcome;
    PosixPlatform platform;
    bool payloadOpened = false;
    try {
        GuardedDirectory package(platform, *base, 0);
        outcome.sequence = VerifyDistribution(package, releaseKeyBlob);
        payloadOpened = true;
        // The very handle that the distribution check hashed, as the bootstrap takes it.
        const Handle payload = package.OpenFile(kPayloadFileName, kPayloadOpenLimit);
        const PayloadIndex index = ReadPayloadIndex(platform, payload);
        if (payloadCheck == PayloadCheck::kUnseal) {
            SecureBuffer key(platform, kPayloadKeyBytes);
            std::copy(payloadKey->bytes().begin(), payloadKey->bytes().end(), key.data());
            UnsealPayload(platform, payload, index, key, WideString(), nullptr);
        }
        outcome.payloadFiles = index.entries.size();
        outcome.plaintextBytes = index.plaintextBytes;
        outcome.passed = true;
        return outcome;
    } catch (const Failure& failure) {
        outcome.code = failure.code();
    }
    if (payloadOpened) {
        outcome.path = JoinPath(root, kPayloadFileName);
    } else if (kInventoryCodes.count(outcome.code) != 0) {
        outcome.path = JoinPath(root, kInventoryName);
    } else if (kSignatureCodes.count(outcome.code) != 0) {
        outcome.path = JoinPath(root, kSignatureName);
    } else if (outcome.code == "INCOMPLETE_TREE") {
        outcome.path = root;
    } else {
        const std::optional<std::string> last = LinuxPathFromDrive(platform.LastPathTouched());
        outcome.path = last ? *last : root;
    }
    return outcome;
}

}  // namespace veltomarn::release

#include "release/package_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <tuple>

#include "bootstrap/package_check.h"
#include "core/failure.h"
#include "core/guarded_directory.h"
#include "core/names.h"
#include "core/sha256.h"
#include "distribution/distribution_check.h"
#include "distribution/release_inventory.h"
#include "payload/payload_format.h"
#include "payload/unseal.h"
#include "platform/openssl/openssl_cng.h"
#include "platform/posix/posix_platform.h"
#include "release/authenticode.h"
#include "release/key_identity.h"
#include "release/path_text.h"
#include "release/posix_files.h"
#include "release/progress_line.h"
#include "release/secret_memory.h"
#include "release/tool_error.h"

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

// The check an inner launcher runs on its own folder (VerifyDistribution), run on the payload's
// files as a session holds them: the inventory and the signature from their kept plaintext, the
// tree and every file's size and SHA-256 from the index, which the unsealing proved against every
// file's plaintext. "" when it passes, else the code, the inner file and what differs.
std::string CheckSealedRelease(Crypto& crypto, const PayloadIndex& index,
                               const std::map<std::string, SecureBuffer>& kept,
                               const std::vector<uint8_t>& releaseKeyBlob) {
    const auto problem = [](const std::string& code, const std::string& file,
                            const std::string& what) {
        return code + ": inner " + file + (what.empty() ? "" : ": " + what);
    };
    std::map<std::string, const PayloadEntry*> entries;
    for (const PayloadEntry& entry : index.entries) entries.emplace(entry.path, &entry);
    // Both are required files of every payload. Read as the launcher reads them: a file over its
    // limit is refused before anything else.
    std::vector<uint8_t> texts[2];
    const WipeOnExit wipeInventory(texts[0]), wipeSignature(texts[1]);
    for (std::size_t k = 0; k < 2; ++k) {
        const std::string name = k == 0 ? kInventoryName : kSignatureName;
        const SecureBuffer& plaintext = kept.at(name);
        if (entries.at(name)->size > plaintext.capacity()) {
            return problem("FILE_SIZE_LIMIT", name,
                           std::to_string(entries.at(name)->size) + " bytes, over the " +
                               std::to_string(plaintext.capacity()) + " the check reads");
        }
        texts[k].assign(plaintext.data(), plaintext.data() + plaintext.size());
    }
    CheckPhase phase = CheckPhase::kInventory;
    std::optional<ReleaseInventory> inventory;
    try {
        inventory = VerifySignedInventory(crypto, texts[0], texts[1], releaseKeyBlob, phase);
    } catch (const Failure& failure) {
        return problem(failure.code(),
                       phase == CheckPhase::kSignature ? kSignatureName : kInventoryName, "");
    }
    const std::string lists = std::string(" ") + kInventoryName + " lists";
    for (const PayloadEntry& entry : index.entries) {
        if (inventory->expectedFiles().count(entry.path) != 0) continue;
        // The launcher's walk meets the first directory on the way that nothing listed lies in.
        for (std::size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1)) {
            const std::string directory = entry.path.substr(0, slash);
            if (inventory->expectedDirectories().count(directory) == 0) {
                return problem("UNEXPECTED_DIRECTORY", directory,
                               "in the payload, and nothing" + lists + " lies in it");
            }
        }
        return problem("UNEXPECTED_FILE", entry.path,
                       "in the payload, and not one of the files" + lists);
    }
    for (const std::string& file : inventory->expectedFiles()) {
        if (entries.count(file) == 0) {
            return problem("INCOMPLETE_TREE", file,
                           "one of the files" + lists + ", not in the payload");
        }
    }
    for (const InventoryRow& row : inventory->rows()) {
        const PayloadEntry& entry = *entries.at(row.path);
        if (entry.size != row.size) {
            return problem("FILE_SIZE_MISMATCH", row.path,
                           std::to_string(entry.size) + " bytes in the payload," + lists + " " +
                               std::to_string(row.size));
        }
        if (DigestHex(entry.digest) != row.digest) {
            return problem("FILE_HASH_MISMATCH", row.path,
                           "SHA-256 " + DigestHex(entry.digest) + " in the payload," + lists + " " +
                               row.digest);
        }
    }
    return "";
}

}  // namespace

void RefuseInnerRelease(const std::string& where, const std::string& problem,
                        const std::vector<uint8_t>& releaseKeyBlob, const std::string& remedy) {
    Refuse(ShowPath(where) + ": its own release does not pass with the key that signs the " +
           "package, fingerprint " + Fingerprint(releaseKeyBlob) + " (" + problem +
           "): the inner launcher would refuse itself in every player's start " +
           "(INNER_SIGNATURE_REJECTED). " + remedy);
}

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
        VerifyDistribution(release, crypto, releaseKeyBlob);
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
            // The limits the inner launcher reads its own release files with.
            std::map<std::string, SecureBuffer> kept;
            kept.emplace(std::piecewise_construct, std::forward_as_tuple(kInventoryName),
                         std::forward_as_tuple(crypto, kMaxInventoryBytes));
            kept.emplace(std::piecewise_construct, std::forward_as_tuple(kSignatureName),
                         std::forward_as_tuple(crypto, kSignatureBytes));
            UnsealPayload(files, crypto, check.payloadFile, check.index, key,
                          UnsealTarget::Keeping(kept));
            outcome.innerRelease = CheckSealedRelease(crypto, check.index, kept, releaseKeyBlob);
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

#pragma once

// How the tool puts files in place so that an interruption or a failure never leaves a half-made
// state behind. Each of these first ends the run (ThrowIfInterrupted) when SIGINT or SIGTERM has
// arrived: nothing is written then.

#include <functional>
#include <string>
#include <vector>

namespace veltomarn::release {

// The steps of InstallInventoryFiles, in order. A test may make any of them fail.
enum class InstallStep {
    kWriteInventory,   // RELEASE.signed~new written and flushed
    kWriteSignature,   // RELEASE.sig~new written and flushed
    kBackUp,           // the present RELEASE.signed and RELEASE.sig linked as ...~old
    kRenameInventory,  // RELEASE.signed~new renamed over RELEASE.signed
    kRenameSignature,  // RELEASE.sig~new renamed over RELEASE.sig
    kRemoveSignature,  // (no new signature) a present RELEASE.sig removed
    kFinish,           // the directory flushed; the backups are removed after this
};
using InstallHook = std::function<void(InstallStep)>;

// Puts `inventory` in place as "RELEASE.signed" and `signature` as "RELEASE.sig" in `directory`;
// with no signature (null), "RELEASE.signed" alone, and a present "RELEASE.sig" is removed.
//
// Both new files are first written in full and flushed under temporary names ("~new"); the
// present files are kept as hard links under backup names ("~old"); then the inventory is
// renamed into place, then the signature (or the old signature is removed). If any step fails,
// what was renamed or removed is put back from the backups, so the directory holds the old pair
// again, and the temporaries and backups are removed. Only a crash between the two renames can
// leave a mixed pair (the new inventory with the old signature), which fails verification
// ("SIGNATURE_INVALID") rather than passing it; the "~new" and "~old" files then left beside it
// make the next `sign` refuse the directory until someone has looked.
//
// `beforeStep` (for tests) runs before each step and may throw (a std::exception) to make that
// step fail.
// Throws ToolError (2).
void InstallInventoryFiles(const std::string& directory, const std::vector<uint8_t>& inventory,
                           const std::vector<uint8_t>* signature,
                           const InstallHook& beforeStep = {});

// Puts `signature` in place as "RELEASE.sig" in `directory`, replacing a present one in one
// rename after it was written and flushed under "RELEASE.sig~new". Throws ToolError (2); on
// failure the old "RELEASE.sig", or its absence, remains.
void InstallSignature(const std::string& directory, const std::vector<uint8_t>& signature);

struct NewFile {
    std::string name;
    std::vector<uint8_t> bytes;
    unsigned mode = 0600;
};

// Throws ToolError (2) naming the first of `names` that exists in `directory`.
void RefuseTakenNames(const std::string& directory, const std::vector<std::string>& names);

// Creates every file of `files` in `directory`, all or none, never replacing anything: each name
// must be free (checked for all before anything is written); each file is written and flushed
// under a temporary name, then linked to its name, which fails if the name was taken meanwhile;
// any failure removes what this call made. Throws ToolError (2).
void InstallNewFiles(const std::string& directory, const std::vector<NewFile>& files);

}  // namespace veltomarn::release

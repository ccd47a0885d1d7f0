#pragma once

// The bootstrap's own package check, run on the publisher's machine.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "release/release_keys.h"

namespace veltomarn::release {

// How far the payload is checked after the distribution.
enum class PayloadCheck {
    kIndex,   // its header and file table are read (ReadPayloadIndex)
    kUnseal,  // ... and every chunk is decrypted, authenticated and hashed to nowhere
              // (UnsealPayload with the payload key given)
};

struct VerifyOutcome {
    bool passed = false;
    uint64_t sequence = 0;         // passed: the release sequence
    std::size_t files = 0;         // passed: the files the release inventory lists
    std::size_t payloadFiles = 0;  // passed: the payload's file count
    uint64_t plaintextBytes = 0;   // passed: the payload's plaintext total
    // passed with kUnseal: "" when the inner release in the payload passes the check its inner
    // launcher runs in every player's start (VerifyInnerRelease), else its failure code, the inner
    // file it concerns and what differs there.
    std::string innerRelease;
    std::string code;  // failed: the bootstrap's failure code
    std::string path;  // failed: the Linux path the failure concerns (best effort)
    std::string hint;  // failed: the likely cause and its remedy, when one is known
};

// Runs the check an inner launcher runs on its own folder at every start (the distribution check,
// as CheckOwnRelease runs it) on directory `inner` with `releaseKeyBlob`: "" when it passes, the
// failure code otherwise. SIGINT or SIGTERM ends the check (ToolError, 128 + the signal).
std::string VerifyInnerRelease(const std::string& inner,
                               const std::vector<uint8_t>& releaseKeyBlob);

// Refuses (exit status 2) the inner release held by `where` (its folder, or the payload), which
// fails its own check with `problem` (VerifyInnerRelease, VerifyOutcome::innerRelease) with the
// release key `releaseKeyBlob` (named by its fingerprint); `remedy` ends the message.
[[noreturn]] void RefuseInnerRelease(const std::string& where, const std::string& problem,
                                     const std::vector<uint8_t>& releaseKeyBlob,
                                     const std::string& remedy);

// Runs the bootstrap's package check (CheckPackage) over the Linux platform on directory `root`
// (an absolute Linux path with no link in it) with the RSA public key blob `releaseKeyBlob` in
// place of the compiled-in key and, with kUnseal, UnsealPayload to nowhere. The path a failure
// concerns follows from the check's phase: "RELEASE.signed" for a rule of the inventory text,
// "RELEASE.sig" for the signature, the package directory for an incomplete tree,
// "VeltoMarn.payload" from opening the payload on, and otherwise the last file or directory entry
// the check opened or listed: the file whose digest differs, the unexpected entry, the link.
// A bootstrap that differs from its row and carries an Authenticode signature gets a hint: it was
// probably signed after pack.
// Throws ToolError (2) when `root` cannot be expressed as a drive path.
// `payloadKey` is needed for kUnseal only. With kUnseal, a package that passes has its inner
// release checked too (`innerRelease`). `progress`: where a line shows how far the check has
// come (ProgressLine), or null. SIGINT or SIGTERM ends the check (ToolError, 128 + the signal).
VerifyOutcome VerifyPackage(const std::string& root, const std::vector<uint8_t>& releaseKeyBlob,
                            PayloadCheck payloadCheck, const PayloadKeyMaterial* payloadKey,
                            std::ostream* progress);

}  // namespace veltomarn::release

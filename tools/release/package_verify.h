#pragma once

// The bootstrap's own distribution check, run on the publisher's machine.

#include <cstdint>
#include <string>
#include <vector>

namespace veltomarn::release {

struct VerifyOutcome {
    bool passed = false;
    uint64_t sequence = 0;  // passed: the release sequence
    std::string code;       // failed: the bootstrap's failure code
    std::string path;       // failed: the Linux path the failure concerns (best effort)
};

// Runs VerifyDistribution, the whole package check of the bootstrap, over the Linux platform on
// directory `root` (an absolute Linux path with no link in it) with the RSA public key blob
// `releaseKeyBlob` in place of the compiled-in key. The path a failure concerns is
// "RELEASE.signed" for a rule of the inventory text, "RELEASE.sig" for a signature failure, the
// package directory for an incomplete tree, and otherwise the last file or directory entry the
// check opened or listed: the file whose digest differs, the unexpected entry, the link.
// Throws ToolError (2) when `root` cannot be expressed as a drive path.
VerifyOutcome VerifyPackage(const std::string& root, const std::vector<uint8_t>& releaseKeyBlob);

}  // namespace veltomarn::release

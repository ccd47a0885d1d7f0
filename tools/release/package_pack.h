#pragma once

// Laying out a complete package in a new directory, sealing its payload and signing it, in one
// step that leaves either a package that passes the bootstrap's check or nothing.

#include <cstdint>
#include <ostream>
#include <string>

#include <openssl/types.h>

#include "release/inventory_builder.h"
#include "release/package_verify.h"
#include "release/payload_seal.h"
#include "release/release_keys.h"

namespace veltomarn::release {

struct PackRequest {
    EVP_PKEY* signingKey = nullptr;                  // the release signing key (LoadPrivateKey)
    const PayloadKeyMaterial* payloadKey = nullptr;  // the key the payload is sealed with
    uint64_t sequence = 0;                           // ParseReleaseSequence
    std::string inner;                               // the directory sealed into the payload
    std::string out;                                 // the package directory: new, or empty
    std::string bootstrap;                           // the file that becomes VeltoMarnLauncher.exe
    std::string manifest;                            // the file that becomes package/release.json
    std::string include;  // a directory whose files join the package; "" none
    PayloadCheck finalCheck = PayloadCheck::kUnseal;
};

struct PackedPackage {
    std::string root;  // the package directory, absolute
    BuiltInventory inventory;
    SealedPayload payload;
};

// Makes the package directory `out` (its parent must exist; an existing `out` must be an empty
// directory, not a link) and fills it:
//   VeltoMarnLauncher.exe   a copy of `bootstrap`
//   VeltoMarn.payload       `inner` sealed with the payload key (SealPayload's rules and refusals)
//   package/release.json    a copy of `manifest`
//   ...                     the files and directories of `include`, which must not collide with
//                           these names or "RELEASE.signed"/"RELEASE.sig" (in any letter case),
//                           nor hold a link, anything but plain files and directories, an empty
//                           directory or a name outside the relative path rules
// then signs it (SignPackage) and runs the bootstrap's package check on the result with the
// signing key's public half and `finalCheck`, which must pass. `inner` and `include` must not lie
// inside `out`, nor `out` inside them. Every copy is written under a new name and flushed.
// On any failure everything made is removed again: a directory that pack created is removed
// whole, an empty one that existed is emptied. Throws ToolError (2) saying so.
// `progress`: passed to SealPayload, SignPackage and VerifyPackage, a line for each long phase.
PackedPackage PackPackage(const PackRequest& request, std::ostream* progress);

}  // namespace veltomarn::release

#pragma once

// Which release key a key or a built bootstrap holds, and whether it is one of the repository's
// TEST-ONLY keys.

#include <openssl/evp.h>

#include <ostream>
#include <string>
#include <vector>

#include "release/release_keys.h"

namespace veltomarn::release {

// A release key's identity, given its 411-byte CNG public blob: the SHA-256 of its
// SubjectPublicKeyInfo DER, as 64 lower-case hex digits (what `openssl pkey -pubin -outform DER |
// sha256sum` prints for its PEM public key). Throws ToolError (2) for a blob that is no RSA key.
std::string Fingerprint(const std::vector<uint8_t>& publicBlob);

bool IsTestReleaseKey(const std::vector<uint8_t>& publicBlob);
bool IsTestPayloadKey(const PayloadKeyMaterial& key);

// Writes, once per tool run, the warning that `what` is one of the repository's TEST-ONLY keys.
void WarnTestKey(std::ostream& err, const std::string& what);

// Refuses (exit status 2) the bootstrap file `bootstrap` unless it holds the release key whose
// public blob is `publicBlob`: every player would get "SIGNATURE_INVALID". The message gives the
// key's fingerprint and says when the bootstrap holds the repository's TEST-ONLY key instead (with
// its fingerprint).
// Warns when the bootstrap holds a TEST-ONLY key.
void CheckBootstrapKey(const std::string& bootstrap, const std::vector<uint8_t>& publicBlob,
                       std::ostream& err);

// Refuses (exit status 2) the bootstrap file `bootstrap` unless it holds both shares of `key`
// (read from `sharesPath`) as its build stores them: every player would get
// "PAYLOAD_AUTHENTICATION". An inner launcher given in its place holds no shares.
void CheckBootstrapShares(const std::string& bootstrap, const PayloadKeyMaterial& key,
                          const std::string& sharesPath);

}  // namespace veltomarn::release

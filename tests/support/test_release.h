#pragma once

// Signed releases for tests: signatures made with the repository's test release key (and the
// wrong ways to make them), and complete signed packages written into a MemoryPlatform.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/memory_platform.h"

namespace veltomarn::testing {

inline constexpr uint64_t kTestReleaseSequence = 2026103022;

std::vector<uint8_t> ToBytes(const std::string& text);

// The lower-case hex SHA-256 of `bytes`, computed without the platform.
std::string Sha256Hex(const std::string& bytes);

// The test release key's public numbers as its PEM file states them, big-endian: the modulus
// padded to 384 bytes, the exponent to 3.
struct RsaPublicNumbers {
    std::vector<uint8_t> modulus;
    std::vector<uint8_t> exponent;
};
RsaPublicNumbers TestReleaseKeyNumbers();

// How a signature over the inventory bytes is made. Only the first is what the bootstrap accepts.
enum class SignatureScheme {
    kPkcs1Sha256,   // the test release key, PKCS #1 v1.5 over SHA-256
    kPssSha256,     // the test release key, PSS over SHA-256
    kPkcs1Sha1,     // the test release key, PKCS #1 v1.5 over SHA-1
    kPkcs1Sha512,   // the test release key, PKCS #1 v1.5 over SHA-512
    kOtherKey3072,  // a freshly generated 3072-bit key, PKCS #1 v1.5 over SHA-256
};

// A 384-byte signature over `data`.
std::vector<uint8_t> SignWith(SignatureScheme scheme, const std::vector<uint8_t>& data);
std::vector<uint8_t> SignWithTestKey(const std::vector<uint8_t>& data);

// path -> contents, ordered by unsigned byte comparison of the paths.
using ReleaseFiles = std::map<std::string, std::string>;

// The inventory text listing `files` in path order; the manifest line holds the digest of
// "package/release.json" (64 zeros when the files lack it).
std::string InventoryText(const ReleaseFiles& files, uint64_t sequence = kTestReleaseSequence);

// `relative` ('/'-separated) below `base`, as a set-up path of the model.
WideString PackagePath(const WideString& base, const std::string& relative);

struct ReleasePlan {
    // Must hold "VeltoMarnLauncher.exe", "VeltoMarn.payload" and "package/release.json" for a
    // package that verifies.
    ReleaseFiles files;
    uint64_t sequence = kTestReleaseSequence;
    // Changes the inventory text before it is signed (and written).
    std::function<void(std::string& inventory)> editInventory;
    // Runs once everything is written: replaces, adds or removes files of the signed package.
    std::function<void(MemoryPlatform& platform, const WideString& base)> afterSigning;
};

struct SignedRelease {
    std::string inventory;  // as signed
    std::vector<uint8_t> signature;
};

// Writes every file of `plan`, then "RELEASE.signed" and "RELEASE.sig", below `base`, then runs
// the afterSigning hook.
SignedRelease WriteSignedRelease(MemoryPlatform& platform, const WideString& base,
                                 const ReleasePlan& plan);

}  // namespace veltomarn::testing

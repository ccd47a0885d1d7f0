#include "distribution/release_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "support/memory_platform.h"
#include "support/test_release.h"

namespace veltomarn {
namespace {

using testing::MemoryPlatform;
using testing::SignatureScheme;
using testing::SignWith;
using testing::SignWithTestKey;
using testing::ToBytes;

using Bytes = std::vector<uint8_t>;

constexpr char kAccepted[] = "ACCEPTED";
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);

const Bytes& Inventory() {
    static const Bytes bytes = ToBytes(testing::InventoryText({{"VeltoMarn.payload", "payload"},
                                                               {"VeltoMarnLauncher.exe", "MZ"},
                                                               {"package/release.json", "{}"}}));
    return bytes;
}

const Bytes& GoodSignature() {
    static const Bytes signature = SignWithTestKey(Inventory());
    return signature;
}

std::string Verify(MemoryPlatform& platform, const Bytes& inventory, const Bytes& signature) {
    try {
        VerifyReleaseSignature(platform, inventory, signature);
        return kAccepted;
    } catch (const Failure& failure) {
        return failure.code();
    }
}

// Nothing stays alive, and a key that was imported is destroyed while its provider is still open.
void ExpectCngReleased(const MemoryPlatform& platform) {
    EXPECT_EQ(platform.LiveCngObjects(), 0u);
    const std::vector<std::string>& events = platform.CngEvents();
    const auto import = std::find(events.begin(), events.end(), "ImportKeyPair");
    EXPECT_EQ(platform.CallCount("BCryptDestroyKey"), import == events.end() ? 0 : 1);
    if (import == events.end()) return;
    const auto destroy = std::find(import, events.end(), "DestroyKey");
    ASSERT_NE(destroy, events.end()) << "imported key never destroyed";
    EXPECT_EQ(std::find(import, destroy, "CloseAlgorithmProvider"), destroy)
        << "the RSA provider was closed while its key was alive";
    EXPECT_NE(std::find(destroy, events.end(), "CloseAlgorithmProvider"), events.end())
        << "the RSA provider was never closed";
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(ReleaseKeyBlobTest, HeaderThenExponentThenModulusOfTheTestKey) {
    const Bytes blob = ReleaseKeyBlob();
    ASSERT_EQ(blob.size(), 411u);
    const Bytes header = {'R',  'S',  'A', '1',  // magic, read little-endian as 0x31415352
                          0x00, 0x0C, 0,   0,    // 3072 bits
                          3,    0,    0,   0,    // exponent bytes
                          0x80, 0x01, 0,   0,    // modulus bytes, 384
                          0,    0,    0,   0,    // no first prime
                          0,    0,    0,   0};   // no second prime
    EXPECT_EQ(Slice(blob, 0, 24), header);
    const testing::RsaPublicNumbers key = testing::TestReleaseKeyNumbers();
    EXPECT_EQ(Slice(blob, 24, 27), key.exponent);
    EXPECT_EQ(Slice(blob, 27, 411), key.modulus);
}

TEST(VerifyReleaseSignatureTest, TestKeySignatureOverEveryByteIsAccepted) {
    MemoryPlatform platform;
    EXPECT_EQ(Verify(platform, Inventory(), GoodSignature()), kAccepted);
    EXPECT_EQ(platform.CallCount("BCryptHashData"), 1);
    EXPECT_EQ(platform.CallCount("BCryptVerifySignature"), 1);
    ExpectCngReleased(platform);
}

struct SizeCase {
    std::string name;
    Bytes signature;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.name;
}

class SignatureSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SignatureSizeTest, RefusedBeforeAnyCryptoCall) {
    MemoryPlatform platform;
    EXPECT_EQ(Verify(platform, Inventory(), GetParam().signature), "SIGNATURE_SIZE");
    EXPECT_EQ(platform.CallCount("BCryptOpenAlgorithmProvider"), 0);
}

Bytes WithTrailingNewline() {
    Bytes signature = GoodSignature();
    signature.push_back('\n');
    return signature;
}

INSTANTIATE_TEST_SUITE_P(Signatures, SignatureSizeTest,
                         ::testing::ValuesIn(std::vector<SizeCase>{
                             {"empty_signature_file", {}},
                             {"truncated_by_one_byte", Slice(GoodSignature(), 0, 383)},
                             {"valid_signature_with_trailing_newline", WithTrailingNewline()}}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                             return info.param.name;
                         });

Bytes Flipped(Bytes bytes, std::size_t index, uint8_t mask) {
    bytes.at(index) ^= mask;
    return bytes;
}

Bytes WithoutFinalLf() {
    return Slice(Inventory(), 0, Inventory().size() - 1);
}

// Made on first use, so that a filtered run does not pay for signatures it never checks.
struct ForgeryCase {
    std::string name;
    std::function<std::pair<Bytes, Bytes>()> make;  // inventory, signature
};

void PrintTo(const ForgeryCase& c, std::ostream* os) {
    *os << c.name;
}

std::pair<Bytes, Bytes> TamperedInventory(std::size_t index, uint8_t mask) {
    return {Flipped(Inventory(), index, mask), GoodSignature()};
}
std::pair<Bytes, Bytes> TamperedSignature(std::size_t index, uint8_t mask) {
    return {Inventory(), Flipped(GoodSignature(), index, mask)};
}
std::pair<Bytes, Bytes> SignedAs(SignatureScheme scheme) {
    return {Inventory(), SignWith(scheme, Inventory())};
}

const std::vector<ForgeryCase> kForgeries = {
    {"tampered_inventory_first_byte", [] { return TamperedInventory(0, 0x01); }},
    {"tampered_inventory_middle_byte",
     [] { return TamperedInventory(Inventory().size() / 2, 0x80); }},
    {"tampered_inventory_final_lf", [] { return TamperedInventory(Inventory().size() - 1, 0x01); }},
    {"tampered_signature_first_byte", [] { return TamperedSignature(0, 0x01); }},
    {"tampered_signature_middle_byte", [] { return TamperedSignature(192, 0x10); }},
    {"tampered_signature_last_byte", [] { return TamperedSignature(383, 0x01); }},
    {"final_lf_added_after_signing",
     [] { return std::pair(Inventory(), SignWithTestKey(WithoutFinalLf())); }},
    {"swapped_signature_of_another_release",
     [] {
         const Bytes other = ToBytes(testing::InventoryText(
             {{"VeltoMarn.payload", "payload"}, {"VeltoMarnLauncher.exe", "MZ"}},
             testing::kTestReleaseSequence + 1));
         return std::pair(Inventory(), SignWithTestKey(other));
     }},
    {"pss_padding", [] { return SignedAs(SignatureScheme::kPssSha256); }},
    {"pkcs1_over_sha1", [] { return SignedAs(SignatureScheme::kPkcs1Sha1); }},
    {"pkcs1_over_sha512", [] { return SignedAs(SignatureScheme::kPkcs1Sha512); }},
    {"signed_by_another_3072_bit_key", [] { return SignedAs(SignatureScheme::kOtherKey3072); }},
};

class SignatureForgeryTest : public ::testing::TestWithParam<ForgeryCase> {};

TEST_P(SignatureForgeryTest, RefusedByTheVerification) {
    const auto [inventory, signature] = GetParam().make();
    MemoryPlatform platform;
    EXPECT_EQ(Verify(platform, inventory, signature), "SIGNATURE_INVALID");
    EXPECT_EQ(platform.CallCount("BCryptVerifySignature"), 1);
    ExpectCngReleased(platform);
}

INSTANTIATE_TEST_SUITE_P(Forgeries, SignatureForgeryTest, ::testing::ValuesIn(kForgeries),
                         [](const ::testing::TestParamInfo<ForgeryCase>& info) {
                             return info.param.name;
                         });

// A good signature, and one CNG call that fails.
struct ProviderFaultCase {
    std::string name;
    std::string call;
    int nth;
    std::string code;
    int verifyCalls;
};

void PrintTo(const ProviderFaultCase& c, std::ostream* os) {
    *os << c.name;
}

class SignatureProviderFaultTest : public ::testing::TestWithParam<ProviderFaultCase> {};

TEST_P(SignatureProviderFaultTest, FailsWithItsCodeAndReleasesEverything) {
    const ProviderFaultCase& c = GetParam();
    MemoryPlatform platform;
    platform.FailStatus(c.call, kStatusUnsuccessful, c.nth);
    EXPECT_EQ(Verify(platform, Inventory(), GoodSignature()), c.code);
    EXPECT_EQ(platform.CallCount("BCryptVerifySignature"), c.verifyCalls);
    ExpectCngReleased(platform);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SignatureProviderFaultTest,
    ::testing::ValuesIn(std::vector<ProviderFaultCase>{
        {"sha256_provider_unavailable", "BCryptOpenAlgorithmProvider", 1, "HASH_PROVIDER", 0},
        {"hash_object_length_unreadable", "BCryptGetProperty", 1, "HASH_PROPERTY", 0},
        {"hash_object_refused", "BCryptCreateHash", 1, "HASH_CREATE", 0},
        {"hash_data_refused", "BCryptHashData", 1, "HASH_READ", 0},
        {"hash_finish_refused", "BCryptFinishHash", 1, "HASH_FINISH", 0},
        {"rsa_provider_unavailable", "BCryptOpenAlgorithmProvider", 2, "SIGNATURE_PROVIDER", 0},
        {"key_refused_by_provider", "BCryptImportKeyPair", 1, "SIGNATURE_INVALID", 0},
        {"verification_call_fails", "BCryptVerifySignature", 1, "SIGNATURE_INVALID", 1}}),
    [](const ::testing::TestParamInfo<ProviderFaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace veltomarn

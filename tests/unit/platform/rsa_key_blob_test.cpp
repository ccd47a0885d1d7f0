#include "platform/rsa_key_blob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace veltomarn::test {
namespace {

// A 17-bit modulus with exponent 65537 decodes to its parts; each change below makes a blob that
// is not exactly a public one, and it is refused.
TEST(RsaPublicBlobTest, OnlyAnExactPublicBlobDecodes) {
    const std::vector<uint8_t> exponent = {1, 0, 1}, modulus = {1, 0x23, 0x45};
    const std::vector<uint8_t> good = EncodeRsaPublicBlob(17, exponent, modulus);
    const auto parts = DecodeRsaPublicBlob(good);
    ASSERT_TRUE(parts.has_value());
    EXPECT_TRUE(std::ranges::equal(parts->exponent, exponent));
    EXPECT_TRUE(std::ranges::equal(parts->modulus, modulus));
    using Blob = std::vector<uint8_t>;
    const std::pair<std::string, std::function<void(Blob&)>> kChanges[] = {
        {"cut_into_the_header", [](Blob& b) { b.resize(kRsaKeyBlobHeaderBytes - 1); }},
        {"private_key_magic", [](Blob& b) { b[3] = '2'; }},
        {"bit_length_of_a_shorter_modulus", [](Blob& b) { b[4] = 16; }},
        {"bit_length_of_a_longer_modulus", [](Blob& b) { b[4] = 25; }},
        {"first_prime_size", [](Blob& b) { b[16] = 1; }},
        {"second_prime_size", [](Blob& b) { b[20] = 1; }},
        {"trailing_byte", [](Blob& b) { b.push_back(0); }},
        {"no_exponent", [](Blob& b) { b[8] = 0, b.erase(b.begin() + 24, b.begin() + 27); }},
        {"no_modulus", [](Blob& b) { b[4] = 0, b[12] = 0, b.resize(b.size() - 3); }},
    };
    for (const auto& [name, change] : kChanges) {
        Blob blob = good;
        change(blob);
        EXPECT_FALSE(DecodeRsaPublicBlob(blob).has_value()) << name;
    }
}

}  // namespace
}  // namespace veltomarn::test

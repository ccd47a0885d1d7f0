#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "payload/unseal.h"
#include "platform/openssl/openssl_cng.h"

namespace veltomarn::test {
namespace {

// The compiled-in key is the XOR of exactly the two shares of the build input, and filling it
// touches no byte outside the shares or the key (the sanitizers watch).
TEST(PayloadKeyTest, CompiledInKeyIsTheXorOfTheBuildShares) {
    std::ifstream file(VELTOMARN_PAYLOAD_KEY_FILE);
    std::string a, b;
    ASSERT_TRUE(std::getline(file, a) && std::getline(file, b));
    OpensslCng crypto;
    SecureBuffer key(crypto, kPayloadKeyBytes);
    CompiledInPayloadKey(key);
    for (std::size_t i = 0; i < kPayloadKeyBytes; ++i) {
        const int expected =
            std::stoi(a.substr(2 * i, 2), nullptr, 16) ^ std::stoi(b.substr(2 * i, 2), nullptr, 16);
        EXPECT_EQ(key.data()[i], expected) << "byte " << i;
    }
}

}  // namespace
}  // namespace veltomarn::test

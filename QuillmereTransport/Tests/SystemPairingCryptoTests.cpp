#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(SystemPairingCrypto, RandomBytesOfAnyCountZeroIncluded) {
    SystemPairingCrypto crypto;
    auto none = crypto.randomBytes(0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    auto identifier = crypto.randomBytes(16);
    auto secret = crypto.randomBytes(32);
    ASSERT_TRUE(identifier.has_value() && secret.has_value());
    EXPECT_EQ(identifier->size(), 16u);
    EXPECT_EQ(secret->size(), 32u);
    EXPECT_NE(*secret, *crypto.randomBytes(32));
    EXPECT_EQ(crypto.randomBytes(static_cast<std::size_t>(-1)).error().status, -50);
}

TEST(SystemPairingCrypto, AuthenticationCodeIsHmacSha256) {
    // RFC 4231, test case 2.
    const std::string key = "Jefe";
    const std::string message = "what do ya want for nothing?";
    const Digest32 code = SystemPairingCrypto().authenticationCode(
        ByteView(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()),
        ByteView(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
    const std::array<std::uint8_t, 32> expected{0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
                                                0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
                                                0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
    EXPECT_EQ(code, Digest32(expected));
}

} // namespace
} // namespace quillmere

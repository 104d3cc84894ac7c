#include "Platform/Crypto/Crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere {
namespace {

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string fullHex(ByteView bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string hmacHex(const Bytes& key, const Bytes& message) {
    return fullHex(Crypto::hmacSHA256(viewOf(key), viewOf(message)).view());
}

TEST(Crypto, Sha256MatchesKnownDigests) {
    EXPECT_EQ(fullHex(Crypto::sha256(ByteView()).view()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(fullHex(Crypto::sha256(viewOf(textBytes("abc"))).view()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// RFC 4231, test cases 1 to 7.
TEST(Crypto, HmacSha256MatchesRfc4231) {
    EXPECT_EQ(hmacHex(Bytes(20, 0x0b), textBytes("Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmacHex(textBytes("Jefe"), textBytes("what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmacHex(Bytes(20, 0xaa), Bytes(50, 0xdd)),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    Bytes counting;
    for (int i = 1; i <= 25; ++i) counting.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(hmacHex(counting, Bytes(50, 0xcd)),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    EXPECT_EQ(hmacHex(Bytes(20, 0x0c), textBytes("Test With Truncation")).substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
    EXPECT_EQ(hmacHex(Bytes(131, 0xaa), textBytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmacHex(Bytes(131, 0xaa),
                      textBytes("This is a test using a larger than block-size key and a larger than block-size "
                                "data. The key needs to be hashed before being used by the HMAC algorithm.")),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(Crypto, HmacTakesEmptyKeysAndMessages) {
    // Known value of HMAC-SHA256 with an empty key over an empty message.
    EXPECT_EQ(hmacHex(Bytes(), Bytes()), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(Crypto, RandomBytesHaveTheAskedLength) {
    auto none = Crypto::randomBytes(0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    auto first = Crypto::randomBytes(32);
    auto second = Crypto::randomBytes(32);
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_EQ(first->size(), 32u);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(Crypto::randomBytes(-1).error(), Crypto::randomParameterError);
}

} // namespace
} // namespace quillmere

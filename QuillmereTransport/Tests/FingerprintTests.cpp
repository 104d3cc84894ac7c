#include "Platform/Crypto/Crypto.h"
#include "Platform/Crypto/Tests/TestCertificates.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereWire/SelfSignedCertificate.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(Fingerprint, IsTheSha256OfTheKeysSubjectPublicKeyInfo) {
    testing::PKey key = testing::ecKey("P-256");
    const Bytes der = testing::selfSigned(key.get());
    auto info = SelfSignedCertificate::subjectPublicKeyInfo(viewOf(testing::encodedPublicKey(key.get())));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(Fingerprint::of(viewOf(der)), Crypto::sha256(viewOf(*info)));
    // Only the key counts: another certificate over the same key has the same fingerprint.
    EXPECT_EQ(Fingerprint::of(viewOf(testing::selfSigned(key.get(), "other name"))), Fingerprint::of(viewOf(der)));
}

TEST(Fingerprint, IsAbsentForEveryOtherKey) {
    EXPECT_FALSE(Fingerprint::of(viewOf(testing::selfSigned(testing::rsaKey().get()))).has_value());
    EXPECT_FALSE(Fingerprint::of(viewOf(testing::selfSigned(testing::ecKey("P-384").get()))).has_value());
    EXPECT_FALSE(Fingerprint::of(viewOf(testing::selfSigned(testing::ecKey("secp256k1").get()))).has_value());
    EXPECT_FALSE(Fingerprint::of(viewOf(testing::selfSigned(testing::compressedP256Key().get()))).has_value());
    EXPECT_FALSE(Fingerprint::of(viewOf(Bytes{0x30, 0x00})).has_value());
}

TEST(Fingerprint, OfAPeerIsThatOfTheFirstCertificate) {
    const Bytes leaf = testing::selfSigned(testing::ecKey("P-256").get());
    const Bytes next = testing::selfSigned(testing::ecKey("P-256").get());
    const std::vector<ByteView> chain{viewOf(leaf), viewOf(next)};
    EXPECT_EQ(Fingerprint::ofPeer(chain), Fingerprint::of(viewOf(leaf)));
    EXPECT_FALSE(Fingerprint::ofPeer({}).has_value());
    const Bytes rsa = testing::selfSigned(testing::rsaKey().get());
    const std::vector<ByteView> rsaFirst{viewOf(rsa), viewOf(leaf)};
    EXPECT_FALSE(Fingerprint::ofPeer(rsaFirst).has_value());
}

} // namespace
} // namespace quillmere

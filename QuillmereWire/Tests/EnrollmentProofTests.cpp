#include "QuillmereWire/EnrollmentProof.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::filled;
using pairingtest::flipped;
using pairingtest::fromHex;
using pairingtest::TestPairingCrypto;

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The proofs are only as good as the HMAC under them: check the one the
// tests use against RFC 4231 first.
TEST(EnrollmentProof, TestHMACMatchesRFC4231) {
    struct Vector {
        Bytes key;
        Bytes data;
        std::string_view mac;
    };
    const Vector vectors[] = {
        {Bytes(20, 0x0b), ascii("Hi There"), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {ascii("Jefe"), ascii("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd), "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Bytes(131, 0xaa), ascii("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Bytes(131, 0xaa),
         ascii("This is a test using a larger than block-size key and a larger than block-size data. The key needs "
               "to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    const TestPairingCrypto crypto;
    for (const Vector& v : vectors) {
        EXPECT_EQ(crypto.authenticationCode(viewOf(v.key), viewOf(v.data)).toBytes(), fromHex(v.mac)) << v.mac;
    }
}

TEST(EnrollmentProof, LabelsAreTheASCIIBytesWithoutTerminator) {
    EXPECT_EQ(Bytes(EnrollmentProof::clientLabel().begin(), EnrollmentProof::clientLabel().end()),
              ascii("quillmere enroll v1 client"));
    EXPECT_EQ(Bytes(EnrollmentProof::hostLabel().begin(), EnrollmentProof::hostLabel().end()),
              ascii("quillmere enroll v1 host"));
}

// Known answers computed outside this code base (openssl dgst -mac HMAC) over
// label || invitationID || clientFingerprint || hostFingerprint.
TEST(EnrollmentProof, KnownAnswers) {
    const TestPairingCrypto crypto;
    const auto key = filled<Digest32>(0x00);
    const auto id = filled<WireID>(0xA0);
    const auto client = filled<Digest32>(0x40);
    const auto host = filled<Digest32>(0x80);
    EXPECT_EQ(EnrollmentProof::client(crypto, key, id, client, host).toBytes(),
              fromHex("6aabba44061dcfe9197b2aedba5838f673a793dc822f9fe5fb22cfd2eda2c78b"));
    EXPECT_EQ(EnrollmentProof::host(crypto, key, id, client, host).toBytes(),
              fromHex("4fcd5db0d9d9e6340f697857c8a356e7f6ec7f85576a384eb22761f0ca5d0905"));
}

TEST(EnrollmentProof, EveryInputChangesTheProof) {
    const TestPairingCrypto crypto;
    const auto key = filled<Digest32>(0x00);
    const auto id = filled<WireID>(0xA0);
    const auto client = filled<Digest32>(0x40);
    const auto host = filled<Digest32>(0x80);
    const Digest32 proof = EnrollmentProof::client(crypto, key, id, client, host);
    EXPECT_NE(EnrollmentProof::host(crypto, key, id, client, host), proof);
    EXPECT_NE(EnrollmentProof::client(crypto, flipped(key), id, client, host), proof);
    EXPECT_NE(EnrollmentProof::client(crypto, key, filled<WireID>(0xA1), client, host), proof);
    EXPECT_NE(EnrollmentProof::client(crypto, key, id, flipped(client), host), proof);
    EXPECT_NE(EnrollmentProof::client(crypto, key, id, client, flipped(host)), proof);
    // Swapping the two fingerprints is another message.
    EXPECT_NE(EnrollmentProof::client(crypto, key, id, host, client), proof);
}

TEST(EnrollmentProof, MatchesLooksAtEveryByte) {
    const auto expected = filled<Digest32>(0x11, 7);
    EXPECT_TRUE(EnrollmentProof::matches(expected, expected));
    for (std::size_t i = 0; i < Digest32::byteCount; ++i) {
        EXPECT_FALSE(EnrollmentProof::matches(flipped(expected, i), expected)) << i;
    }
    EXPECT_FALSE(EnrollmentProof::matches(Digest32::zero(), expected));
}

} // namespace
} // namespace quillmere

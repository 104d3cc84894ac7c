#include "Platform/Crypto/Certificate.h"
#include "Platform/Crypto/Tests/TestCertificates.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(Certificate, ParsesOnlyWholeCertificates) {
    const Bytes der = testing::selfSigned(testing::ecKey("P-256").get());
    auto certificate = Certificate::fromDER(viewOf(der));
    ASSERT_TRUE(certificate.has_value());
    EXPECT_EQ(certificate->der(), der);

    Bytes longer = der;
    longer.push_back(0);
    EXPECT_FALSE(Certificate::fromDER(viewOf(longer)).has_value());
    EXPECT_FALSE(Certificate::fromDER(ByteView(der.data(), der.size() - 1)).has_value());
    EXPECT_FALSE(Certificate::fromDER(ByteView()).has_value());
    EXPECT_FALSE(Certificate::fromDER(viewOf(Bytes(300, 0x30))).has_value());
}

TEST(Certificate, PemReadsBackAsTheSameCertificate) {
    const Bytes der = testing::selfSigned(testing::ecKey("P-256").get());
    const std::string pem = Certificate::fromDER(viewOf(der))->pem();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* parsed = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(testing::derOf(parsed), der);
    X509_free(parsed);
    BIO_free(bio);
}

TEST(Certificate, GivesThePointOfP256KeysOnly) {
    testing::PKey p256 = testing::ecKey("P-256");
    EXPECT_EQ(Certificate::fromDER(viewOf(testing::selfSigned(p256.get())))->p256PublicKey(),
              testing::encodedPublicKey(p256.get()));
    // Same length as a P-256 point, other curve.
    EXPECT_FALSE(Certificate::fromDER(viewOf(testing::selfSigned(testing::ecKey("secp256k1").get())))
                     ->p256PublicKey()
                     .has_value());
    EXPECT_FALSE(Certificate::fromDER(viewOf(testing::selfSigned(testing::ecKey("P-384").get())))
                     ->p256PublicKey()
                     .has_value());
    EXPECT_FALSE(
        Certificate::fromDER(viewOf(testing::selfSigned(testing::rsaKey().get())))->p256PublicKey().has_value());
    // As stored: a compressed point stays compressed.
    auto compressed =
        Certificate::fromDER(viewOf(testing::selfSigned(testing::compressedP256Key().get())))->p256PublicKey();
    ASSERT_TRUE(compressed.has_value());
    EXPECT_EQ(compressed->size(), 33u);
}

} // namespace
} // namespace quillmere

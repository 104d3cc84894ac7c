#include "TestSupport/TestValues.h"
#include "QuillmereWire/SelfSignedCertificate.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace quillmere {
namespace {

using SelfSignedCertificate::Failure;

constexpr std::string_view notBefore = "20250101000000Z";
constexpr std::string_view notAfter = "20500101000000Z";

using testing::bytesOf;

Bytes filled(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

Bytes samplePoint() {
    Bytes key(65, 0x11);
    key[0] = 0x04;
    return key;
}

Bytes serial16() {
    Bytes serial = filled(16, 0x5a);
    serial[0] = 0x41;
    return serial;
}

bool startsWith(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

struct PKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

Bytes publicPointOf(EVP_PKEY* key) {
    Bytes point(65);
    std::size_t length = 0;
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                              &length),
              1);
    point.resize(length);
    return point;
}

Bytes signSHA256(EVP_PKEY* key, const Bytes& message) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t length = 0;
    EXPECT_EQ(EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(context, nullptr, &length, message.data(), message.size()), 1);
    Bytes signature(length);
    EXPECT_EQ(EVP_DigestSign(context, signature.data(), &length, message.data(), message.size()), 1);
    signature.resize(length);
    EVP_MD_CTX_free(context);
    return signature;
}

X509Ptr parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    EXPECT_EQ(cursor, der.data() + der.size());
    return certificate;
}

// A certificate over a real key, signed with it.
struct Built {
    PKey key;
    Bytes point;
    Bytes certificate;
};

Built buildReal(const Bytes& serial, std::string_view commonName = "QuillmereMac") {
    Built built{PKey(EVP_EC_gen("P-256")), {}, {}};
    built.point = publicPointOf(built.key.get());
    auto tbs = SelfSignedCertificate::tbsCertificate(viewOf(built.point), commonName, viewOf(serial), notBefore,
                                                     notAfter);
    EXPECT_TRUE(tbs.has_value());
    built.certificate = SelfSignedCertificate::certificate(viewOf(*tbs), viewOf(signSHA256(built.key.get(), *tbs)));
    return built;
}

TEST(SubjectPublicKeyInfo, IsTheFixed91BytesAroundTheKey) {
    const Bytes key = samplePoint();
    auto info = SelfSignedCertificate::subjectPublicKeyInfo(viewOf(key));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size(), 91u);
    EXPECT_TRUE(startsWith(*info, bytesOf({0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02,
                                           0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03,
                                           0x42, 0x00, 0x04})));
    EXPECT_TRUE(std::equal(key.begin(), key.end(), info->end() - 65));
}

TEST(SubjectPublicKeyInfo, RefusesAnythingButAnUncompressedPoint) {
    Bytes compressed = samplePoint();
    compressed[0] = 0x02;
    EXPECT_EQ(SelfSignedCertificate::subjectPublicKeyInfo(viewOf(compressed)).error(), Failure::invalidPublicKey);
    EXPECT_EQ(SelfSignedCertificate::subjectPublicKeyInfo(viewOf(filled(64, 0x04))).error(), Failure::invalidPublicKey);
    EXPECT_EQ(SelfSignedCertificate::subjectPublicKeyInfo(ByteView()).error(), Failure::invalidPublicKey);
}

TEST(TBSCertificate, HasTheLayoutAndSizesOfTheProfile) {
    const Bytes key = samplePoint();
    const Bytes serial = serial16();
    auto tbs = SelfSignedCertificate::tbsCertificate(viewOf(key), "QuillmereMac", viewOf(serial), notBefore, notAfter);
    ASSERT_TRUE(tbs.has_value());
    EXPECT_EQ(tbs->size(), 215u);
    Bytes head = bytesOf({0x30, 0x81, 0xd4, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x10});
    head.insert(head.end(), serial.begin(), serial.end());
    EXPECT_TRUE(startsWith(*tbs, head));

    Bytes name = bytesOf({0x30, 0x17, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x0c});
    for (char c : std::string("QuillmereMac")) name.push_back(static_cast<std::uint8_t>(c));
    Bytes validity = bytesOf({0x30, 0x22, 0x18, 0x0f});
    validity.insert(validity.end(), notBefore.begin(), notBefore.end());
    validity.insert(validity.end(), {0x18, 0x0f});
    validity.insert(validity.end(), notAfter.begin(), notAfter.end());
    // version, serial, algorithm, issuer, validity, subject, key: in this order.
    Bytes middle = bytesOf({0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02});
    middle.insert(middle.end(), name.begin(), name.end());
    middle.insert(middle.end(), validity.begin(), validity.end());
    middle.insert(middle.end(), name.begin(), name.end());
    EXPECT_TRUE(contains(*tbs, middle));
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), tbs->begin() + 3 + 5 + 18));
    auto info = SelfSignedCertificate::subjectPublicKeyInfo(viewOf(key));
    EXPECT_TRUE(std::equal(info->begin(), info->end(), tbs->end() - 91));
}

TEST(TBSCertificate, ChecksNameThenSerialThenKey) {
    const Bytes key = samplePoint();
    const Bytes badKey = filled(64, 0x04);
    const Bytes serial = serial16();
    const Bytes badSerial = bytesOf({0x80});
    auto build = [&](const Bytes& k, std::string_view name, const Bytes& s) {
        return SelfSignedCertificate::tbsCertificate(viewOf(k), name, viewOf(s), notBefore, notAfter);
    };
    EXPECT_EQ(build(badKey, "", badSerial).error(), Failure::invalidName);
    EXPECT_EQ(build(badKey, "n", badSerial).error(), Failure::invalidSerial);
    EXPECT_EQ(build(badKey, "n", serial).error(), Failure::invalidPublicKey);
    EXPECT_TRUE(build(key, std::string(64, 'a'), serial).has_value());
    EXPECT_EQ(build(key, std::string(65, 'a'), serial).error(), Failure::invalidName);
    // 32 two-byte letters are 64 bytes: the limit counts bytes, not letters.
    std::string umlauts;
    for (int i = 0; i < 32; ++i) umlauts += "\xc3\xa4";
    EXPECT_TRUE(build(key, umlauts, serial).has_value());
    EXPECT_EQ(build(key, umlauts + "a", serial).error(), Failure::invalidName);
    EXPECT_EQ(build(key, "bad \xff name", serial).error(), Failure::invalidName);
}

TEST(TBSCertificate, RefusesSerialsThatAreNotPositiveIntegersOfAtMost20Bytes) {
    const Bytes key = samplePoint();
    auto serialFailure = [&](const Bytes& serial) {
        return SelfSignedCertificate::tbsCertificate(viewOf(key), "n", viewOf(serial), notBefore, notAfter);
    };
    EXPECT_EQ(serialFailure(bytesOf({0x00})).error(), Failure::invalidSerial);
    EXPECT_EQ(serialFailure(bytesOf({0x00, 0x00, 0x00})).error(), Failure::invalidSerial);
    EXPECT_EQ(serialFailure(bytesOf({0x80})).error(), Failure::invalidSerial);
    EXPECT_EQ(serialFailure(Bytes()).error(), Failure::invalidSerial);
    EXPECT_EQ(serialFailure(filled(21, 0x01)).error(), Failure::invalidSerial);
    EXPECT_TRUE(serialFailure(filled(20, 0x01)).has_value());
    auto one = serialFailure(bytesOf({0x01}));
    ASSERT_TRUE(one.has_value());
    EXPECT_TRUE(startsWith(*one, bytesOf({0x30, 0x81, 0xaf, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01, 0x30})));
}

TEST(TBSCertificate, WritesSerialsAsMinimalIntegers) {
    const Bytes key = samplePoint();
    auto serialElement = [&](const Bytes& serial) {
        auto tbs = SelfSignedCertificate::tbsCertificate(viewOf(key), "n", viewOf(serial), notBefore, notAfter);
        EXPECT_TRUE(tbs.has_value());
        const std::size_t length = (*tbs)[9];
        return Bytes(tbs->begin() + 8, tbs->begin() + 10 + static_cast<std::ptrdiff_t>(length));
    };
    EXPECT_EQ(serialElement(bytesOf({0x00, 0x01})), bytesOf({0x02, 0x01, 0x01}));
    EXPECT_EQ(serialElement(bytesOf({0x00, 0x00, 0x7f, 0x00})), bytesOf({0x02, 0x02, 0x7f, 0x00}));
    // The zero byte in front of 0x80 is what keeps the value positive.
    EXPECT_EQ(serialElement(bytesOf({0x00, 0x80})), bytesOf({0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(serialElement(bytesOf({0x00, 0x00, 0x80})), bytesOf({0x02, 0x02, 0x00, 0x80}));
}

TEST(Certificate, EncodesLengthsInShortAndLongForm) {
    // The signature's BIT STRING holds one pad byte plus the signature.
    auto bitStringHead = [](std::size_t signatureLength) {
        const Bytes certificate = SelfSignedCertificate::certificate(ByteView(), viewOf(Bytes(signatureLength, 0x01)));
        const std::size_t at = certificate[1] < 0x80 ? 2 : 2 + (certificate[1] - 0x80);
        return Bytes(certificate.begin() + static_cast<std::ptrdiff_t>(at + 12),
                     certificate.begin() + static_cast<std::ptrdiff_t>(at + 12 + 4));
    };
    EXPECT_EQ(bitStringHead(126), bytesOf({0x03, 0x7f, 0x00, 0x01}));
    EXPECT_EQ(bitStringHead(127), bytesOf({0x03, 0x81, 0x80, 0x00}));
    EXPECT_EQ(bitStringHead(255), bytesOf({0x03, 0x82, 0x01, 0x00}));
    const Bytes big = SelfSignedCertificate::certificate(ByteView(), viewOf(Bytes(70000, 0x01)));
    EXPECT_TRUE(startsWith(big, bytesOf({0x30, 0x83, 0x01, 0x11, 0x82})));
}

TEST(Certificate, HasTheSizeOfTheProfileForRealSignatureLengths) {
    const Bytes key = samplePoint();
    auto tbs = SelfSignedCertificate::tbsCertificate(viewOf(key), "QuillmereMac", viewOf(serial16()), notBefore, notAfter);
    ASSERT_TRUE(tbs.has_value());
    for (std::size_t length : {70u, 71u, 72u}) {
        const Bytes certificate = SelfSignedCertificate::certificate(viewOf(*tbs), viewOf(Bytes(length, 0x30)));
        EXPECT_EQ(certificate.size(), 234 + length);
        EXPECT_TRUE(startsWith(certificate, bytesOf({0x30, 0x82, 0x01, static_cast<int>(0x2c + length - 70)})));
        EXPECT_TRUE(std::equal(tbs->begin(), tbs->end(), certificate.begin() + 4));
    }
}

TEST(Certificate, IsAcceptedAndVerifiedByOpenSSL) {
    const Built built = buildReal(serial16());
    X509Ptr certificate = parse(built.certificate);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(X509_get_version(certificate.get()), X509_VERSION_3);
    EXPECT_EQ(X509_verify(certificate.get(), built.key.get()), 1);
    EXPECT_EQ(X509_check_issued(certificate.get(), certificate.get()), X509_V_OK);

    // A chain of one: the certificate as its own trust anchor, dates included.
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, certificate.get());
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, certificate.get(), nullptr);
    EXPECT_EQ(X509_verify_cert(context), 1) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);

    char commonName[65] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, commonName, sizeof commonName);
    EXPECT_STREQ(commonName, "QuillmereMac");
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate.get()), X509_get_issuer_name(certificate.get())), 0);
}

TEST(Certificate, KeyInfoIsTheSameInsideAndAloneAndHashesToTheFingerprint) {
    const Built built = buildReal(serial16());
    auto alone = SelfSignedCertificate::subjectPublicKeyInfo(viewOf(built.point));
    ASSERT_TRUE(alone.has_value());
    EXPECT_TRUE(contains(built.certificate, *alone));

    X509Ptr certificate = parse(built.certificate);
    ASSERT_TRUE(certificate);
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(certificate.get()), &der);
    ASSERT_GT(length, 0);
    Bytes openSSLInfo(der, der + length);
    OPENSSL_free(der);
    EXPECT_EQ(openSSLInfo, *alone);

    unsigned char ours[32];
    unsigned char theirs[32];
    SHA256(alone->data(), alone->size(), ours);
    SHA256(openSSLInfo.data(), openSSLInfo.size(), theirs);
    EXPECT_TRUE(std::equal(ours, ours + 32, theirs));
}

TEST(Certificate, SerialWithRedundantZeroStillParsesWithItsValue) {
    const Built built = buildReal(bytesOf({0x00, 0x01}));
    X509Ptr certificate = parse(built.certificate);
    ASSERT_TRUE(certificate);
    BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate.get()), nullptr);
    EXPECT_TRUE(BN_is_one(serial));
    BN_free(serial);
    EXPECT_EQ(X509_verify(certificate.get(), built.key.get()), 1);
}

} // namespace
} // namespace quillmere

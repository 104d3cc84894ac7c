// The transport's TLS library must take the stored identity as it is.

#include "QuillmereTransport/Identity/IdentityStore.h"
#include "TestSupport/TemporaryFolder.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <gtest/gtest.h>

namespace quillmere {
namespace {

gnutls_datum_t datumOf(const Bytes& bytes) {
    return gnutls_datum_t{const_cast<unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size())};
}

gnutls_datum_t datumOf(const std::string& text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                          static_cast<unsigned int>(text.size())};
}

class IdentityGnuTLSTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto created = IdentityStore(Keychain(folder.path())).loadOrCreate("gnutls", "QuillmereMac");
        ASSERT_TRUE(created.has_value()) << created.error().description();
        identity.emplace(std::move(*created));
        ASSERT_EQ(gnutls_certificate_allocate_credentials(&credentials), GNUTLS_E_SUCCESS);
    }
    void TearDown() override { gnutls_certificate_free_credentials(credentials); }

    testing::TemporaryFolder folder;
    std::optional<LocalIdentity> identity;
    gnutls_certificate_credentials_t credentials = nullptr;
};

TEST_F(IdentityGnuTLSTest, LoadsTheKeyAndCertificatePairAsDER) {
    const Bytes certificate = identity->secIdentity.certificateDER();
    const Bytes key = *identity->secIdentity.privateKeyDER();
    const gnutls_datum_t certificateDatum = datumOf(certificate);
    const gnutls_datum_t keyDatum = datumOf(key);
    const int result =
        gnutls_certificate_set_x509_key_mem2(credentials, &certificateDatum, &keyDatum, GNUTLS_X509_FMT_DER, nullptr, 0);
    EXPECT_GE(result, 0) << gnutls_strerror(result);
}

TEST_F(IdentityGnuTLSTest, LoadsTheKeyAndCertificatePairAsPEM) {
    const std::string certificate = identity->secIdentity.certificatePEM();
    const std::string key = *identity->secIdentity.privateKeyPEM();
    const gnutls_datum_t certificateDatum = datumOf(certificate);
    const gnutls_datum_t keyDatum = datumOf(key);
    const int result =
        gnutls_certificate_set_x509_key_mem2(credentials, &certificateDatum, &keyDatum, GNUTLS_X509_FMT_PEM, nullptr, 0);
    EXPECT_GE(result, 0) << gnutls_strerror(result);
}

TEST_F(IdentityGnuTLSTest, RefusesTheCertificateWithAnotherKey) {
    // Shows that the pair check above is a real one.
    auto other = IdentityStore(Keychain(folder.path())).create("other", "QuillmereMac");
    ASSERT_TRUE(other.has_value());
    const Bytes certificate = identity->secIdentity.certificateDER();
    const Bytes key = *other->secIdentity.privateKeyDER();
    const gnutls_datum_t certificateDatum = datumOf(certificate);
    const gnutls_datum_t keyDatum = datumOf(key);
    EXPECT_LT(gnutls_certificate_set_x509_key_mem2(credentials, &certificateDatum, &keyDatum, GNUTLS_X509_FMT_DER,
                                                   nullptr, 0),
              0);
}

TEST_F(IdentityGnuTLSTest, CertificateVerifiesAgainstItselfAndTheKeySignsForIt) {
    gnutls_x509_crt_t certificate = nullptr;
    ASSERT_EQ(gnutls_x509_crt_init(&certificate), GNUTLS_E_SUCCESS);
    const Bytes der = identity->secIdentity.certificateDER();
    const gnutls_datum_t certificateDatum = datumOf(der);
    ASSERT_EQ(gnutls_x509_crt_import(certificate, &certificateDatum, GNUTLS_X509_FMT_DER), GNUTLS_E_SUCCESS);
    unsigned int status = 1;
    ASSERT_EQ(gnutls_x509_crt_verify(certificate, &certificate, 1, 0, &status), GNUTLS_E_SUCCESS);
    EXPECT_EQ(status, 0u);

    gnutls_privkey_t key = nullptr;
    ASSERT_EQ(gnutls_privkey_init(&key), GNUTLS_E_SUCCESS);
    const Bytes keyDER = *identity->secIdentity.privateKeyDER();
    const gnutls_datum_t keyDatum = datumOf(keyDER);
    ASSERT_EQ(gnutls_privkey_import_x509_raw(key, &keyDatum, GNUTLS_X509_FMT_DER, nullptr, 0), GNUTLS_E_SUCCESS);
    const std::string message = "handshake transcript";
    const gnutls_datum_t data = datumOf(message);
    gnutls_datum_t signature{};
    ASSERT_EQ(gnutls_privkey_sign_data2(key, GNUTLS_SIGN_ECDSA_SHA256, 0, &data, &signature), GNUTLS_E_SUCCESS);

    gnutls_pubkey_t publicKey = nullptr;
    ASSERT_EQ(gnutls_pubkey_init(&publicKey), GNUTLS_E_SUCCESS);
    ASSERT_EQ(gnutls_pubkey_import_x509(publicKey, certificate, 0), GNUTLS_E_SUCCESS);
    EXPECT_GE(gnutls_pubkey_verify_data2(publicKey, GNUTLS_SIGN_ECDSA_SHA256, 0, &data, &signature), 0);

    gnutls_free(signature.data);
    gnutls_pubkey_deinit(publicKey);
    gnutls_privkey_deinit(key);
    gnutls_x509_crt_deinit(certificate);
}

} // namespace
} // namespace quillmere

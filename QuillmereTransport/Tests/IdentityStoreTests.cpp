#include "Platform/Crypto/Crypto.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <unistd.h>

namespace quillmere {
namespace {

const std::string label = IdentityStore::hostLabel("test");

class IdentityStoreTest : public ::testing::Test {
protected:
    testing::TemporaryFolder folder;
    Keychain keychain{folder.path() / "keychain"};
    IdentityStore store{keychain};

    std::size_t count(const KeychainQuery& query) const {
        auto items = keychain.copyAll(query);
        return items ? items->size() : 0;
    }
    std::size_t keysOf(const std::string& of) const {
        KeychainQuery query;
        query.itemClass = KeychainItemClass::key;
        query.applicationTag = Bytes(of.begin(), of.end());
        return count(query);
    }
    std::size_t certificatesOf(const std::string& of) const {
        KeychainQuery query;
        query.itemClass = KeychainItemClass::certificate;
        query.label = of;
        return count(query);
    }
    std::size_t certificateBytesOf(const std::string& of) const {
        KeychainQuery query;
        query.service = std::string(IdentityStore::certificateService);
        query.account = of;
        return count(query);
    }
    void deleteKeysOf(const std::string& of) const {
        KeychainQuery query;
        query.itemClass = KeychainItemClass::key;
        query.applicationTag = Bytes(of.begin(), of.end());
        ASSERT_EQ(keychain.remove(query), KeychainStatus::success);
    }
};

TEST(IdentityLabel, AddsTheKeychainScopeWhenOneIsSet) {
    EXPECT_EQ(IdentityStore::hostLabel(std::nullopt), "com.ornbeck.quillmere.mac.identity");
    EXPECT_EQ(IdentityStore::hostLabel(""), "com.ornbeck.quillmere.mac.identity");
    EXPECT_EQ(IdentityStore::hostLabel("ci-7"), "com.ornbeck.quillmere.mac.identity.ci-7");
}

TEST(IdentitySerial, FirstByteIsAlwaysOddAndBelow0x80) {
    for (int first = 0; first < 256; ++first) {
        std::array<std::uint8_t, 16> random{};
        random.fill(0xEE);
        random[0] = static_cast<std::uint8_t>(first);
        const auto serial = IdentityStore::serialFrom(random);
        EXPECT_EQ(serial[0] & 0x01, 1) << first;
        EXPECT_LT(serial[0], 0x80) << first;
        EXPECT_EQ(serial[0] & 0x7E, first & 0x7E) << first;
        EXPECT_TRUE(std::equal(serial.begin() + 1, serial.end(), random.begin() + 1));
    }
}

TEST_F(IdentityStoreTest, LoadingANeverCreatedLabelFindsNothing) {
    auto loaded = store.load(label);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_FALSE(loaded->has_value());
}

TEST_F(IdentityStoreTest, LoadOrCreateCreatesOnceThenLoadsTheSameIdentity) {
    auto created = store.loadOrCreate(label, IdentityStore::hostCommonName);
    ASSERT_TRUE(created.has_value()) << created.error().description();
    EXPECT_EQ(created->label, label);
    EXPECT_EQ(Fingerprint::of(created->certificate), created->fingerprint);
    EXPECT_EQ(created->secIdentity.certificate(), created->certificate);

    // Another store over the same folder, as after a restart.
    auto loaded = IdentityStore(Keychain(folder.path() / "keychain")).loadOrCreate(label, "ignored");
    ASSERT_TRUE(loaded.has_value()) << loaded.error().description();
    EXPECT_EQ(loaded->fingerprint, created->fingerprint);
    EXPECT_EQ(loaded->certificate, created->certificate);
    EXPECT_EQ(loaded->secIdentity.privateKey().publicKey(), created->secIdentity.privateKey().publicKey());

    EXPECT_EQ(keysOf(label), 1u);
    EXPECT_EQ(certificatesOf(label), 1u);
    EXPECT_EQ(certificateBytesOf(label), 1u);
}

TEST_F(IdentityStoreTest, StoredCertificateIsSelfSignedAndFollowsTheProfile) {
    ASSERT_TRUE(store.create(label, IdentityStore::hostCommonName).has_value());
    KeychainQuery query;
    query.service = std::string(IdentityStore::certificateService);
    query.account = label;
    const Bytes der = keychain.copyFirst(query)->data;

    const unsigned char* cursor = der.data();
    X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(X509_verify(certificate, X509_get0_pubkey(certificate)), 1);

    char commonName[80] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, commonName, sizeof commonName);
    EXPECT_STREQ(commonName, "QuillmereMac");
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    ASSERT_EQ(ASN1_STRING_length(serial), 16);
    const std::uint8_t first = ASN1_STRING_get0_data(serial)[0];
    EXPECT_EQ(first & 0x01, 1);
    EXPECT_LT(first, 0x80);
    EXPECT_EQ(ASN1_TIME_cmp_time_t(X509_get0_notBefore(certificate), 1735689600), 0); // 2025-01-01
    EXPECT_EQ(ASN1_TIME_cmp_time_t(X509_get0_notAfter(certificate), 2524608000), 0);  // 2050-01-01

    unsigned char* keyInfo = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(certificate), &keyInfo);
    ASSERT_EQ(length, 91);
    EXPECT_EQ(Crypto::sha256(ByteView(keyInfo, 91)), Fingerprint::of(der));
    OPENSSL_free(keyInfo);
    X509_free(certificate);
}

TEST_F(IdentityStoreTest, KeyAndCertificateAreTheOnesThatBelongTogether) {
    auto identity = store.create(label, "pair");
    ASSERT_TRUE(identity.has_value());
    const Bytes message{1, 2, 3};
    auto signature = identity->secIdentity.privateKey().signSHA256(viewOf(message));
    ASSERT_TRUE(signature.has_value());
    auto certificateKey = P256PublicKey::fromX963(viewOf(*identity->certificate.p256PublicKey()));
    ASSERT_TRUE(certificateKey.has_value());
    EXPECT_TRUE(certificateKey->verifySHA256(viewOf(message), viewOf(*signature)));
}

TEST_F(IdentityStoreTest, TwoLabelsAreTwoIdentities) {
    auto first = store.create(label, "one");
    auto second = store.create(label + ".other", "two");
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_NE(first->fingerprint, second->fingerprint);
    EXPECT_EQ(store.load(label)->value().fingerprint, first->fingerprint);
    EXPECT_EQ(store.load(label + ".other")->value().fingerprint, second->fingerprint);
}

TEST_F(IdentityStoreTest, CertificateWithoutItsKeyIsAnIdentityError) {
    ASSERT_TRUE(store.create(label, "n").has_value());
    deleteKeysOf(label);
    auto loaded = store.load(label);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error(), IdentityError::identity(KeychainStatus::itemNotFound));
    EXPECT_EQ(store.loadOrCreate(label, "n").error(), IdentityError::identity(KeychainStatus::itemNotFound));
    // What to set aside is the certificate's record: without its key it is of no use.
    KeychainItem record;
    record.service = std::string(IdentityStore::certificateService);
    record.account = label;
    EXPECT_EQ(loaded.error().file(), keychain.fileOf(record));
    EXPECT_TRUE(loaded.error().message().ends_with("belongs to the certificate in " + keychain.fileOf(record).string()))
        << loaded.error().message();
}

TEST_F(IdentityStoreTest, UnreadableCertificateBytesAreACertificateError) {
    KeychainItem bytes;
    bytes.service = std::string(IdentityStore::certificateService);
    bytes.account = label;
    bytes.data = Bytes{0x30, 0x03, 0x02, 0x01, 0x01};
    ASSERT_EQ(keychain.add(bytes), KeychainStatus::success);
    EXPECT_EQ(store.load(label).error(), IdentityError::certificate());
}

TEST_F(IdentityStoreTest, InvalidCommonNameIsACertificateError) {
    EXPECT_EQ(store.create(label, "").error(), IdentityError::certificate());
    EXPECT_EQ(store.create(label, std::string(65, 'x')).error(), IdentityError::certificate());
}

TEST_F(IdentityStoreTest, KeychainThatCannotBeReadIsAKeychainError) {
    std::filesystem::create_directories(folder.path());
    std::ofstream(folder.path() / "keychain") << "not a folder";
    EXPECT_EQ(store.load(label).error(), IdentityError::keychain(KeychainStatus::io));
    const auto created = store.create(label, "n");
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().kind(), IdentityError::Kind::keyGeneration);
    EXPECT_EQ(created.error().text(), (folder.path() / "keychain").string() + " is not a folder");
}

TEST_F(IdentityStoreTest, CreatingOverAnExistingIdentityAddsKeyAndCertificateThenFails) {
    auto first = store.create(label, "n");
    ASSERT_TRUE(first.has_value());
    auto second = store.create(label, "n");
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error(), IdentityError::keychain(KeychainStatus::duplicateItem));
    EXPECT_EQ(keysOf(label), 2u);
    EXPECT_EQ(certificatesOf(label), 2u);
    // The index still names the first identity.
    EXPECT_EQ(store.load(label)->value().fingerprint, first->fingerprint);
}

// Removal finds certificates by the label creation stored them under, so
// nothing of the label survives: not the leftovers of a failed creation,
// not the certificate of an identity whose key is gone.
TEST_F(IdentityStoreTest, ProcessesMakingTheIdentityAtOnceEndWithOne) {
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    constexpr int starters = 6;
    std::vector<testing::ChildProcess> children;
    for (int i = 0; i < starters; ++i) {
        children.push_back(testing::ChildProcess::fork([&, i] {
            ::close(gate[1]);
            char go = 0;
            if (::read(gate[0], &go, 1) < 0) return 3;
            auto identity = store.loadOrCreate(label, "n");
            if (!identity) return 2;
            std::ofstream(folder.path() / ("fingerprint-" + std::to_string(i))) << identity->fingerprint.description();
            return 0;
        }));
    }
    ::close(gate[0]);
    ::close(gate[1]); // every child's read returns at once
    for (auto& child : children) ASSERT_EQ(child.wait(), 0);
    const std::string loaded = store.load(label)->value().fingerprint.description();
    for (int i = 0; i < starters; ++i) {
        std::ifstream in(folder.path() / ("fingerprint-" + std::to_string(i)));
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), loaded) << "starter " << i;
    }
    // No key or certificate of a losing start is left behind.
    KeychainQuery keys;
    keys.itemClass = KeychainItemClass::key;
    KeychainQuery certificates;
    certificates.itemClass = KeychainItemClass::certificate;
    EXPECT_EQ(keychain.copyAll(keys)->size(), 1u);
    EXPECT_EQ(keychain.copyAll(certificates)->size(), 1u);
}

TEST_F(IdentityStoreTest, RemoveLeavesNoItemOfTheLabel) {
    ASSERT_TRUE(store.create(label, "n").has_value());
    ASSERT_FALSE(store.create(label, "n").has_value()); // leaves a second key and certificate
    ASSERT_TRUE(store.create("kept", "n").has_value());
    store.remove(label);
    EXPECT_EQ(keysOf(label), 0u);
    EXPECT_EQ(certificatesOf(label), 0u);
    EXPECT_EQ(certificateBytesOf(label), 0u);
    EXPECT_FALSE(store.load(label)->has_value());
    // Other labels are untouched.
    EXPECT_TRUE(store.load("kept")->has_value());
    EXPECT_EQ(keysOf("kept"), 1u);
    EXPECT_EQ(certificatesOf("kept"), 1u);
}

TEST_F(IdentityStoreTest, RemoveClearsAnIdentityThatNoLongerLoads) {
    ASSERT_TRUE(store.create(label, "n").has_value());
    deleteKeysOf(label);
    ASSERT_FALSE(store.load(label).has_value());
    store.remove(label);
    EXPECT_EQ(certificatesOf(label), 0u);
    EXPECT_EQ(certificateBytesOf(label), 0u);
    auto fresh = store.loadOrCreate(label, "n");
    EXPECT_TRUE(fresh.has_value());
}

TEST_F(IdentityStoreTest, RemoveOfNothingIsHarmless) {
    store.remove(label);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "keychain"));
}

TEST(IdentityErrorText, NamesTheCaseAndItsValue) {
    EXPECT_EQ(IdentityError::keyGeneration("random").description(), "keyGeneration(\"random\")");
    EXPECT_EQ(IdentityError::signing("unknown").description(), "signing(\"unknown\")");
    EXPECT_EQ(IdentityError::keychain(-25299).description(), "keychain(-25299)");
    EXPECT_EQ(IdentityError::identity(-25300).description(), "identity(-25300)");
    EXPECT_EQ(IdentityError::certificate().description(), "certificate");
    EXPECT_NE(IdentityError::keychain(1), IdentityError::identity(1));
    EXPECT_NE(IdentityError::keychain(1), IdentityError::keychain(2));
}

} // namespace
} // namespace quillmere

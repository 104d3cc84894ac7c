#include "QuillmereTransport/Identity/IdentityStore.h"

#include "Platform/Crypto/Crypto.h"
#include "Platform/Crypto/P256PrivateKey.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereWire/SelfSignedCertificate.h"

namespace quillmere {

namespace {

Bytes utf8Of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// What finds a key from its certificate, whatever label either carries.
Bytes applicationLabelOf(const P256PublicKey& key) { return Crypto::sha256(viewOf(key.x963())).toBytes(); }

KeychainQuery certificateBytesQuery(const std::string& label) {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(IdentityStore::certificateService);
    query.account = label;
    return query;
}

} // namespace

std::string IdentityStore::hostLabel(std::optional<std::string_view> scope) {
    std::string label(hostIdentityLabel);
    if (scope && !scope->empty()) label.append(".").append(*scope);
    return label;
}

std::array<std::uint8_t, 16> IdentityStore::serialFrom(std::array<std::uint8_t, 16> random) {
    random[0] = static_cast<std::uint8_t>((random[0] & 0x7E) | 0x01);
    return random;
}

std::expected<LocalIdentity, IdentityError> IdentityStore::identityFrom(Certificate certificate,
                                                                        const std::string& label) const {
    const auto fingerprint = Fingerprint::of(certificate);
    const auto point = certificate.p256PublicKey();
    if (!fingerprint || !point) return std::unexpected(IdentityError::certificate());
    const auto publicKey = P256PublicKey::fromX963(viewOf(*point));
    if (!publicKey) return std::unexpected(IdentityError::certificate());

    KeychainQuery keyQuery;
    keyQuery.itemClass = KeychainItemClass::key;
    keyQuery.applicationLabel = applicationLabelOf(*publicKey);
    auto keyItem = keychain_.copyFirst(keyQuery);
    if (!keyItem) {
        if (keyItem.error() != KeychainStatus::itemNotFound)
            return std::unexpected(IdentityError::identity(keyItem.error()));
        // Without its key the certificate is of no use: that record is the one to set aside.
        KeychainItem bytes;
        bytes.service = std::string(certificateService);
        bytes.account = label;
        const auto record = keychain_.fileOf(bytes);
        return std::unexpected(IdentityError::identity(
            KeychainStatus::itemNotFound,
            "no key in " + keychain_.root().string() + " belongs to the certificate in " + record.string(), record));
    }
    auto privateKey = P256PrivateKey::fromDER(viewOf(keyItem->data));
    // A stored key that does not belong to the certificate is no match.
    if (!privateKey || !(privateKey->publicKey() == *publicKey))
        return std::unexpected(IdentityError::identity(
            KeychainStatus::itemNotFound, keychain_.fileOf(*keyItem).string() + " holds no key of its certificate"));

    TLSIdentity tls(certificate, std::move(*privateKey));
    return LocalIdentity{std::move(tls), std::move(certificate), *fingerprint, label};
}

std::expected<std::optional<LocalIdentity>, IdentityError> IdentityStore::load(const std::string& label) const {
    auto item = keychain_.copyFirst(certificateBytesQuery(label));
    if (!item) {
        if (item.error() == KeychainStatus::itemNotFound) return std::optional<LocalIdentity>();
        return std::unexpected(IdentityError::keychain(item.error()));
    }
    auto certificate = Certificate::fromDER(viewOf(item->data));
    if (!certificate)
        return std::unexpected(
            IdentityError::certificate(keychain_.fileOf(*item).string() + " holds no certificate that can be read"));
    auto identity = identityFrom(std::move(*certificate), label);
    if (!identity) return std::unexpected(identity.error());
    return std::optional<LocalIdentity>(std::move(*identity));
}

std::expected<LocalIdentity, IdentityError> IdentityStore::create(const std::string& label,
                                                                  std::string_view commonName) const {
    auto privateKey = P256PrivateKey::generate();
    if (!privateKey) return std::unexpected(IdentityError::keyGeneration(privateKey.error().description));
    auto keyDER = privateKey->pkcs8DER();
    if (!keyDER) return std::unexpected(IdentityError::keyGeneration(keyDER.error().description));

    KeychainItem keyItem;
    keyItem.itemClass = KeychainItemClass::key;
    keyItem.label = label;
    keyItem.applicationTag = utf8Of(label);
    keyItem.applicationLabel = applicationLabelOf(privateKey->publicKey());
    keyItem.data = std::move(*keyDER);
    if (const auto status = keychain_.add(keyItem); !status.succeeded())
        return std::unexpected(IdentityError::keyGeneration(status.description()));

    const Bytes& point = privateKey->publicKey().x963();
    if (point.size() != SelfSignedCertificate::publicKeyLength)
        return std::unexpected(IdentityError::keyGeneration("public key"));

    auto random = Crypto::randomBytes(16);
    if (!random || random->size() != 16) return std::unexpected(IdentityError::keyGeneration("random"));
    std::array<std::uint8_t, 16> randomSerial{};
    std::copy(random->begin(), random->end(), randomSerial.begin());
    const auto serial = serialFrom(randomSerial);

    auto tbs = SelfSignedCertificate::tbsCertificate(viewOf(point), commonName, ByteView(serial), notBefore, notAfter);
    if (!tbs) return std::unexpected(IdentityError::certificate());
    auto signature = privateKey->signSHA256(viewOf(*tbs));
    if (!signature) return std::unexpected(IdentityError::signing(signature.error().description));
    auto certificate = Certificate::fromDER(viewOf(SelfSignedCertificate::certificate(viewOf(*tbs), viewOf(*signature))));
    if (!certificate) return std::unexpected(IdentityError::certificate());

    KeychainItem certificateItem;
    certificateItem.itemClass = KeychainItemClass::certificate;
    certificateItem.label = label;
    certificateItem.data = certificate->der();
    if (const auto status = keychain_.add(certificateItem);
        !status.succeeded() && status != KeychainStatus::duplicateItem)
        return std::unexpected(IdentityError::keychain(status));

    KeychainItem bytesItem;
    bytesItem.itemClass = KeychainItemClass::genericPassword;
    bytesItem.service = std::string(certificateService);
    bytesItem.account = label;
    bytesItem.data = certificate->der();
    if (const auto status = keychain_.add(bytesItem); !status.succeeded())
        return std::unexpected(IdentityError::keychain(status));

    return identityFrom(std::move(*certificate), label);
}

std::expected<LocalIdentity, IdentityError> IdentityStore::loadOrCreate(const std::string& label,
                                                                        std::string_view commonName,
                                                                        const std::function<void()>& creating) const {
    // Records are replaced whole, so one found is complete: only making one
    // needs the lock, and a start does not wait on a host that holds it.
    auto found = load(label);
    if (!found) return std::unexpected(found.error());
    if (*found) return std::move(**found);
    // Two processes starting at once make one identity: the second waits,
    // then finds the first one's.
    std::optional<std::expected<LocalIdentity, IdentityError>> result;
    const auto locked = keychain_.exclusively([&](const Keychain& held) {
        const IdentityStore store(held);
        auto loaded = store.load(label);
        if (!loaded) {
            result = std::unexpected(loaded.error());
        } else if (*loaded) {
            result = std::move(**loaded);
        } else {
            if (creating) creating();
            result = store.create(label, commonName);
        }
    });
    if (!locked.succeeded()) return std::unexpected(IdentityError::keychain(locked));
    return std::move(*result);
}

void IdentityStore::remove(const std::string& label) const {
    // Certificates are found by the label they were stored under, not through
    // a loadable identity: leftovers of a failed creation, or an identity
    // whose key is gone, are removed too.
    KeychainQuery certificates;
    certificates.itemClass = KeychainItemClass::certificate;
    certificates.label = label;
    keychain_.remove(certificates);

    keychain_.remove(certificateBytesQuery(label));

    KeychainQuery keys;
    keys.itemClass = KeychainItemClass::key;
    keys.applicationTag = utf8Of(label);
    keychain_.remove(keys);
}

} // namespace quillmere

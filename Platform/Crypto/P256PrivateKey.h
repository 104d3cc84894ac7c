#pragma once

#include "Platform/Crypto/CryptoError.h"
#include "Platform/Crypto/P256PublicKey.h"
#include "QuillmereBase/Bytes.h"

#include <expected>
#include <memory>
#include <string>

struct evp_pkey_st;

namespace quillmere {

// A P-256 key pair. Copies share the key.
class P256PrivateKey {
public:
    static std::expected<P256PrivateKey, CryptoError> generate();
    // Unencrypted PKCS#8 PrivateKeyInfo (SEC1 ECPrivateKey is read too);
    // refuses keys on other curves and input with bytes after the key.
    static std::expected<P256PrivateKey, CryptoError> fromDER(ByteView der);

    const P256PublicKey& publicKey() const { return publicKey_; }

    // Unencrypted PKCS#8 PrivateKeyInfo, as DER and as "PRIVATE KEY" PEM: the
    // forms TLS libraries load beside a certificate.
    std::expected<Bytes, CryptoError> pkcs8DER() const;
    std::expected<std::string, CryptoError> pkcs8PEM() const;

    // ECDSA over SHA-256 of message; X9.62 DER ECDSA-Sig-Value.
    std::expected<Bytes, CryptoError> signSHA256(ByteView message) const;

private:
    P256PrivateKey(std::shared_ptr<evp_pkey_st> key, P256PublicKey publicKey)
        : key_(std::move(key)), publicKey_(std::move(publicKey)) {}
    static std::expected<P256PrivateKey, CryptoError> adopt(evp_pkey_st* key);

    std::shared_ptr<evp_pkey_st> key_;
    P256PublicKey publicKey_;
};

} // namespace quillmere

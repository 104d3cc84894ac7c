#pragma once

#include "Platform/Crypto/Certificate.h"
#include "Platform/Crypto/CryptoError.h"
#include "Platform/Crypto/P256PrivateKey.h"

#include <expected>
#include <string>

namespace quillmere {

// A certificate with its private key: what TLS presents as the local
// identity. Both export in the forms TLS libraries load as a pair.
class TLSIdentity {
public:
    TLSIdentity(Certificate certificate, P256PrivateKey privateKey)
        : certificate_(std::move(certificate)), privateKey_(std::move(privateKey)) {}

    const Certificate& certificate() const { return certificate_; }
    const P256PrivateKey& privateKey() const { return privateKey_; }

    const Bytes& certificateDER() const { return certificate_.der(); }
    std::string certificatePEM() const { return certificate_.pem(); }
    // Unencrypted PKCS#8.
    std::expected<Bytes, CryptoError> privateKeyDER() const { return privateKey_.pkcs8DER(); }
    std::expected<std::string, CryptoError> privateKeyPEM() const { return privateKey_.pkcs8PEM(); }

private:
    Certificate certificate_;
    P256PrivateKey privateKey_;
};

} // namespace quillmere

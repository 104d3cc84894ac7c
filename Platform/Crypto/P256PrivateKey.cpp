#include "Platform/Crypto/P256PrivateKey.h"

#include "Platform/Crypto/OpenSSLHandles.h"

#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>

namespace quillmere {

namespace {

bool isP256(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC") != 1) return false;
    std::array<char, 64> group{};
    std::size_t length = 0;
    return EVP_PKEY_get_group_name(key, group.data(), group.size(), &length) == 1 &&
           std::strcmp(group.data(), "prime256v1") == 0;
}

std::expected<Bytes, CryptoError> encode(EVP_PKEY* key, const char* format) {
    OSSL_ENCODER_CTX* context =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_KEYPAIR, format, "PrivateKeyInfo", nullptr);
    unsigned char* data = nullptr;
    std::size_t length = 0;
    const bool encoded = context != nullptr && OSSL_ENCODER_CTX_get_num_encoders(context) > 0 &&
                         OSSL_ENCODER_to_data(context, &data, &length) == 1;
    OSSL_ENCODER_CTX_free(context);
    if (!encoded) return std::unexpected(CryptoError::fromOpenSSL("key encoding"));
    Bytes out(data, data + length);
    OPENSSL_clear_free(data, length);
    return out;
}

} // namespace

std::expected<P256PrivateKey, CryptoError> P256PrivateKey::adopt(EVP_PKEY* raw) {
    auto key = openssl::sharedKey(raw);
    if (!isP256(raw)) return std::unexpected(CryptoError{"not a P-256 key"});
    // Points always leave this layer uncompressed, whatever form the key came in.
    EVP_PKEY_set_utf8_string_param(raw, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
    std::array<std::uint8_t, P256PublicKey::x963Length> point{};
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(raw, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                        &length) != 1 ||
        length != point.size())
        return std::unexpected(CryptoError::fromOpenSSL("public key"));
    auto publicKey = P256PublicKey::fromX963(ByteView(point.data(), length));
    if (!publicKey) return std::unexpected(publicKey.error());
    return P256PrivateKey(std::move(key), std::move(*publicKey));
}

std::expected<P256PrivateKey, CryptoError> P256PrivateKey::generate() {
    EVP_PKEY* raw = EVP_EC_gen("P-256");
    if (raw == nullptr) return std::unexpected(CryptoError::fromOpenSSL("key generation"));
    return adopt(raw);
}

std::expected<P256PrivateKey, CryptoError> P256PrivateKey::fromDER(ByteView der) {
    const unsigned char* cursor = der.data();
    EVP_PKEY* raw = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size()));
    if (raw == nullptr) return std::unexpected(CryptoError::fromOpenSSL("not a private key"));
    if (cursor != der.data() + der.size()) {
        EVP_PKEY_free(raw);
        return std::unexpected(CryptoError{"bytes after the private key"});
    }
    openssl::PKeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr));
    if (!check || EVP_PKEY_check(check.get()) != 1) {
        EVP_PKEY_free(raw);
        return std::unexpected(CryptoError::fromOpenSSL("inconsistent private key"));
    }
    return adopt(raw);
}

std::expected<Bytes, CryptoError> P256PrivateKey::pkcs8DER() const { return encode(key_.get(), "DER"); }

std::expected<std::string, CryptoError> P256PrivateKey::pkcs8PEM() const {
    auto pem = encode(key_.get(), "PEM");
    if (!pem) return std::unexpected(pem.error());
    std::string text(pem->begin(), pem->end());
    OPENSSL_cleanse(pem->data(), pem->size());
    return text;
}

std::expected<Bytes, CryptoError> P256PrivateKey::signSHA256(ByteView message) const {
    openssl::MDCtx context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1)
        return std::unexpected(CryptoError::fromOpenSSL("signing"));
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()) != 1)
        return std::unexpected(CryptoError::fromOpenSSL("signing"));
    signature.resize(length);
    return signature;
}

} // namespace quillmere

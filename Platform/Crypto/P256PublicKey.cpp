#include "Platform/Crypto/P256PublicKey.h"

#include "Platform/Crypto/OpenSSLHandles.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include <array>

namespace quillmere {

std::expected<P256PublicKey, CryptoError> P256PublicKey::fromX963(ByteView point) {
    if (point.size() != x963Length || point[0] != 0x04)
        return std::unexpected(CryptoError{"not an uncompressed P-256 point"});
    openssl::PKeyCtx context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return std::unexpected(CryptoError::fromOpenSSL("EC"));

    std::array<char, 11> group{"prime256v1"};
    Bytes copy(point.begin(), point.end());
    std::array<OSSL_PARAM, 3> params{
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group.data(), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.data()) != 1 || raw == nullptr)
        return std::unexpected(CryptoError::fromOpenSSL("not a P-256 point"));
    auto key = openssl::sharedKey(raw);

    openssl::PKeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1)
        return std::unexpected(CryptoError::fromOpenSSL("not a P-256 point"));
    return P256PublicKey(std::move(key), std::move(copy));
}

bool P256PublicKey::verifySHA256(ByteView message, ByteView signature) const {
    openssl::MDCtx context(EVP_MD_CTX_new());
    const bool valid = context &&
                       EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) == 1 &&
                       EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(),
                                        message.size()) == 1;
    ERR_clear_error();
    return valid;
}

} // namespace quillmere

#pragma once

// Certificates made with OpenSSL's own X.509 code, for checking ours against.

#include "QuillmereBase/Bytes.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace quillmere::testing {

struct PKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

inline PKey ecKey(const char* curve) { return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)); }
inline PKey rsaKey() { return PKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048))); }

inline PKey compressedP256Key() {
    PKey key = ecKey("P-256");
    EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "compressed");
    return key;
}

inline Bytes derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

// A self-signed certificate over key, signed with SHA-256.
inline Bytes selfSigned(EVP_PKEY* key, const std::string& commonName = "test") {
    X509* certificate = X509_new();
    X509_set_version(certificate, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 7);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    Bytes der = derOf(certificate);
    X509_free(certificate);
    return der;
}

inline Bytes encodedPublicKey(EVP_PKEY* key) {
    Bytes point(200);
    std::size_t length = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(), &length);
    point.resize(length);
    return point;
}

inline Bytes pkcs8Of(EVP_PKEY* key) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    Bytes out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    PKCS8_PRIV_KEY_INFO_free(info);
    return out;
}

} // namespace quillmere::testing

#pragma once

// Owning handles for the OpenSSL objects this layer keeps; private to it.

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace quillmere::openssl {

// OpenSSL's own exit handler frees its state and stops freeing each
// thread's: a thread that ends after it (a pool's, joined or detached at
// exit) would leave its random generators behind. The state goes with the
// process instead. Set before main, ahead of any other call into OpenSSL.
inline const bool stateKeptToExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

struct PKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PKeyCtxFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct MDCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;
using MDCtx = std::unique_ptr<EVP_MD_CTX, MDCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Keys are shared between copies of a value: OpenSSL keys are read-only
// once made, and signing through separate contexts is thread-safe.
inline std::shared_ptr<EVP_PKEY> sharedKey(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, PKeyFree{}); }

} // namespace quillmere::openssl

#include "Platform/Quic/TlsCredentials.h"

#include <gnutls/gnutls.h>

namespace quillmere {

std::expected<std::shared_ptr<TlsCredentials>, QuicError> TlsCredentials::make(const Bytes& certificateDER,
                                                                               const Bytes& privateKeyDER) {
    gnutls_certificate_credentials_t handle = nullptr;
    int result = gnutls_certificate_allocate_credentials(&handle);
    if (result != GNUTLS_E_SUCCESS) return std::unexpected(QuicError::tls(gnutls_strerror(result)));
    auto credentials = std::shared_ptr<TlsCredentials>(new TlsCredentials(handle));
    if (certificateDER.empty()) return credentials;
    const gnutls_datum_t certificate{const_cast<unsigned char*>(certificateDER.data()),
                                     static_cast<unsigned int>(certificateDER.size())};
    const gnutls_datum_t key{const_cast<unsigned char*>(privateKeyDER.data()),
                             static_cast<unsigned int>(privateKeyDER.size())};
    result = gnutls_certificate_set_x509_key_mem2(handle, &certificate, &key, GNUTLS_X509_FMT_DER, nullptr, 0);
    if (result < 0) {
        return std::unexpected(QuicError::tls(std::string("loading the local identity: ") + gnutls_strerror(result)));
    }
    return credentials;
}

TlsCredentials::~TlsCredentials() { gnutls_certificate_free_credentials(handle_); }

} // namespace quillmere

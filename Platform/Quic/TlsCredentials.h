#pragma once

#include "Platform/Quic/QuicError.h"
#include "QuillmereBase/Bytes.h"

#include <expected>
#include <memory>

struct gnutls_certificate_credentials_st;

namespace quillmere {

// The local certificate and key as the TLS library holds them; shared,
// read-only, by every connection of a listener.
class TlsCredentials {
public:
    // Without a certificate the credentials present none.
    static std::expected<std::shared_ptr<TlsCredentials>, QuicError> make(const Bytes& certificateDER,
                                                                          const Bytes& privateKeyDER);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    gnutls_certificate_credentials_st* handle() const { return handle_; }

private:
    explicit TlsCredentials(gnutls_certificate_credentials_st* handle) : handle_(handle) {}

    gnutls_certificate_credentials_st* handle_;
};

} // namespace quillmere

#pragma once

#include "Platform/Quic/QuicConfiguration.h"
#include "Platform/Quic/QuicError.h"
#include "Platform/Quic/TlsCredentials.h"
#include "QuillmereBase/Bytes.h"

#include <ngtcp2/ngtcp2_crypto.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct gnutls_session_int;

namespace quillmere {

// What the TLS callbacks reach through the session pointer. The QUIC
// library's crypto layer owns that pointer and reads it as its connection
// reference, so the reference must come first.
struct TlsHandshakeContext {
    ngtcp2_crypto_conn_ref connectionReference;
    const QuicConfiguration* configuration = nullptr;
};

// One connection's TLS 1.3 session: mutual certificates, one application
// protocol, no session tickets (a resumed handshake would skip the peer
// check), and the peer decided by the configuration's check alone.
class TlsSession {
public:
    // context must outlive the session.
    static std::expected<std::unique_ptr<TlsSession>, QuicError> make(bool server, const TlsCredentials& credentials,
                                                                      const QuicConfiguration& configuration,
                                                                      TlsHandshakeContext* context);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    gnutls_session_int* handle() const { return session_; }

    // The peer's chain as it arrived, leaf first; empty before the handshake.
    std::vector<Bytes> peerCertificates() const;
    std::optional<std::string> selectedProtocol() const;

private:
    explicit TlsSession(gnutls_session_int* session) : session_(session) {}

    gnutls_session_int* session_;
};

} // namespace quillmere

#include "Platform/Quic/TlsSession.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <vector>

namespace quillmere {

namespace {

constexpr const char* priorities =
    "%DISABLE_TLS13_COMPAT_MODE:NORMAL:-VERS-ALL:+VERS-TLS1.3:"
    "-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:+AES-128-CCM:"
    "-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:+GROUP-SECP384R1";

TlsHandshakeContext* contextOf(gnutls_session_t session) {
    return static_cast<TlsHandshakeContext*>(gnutls_session_get_ptr(session));
}

// Runs inside the handshake, on the connection's executor. No date, issuer
// or name check happens anywhere: the configuration's check is the only gate.
int verifyPeer(gnutls_session_t session) {
    const TlsHandshakeContext* context = contextOf(session);
    if (context == nullptr || context->configuration == nullptr) return -1;
    if (gnutls_certificate_type_get2(session, GNUTLS_CTYPE_PEERS) != GNUTLS_CRT_X509) return -1;
    unsigned int count = 0;
    const gnutls_datum_t* certificates = gnutls_certificate_get_peers(session, &count);
    std::vector<ByteView> chain;
    chain.reserve(count);
    for (unsigned int i = 0; i < count; ++i) chain.emplace_back(certificates[i].data, certificates[i].size);
    const auto& check = context->configuration->peerCheck;
    if (!check) return 0;
    return check(chain) ? 0 : -1;
}

// A mandatory protocol list still lets a ClientHello without any protocol
// through; refuse it here with no_application_protocol.
int requireProtocol(gnutls_session_t session, unsigned int, unsigned int, unsigned int, const gnutls_datum_t*) {
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != GNUTLS_E_SUCCESS) {
        return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    }
    return 0;
}

} // namespace

std::expected<std::unique_ptr<TlsSession>, QuicError> TlsSession::make(bool server, const TlsCredentials& credentials,
                                                                       const QuicConfiguration& configuration,
                                                                       TlsHandshakeContext* context) {
    gnutls_session_t session = nullptr;
    const unsigned int flags = server ? GNUTLS_SERVER | GNUTLS_NO_AUTO_SEND_TICKET | GNUTLS_NO_END_OF_EARLY_DATA
                                      : GNUTLS_CLIENT | GNUTLS_NO_TICKETS | GNUTLS_NO_END_OF_EARLY_DATA;
    int result = gnutls_init(&session, flags);
    if (result != GNUTLS_E_SUCCESS) return std::unexpected(QuicError::tls(gnutls_strerror(result)));
    auto owned = std::unique_ptr<TlsSession>(new TlsSession(session));
    auto failed = [](int code) { return std::unexpected(QuicError::tls(gnutls_strerror(code))); };

    if ((result = gnutls_priority_set_direct(session, priorities, nullptr)) != GNUTLS_E_SUCCESS) return failed(result);
    result = server ? ngtcp2_crypto_gnutls_configure_server_session(session)
                    : ngtcp2_crypto_gnutls_configure_client_session(session);
    if (result != 0) return std::unexpected(QuicError::tls("setting up TLS for QUIC failed"));
    gnutls_session_set_ptr(session, &context->connectionReference);
    if ((result = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials.handle())) != GNUTLS_E_SUCCESS) {
        return failed(result);
    }
    if (!configuration.alpn.empty()) {
        const gnutls_datum_t protocol{reinterpret_cast<unsigned char*>(const_cast<char*>(configuration.alpn.data())),
                                      static_cast<unsigned int>(configuration.alpn.size())};
        if ((result = gnutls_alpn_set_protocols(session, &protocol, 1, GNUTLS_ALPN_MANDATORY)) != GNUTLS_E_SUCCESS) {
            return failed(result);
        }
    }
    if (server) {
        gnutls_certificate_server_set_request(
            session, configuration.requirePeerAuthentication ? GNUTLS_CERT_REQUIRE : GNUTLS_CERT_REQUEST);
        // Self-signed peers: there are no certificate authorities to name.
        gnutls_certificate_send_x509_rdn_sequence(session, 1);
        if (!configuration.alpn.empty()) {
            gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_POST,
                                               requireProtocol);
        }
    }
    gnutls_session_set_verify_function(session, verifyPeer);
    return owned;
}

TlsSession::~TlsSession() { gnutls_deinit(session_); }

std::vector<Bytes> TlsSession::peerCertificates() const {
    std::vector<Bytes> chain;
    unsigned int count = 0;
    const gnutls_datum_t* certificates = gnutls_certificate_get_peers(session_, &count);
    for (unsigned int i = 0; certificates != nullptr && i < count; ++i) {
        chain.emplace_back(certificates[i].data, certificates[i].data + certificates[i].size);
    }
    return chain;
}

std::optional<std::string> TlsSession::selectedProtocol() const {
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session_, &selected) != GNUTLS_E_SUCCESS) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(selected.data), selected.size);
}

} // namespace quillmere

#include "Platform/Quic/QuicError.h"

#include <fmt/format.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>

#include <cstring>

namespace quillmere {

QuicError QuicError::posix(int error, std::string_view context) {
    std::string text = std::strerror(error);
    if (!context.empty()) text = fmt::format("{}: {}", context, text);
    return {Domain::posix, error, std::move(text)};
}

QuicError QuicError::tlsAlert(std::uint8_t alert, bool sentByPeer) {
    const char* name = gnutls_alert_get_name(static_cast<gnutls_alert_description_t>(alert));
    const std::string what = name != nullptr ? name : "unknown alert";
    return {Domain::tls, alert,
            sentByPeer ? fmt::format("TLS handshake refused by the peer: {} (alert {})", what, alert)
                       : fmt::format("TLS handshake failed: {} (alert {})", what, alert)};
}

QuicError QuicError::library(int error) { return {Domain::library, error, ngtcp2_strerror(error)}; }

} // namespace quillmere

#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// A failure of a QUIC connection, its socket or its TLS handshake, with the
// text the rest of the system shows for it.
struct QuicError {
    enum class Domain : std::uint8_t {
        posix,       // code: errno
        tls,         // code: the TLS alert
        transport,   // code: the QUIC transport error the peer sent
        application, // code: the application error the peer sent
        library,     // code: the QUIC library's error
        timeout,     // idle or handshake timeout
    };

    Domain domain = Domain::library;
    std::int64_t code = 0;
    std::string description;

    static QuicError posix(int error, std::string_view context = {});
    static QuicError tlsAlert(std::uint8_t alert, bool sentByPeer);
    static QuicError tls(std::string description) { return {Domain::tls, 0, std::move(description)}; }
    static QuicError library(int error);
    static QuicError timeout(std::string description) { return {Domain::timeout, 0, std::move(description)}; }

    bool isTLS() const { return domain == Domain::tls; }
    bool operator==(const QuicError&) const = default;
};

} // namespace quillmere

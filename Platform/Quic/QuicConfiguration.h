#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>

namespace quillmere {

// Everything a QUIC endpoint is set up with: TLS 1.3 with its own
// certificate, the peer check, the QUIC limits and the socket's traffic class.
struct QuicConfiguration {
    // Decides on the peer's certificate chain (DER, leaf first) during the
    // handshake; false refuses the peer with a bad_certificate alert. Called
    // on the connection's executor.
    using PeerCheck = std::function<bool(std::span<const ByteView> chain)>;

    // The one application protocol offered and accepted; empty offers none.
    std::string alpn;
    // The local certificate and its PKCS#8 private key, both DER; without a
    // certificate none is presented.
    Bytes certificateDER;
    Bytes privateKeyDER;
    // A listener requires a client certificate, else only asks for one.
    bool requirePeerAuthentication = true;
    // Absent: every peer is accepted.
    PeerCheck peerCheck;

    std::uint64_t idleTimeoutNs = 15'000'000'000ULL;
    // Pings a quiet connection several times per idle timeout both sides
    // agreed on, so that it outlasts a wait for the user; a peer that is
    // gone is still found once the idle timeout passes without an answer.
    bool keepAlive = true;
    std::uint64_t maxDatagramFrameSize = 65535;
    // The library's own handshake limit; the maximum means none.
    std::uint64_t handshakeTimeoutNs = std::numeric_limits<std::uint64_t>::max();
    // Also the first probe timeout: a LAN value keeps the handshake short.
    std::uint64_t initialRttNs = 100'000'000ULL;
    // What the peer may send on a stream before credit comes back; the
    // library widens it for a stream read quickly.
    std::uint64_t streamWindow = 4 * 1024 * 1024;
    // Bidirectional streams a peer may open towards us.
    std::uint32_t maxIncomingStreams = 2;
    // The IP_TOS / IPV6_TCLASS byte of every packet; 0 is best effort.
    int trafficClass = 0;
};

} // namespace quillmere

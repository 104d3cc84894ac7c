#include "Platform/Quic/StatelessClose.h"

#include "Platform/Quic/UdpEndpoint.h"

#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

namespace quillmere::StatelessClose {

std::optional<Bytes> answer(ByteView initialPacket, std::uint64_t transportErrorCode) {
    ngtcp2_pkt_hd header{};
    if (ngtcp2_accept(&header, initialPacket.data(), initialPacket.size()) != 0) return std::nullopt;
    Bytes packet(UdpEndpoint::maxDatagramSize);
    // Addressed back to the client's own ID, keyed by the ID it chose for us.
    const auto written = ngtcp2_crypto_write_connection_close(packet.data(), packet.size(), header.version,
                                                              &header.scid, &header.dcid, transportErrorCode,
                                                              nullptr, 0);
    if (written <= 0) return std::nullopt;
    packet.resize(static_cast<std::size_t>(written));
    return packet;
}

} // namespace quillmere::StatelessClose

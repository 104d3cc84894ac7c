#include "Platform/Quic/AddressValidation.h"

#include "Platform/Quic/QuicConnectionInternals.h"
#include "Platform/Quic/UdpEndpoint.h"

#include <ngtcp2/ngtcp2_crypto.h>

namespace quillmere {

AddressValidation::AddressValidation() { QuicCallbacks::randomBytes(secret_.data(), secret_.size()); }

std::optional<Bytes> AddressValidation::retry(const ngtcp2_pkt_hd& initial, const SocketAddress& from,
                                              std::uint64_t nowNs) const {
    ngtcp2_cid retryID{};
    retryID.datalen = connectionIDLength;
    QuicCallbacks::randomBytes(retryID.data, retryID.datalen);
    std::array<std::uint8_t, NGTCP2_CRYPTO_MAX_RETRY_TOKENLEN> token{};
    const auto tokenLength =
        ngtcp2_crypto_generate_retry_token(token.data(), secret_.data(), secret_.size(), initial.version,
                                           from.native(), from.length(), &retryID, &initial.dcid, nowNs);
    if (tokenLength < 0) return std::nullopt;
    Bytes packet(UdpEndpoint::maxDatagramSize);
    const auto written =
        ngtcp2_crypto_write_retry(packet.data(), packet.size(), initial.version, &initial.scid, &retryID,
                                  &initial.dcid, token.data(), static_cast<std::size_t>(tokenLength));
    if (written <= 0) return std::nullopt;
    packet.resize(static_cast<std::size_t>(written));
    return packet;
}

std::optional<ngtcp2_cid> AddressValidation::validate(const ngtcp2_pkt_hd& initial, const SocketAddress& from,
                                                      std::uint64_t nowNs) const {
    if (initial.token.len == 0 || initial.token.base[0] != NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) return std::nullopt;
    ngtcp2_cid original{};
    if (ngtcp2_crypto_verify_retry_token(&original, initial.token.base, initial.token.len, secret_.data(),
                                         secret_.size(), initial.version, from.native(), from.length(),
                                         &initial.dcid, tokenLifetimeNs, nowNs) != 0) {
        return std::nullopt;
    }
    return original;
}

} // namespace quillmere

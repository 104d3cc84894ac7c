#pragma once

#include "Platform/Quic/SocketAddress.h"
#include "QuillmereBase/Bytes.h"

#include <ngtcp2/ngtcp2.h>

#include <array>
#include <cstdint>
#include <optional>

namespace quillmere {

// Stateless address validation with QUIC's Retry: a client's first Initial
// gets a Retry carrying a token sealed with a secret of this listener;
// only an Initial that returns a fresh token from the same address gets a
// connection. Junk that looks like an Initial, and packets from forged
// addresses, cost one small answer and no state.
class AddressValidation {
public:
    static constexpr std::uint64_t tokenLifetimeNs = 10'000'000'000ULL;

    AddressValidation();

    // The Retry packet answering an Initial that carries no token.
    std::optional<Bytes> retry(const ngtcp2_pkt_hd& initial, const SocketAddress& from, std::uint64_t nowNs) const;
    // The destination ID of the client's very first Initial, when the token
    // of this one is ours, fresh and issued to this address.
    std::optional<ngtcp2_cid> validate(const ngtcp2_pkt_hd& initial, const SocketAddress& from,
                                       std::uint64_t nowNs) const;

private:
    std::array<std::uint8_t, 32> secret_{};
};

} // namespace quillmere

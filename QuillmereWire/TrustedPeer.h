#pragma once

#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/WireEnums.h"
#include "QuillmereWire/WireID.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

// One paired device: what the transport pins (the fingerprint) and what the
// user sees (the name).
struct TrustedPeer {
    static constexpr std::size_t maxNameBytes = 64;

    WireID deviceID;
    Digest32 fingerprint;
    std::string name;
    PeerRole role = PeerRole::client;
    std::uint64_t pairedAt = 0; // Unix seconds

    TrustedPeer() = default;
    // Cuts the name to at most 64 UTF-8 bytes between scalars.
    TrustedPeer(const WireID& deviceID, const Digest32& fingerprint, std::string_view name, PeerRole role,
                std::uint64_t pairedAt);

    bool operator==(const TrustedPeer&) const = default;
};

} // namespace quillmere

#pragma once

#include "QuillmereBase/SharedBytes.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// One encoded audio packet as the single media datagram of kind audio that
// carries it: not fragmented, not paced.
struct AudioDatagram {
    // How long the packet waited before it went out, in microseconds;
    // saturated when the age does not fit 32 bits or the packet's time lies
    // ahead.
    static std::uint32_t sendOffsetUs(std::uint64_t nowNs, std::uint64_t hostTimeNs);
    // Nothing for an empty packet or one the wire cannot carry.
    static std::optional<SharedBytes> build(const SharedBytes& packet, std::uint32_t surfaceID, std::uint32_t sequence,
                                            std::uint32_t generation, std::uint64_t hostTimeNs, std::uint64_t nowNs);
};

} // namespace quillmere

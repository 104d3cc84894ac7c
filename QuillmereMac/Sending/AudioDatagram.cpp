#include "QuillmereMac/Sending/AudioDatagram.h"

#include "QuillmereWire/MediaDatagram.h"

#include <algorithm>
#include <limits>

namespace quillmere {

std::uint32_t AudioDatagram::sendOffsetUs(std::uint64_t nowNs, std::uint64_t hostTimeNs) {
    constexpr std::uint32_t saturated = std::numeric_limits<std::uint32_t>::max();
    if (nowNs < hostTimeNs) return saturated;
    const std::uint64_t us = (nowNs - hostTimeNs) / 1000;
    return us > saturated ? saturated : static_cast<std::uint32_t>(us);
}

std::optional<SharedBytes> AudioDatagram::build(const SharedBytes& packet, std::uint32_t surfaceID,
                                                std::uint32_t sequence, std::uint32_t generation,
                                                std::uint64_t hostTimeNs, std::uint64_t nowNs) {
    if (packet.empty()) return std::nullopt;
    MediaHeader header;
    header.kind = MediaHeader::Kind::audio;
    header.surfaceID = surfaceID;
    header.epoch = 1;
    header.frameID = sequence;
    header.configGeneration = generation;
    header.fragmentIndex = 0;
    header.fragmentCount = 1;
    header.totalLength = static_cast<std::uint32_t>(std::min<std::size_t>(packet.size(), 0xFFFFFFFF));
    header.captureTimeNs = hostTimeNs;
    header.sendOffsetUs = sendOffsetUs(nowNs, hostTimeNs);
    auto encoded = MediaDatagram{header, packet.view()}.encode();
    if (!encoded) return std::nullopt;
    return SharedBytes(std::move(*encoded));
}

} // namespace quillmere

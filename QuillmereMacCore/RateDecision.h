#pragma once

#include "QuillmereMacCore/ThermalLevel.h"

#include <cstdint>

namespace quillmere {

struct RateDecision {
    enum class Reason : std::uint8_t {
        start = 0,
        hold = 1,
        congestion = 2,
        senderDrops = 3,
        decoderBacklog = 4,
        probeUp = 5,
        thermalCap = 6,
    };

    std::uint32_t bitrateKbps = 0;
    std::uint32_t ceilingKbps = 0;
    ThermalLevel thermal = ThermalLevel::nominal;
    Reason reason = Reason::start;

    bool operator==(const RateDecision&) const = default;
};

} // namespace quillmere

#pragma once

#include <cstdint>

namespace quillmere {

// What one encoder is made for; a surface makes a new encoder when any of it
// changes except the bit rate.
struct EncoderConfig {
    enum class Codec : std::uint8_t { h264, hevc };

    int width = 0;
    int height = 0;
    int fps = 60;
    std::uint32_t bitrateKbps = 0;
    double maxKeyframeIntervalSeconds = 30;
    // Frames submitted and not yet returned, at most.
    std::int64_t maxInFlight = 2;
    Codec codec = Codec::h264;
    // A small rate-control buffer for even frame sizes, instead of plain
    // average bit rate.
    bool lowLatencyRateControl = true;

    bool operator==(const EncoderConfig&) const = default;
};

} // namespace quillmere

#pragma once

#include <cstdint>

namespace quillmere {

// Bit-rate bounds, steps and timings of a rate policy. The constructor
// normalises; later assignment does not.
struct RateConfig {
    RateConfig(std::uint32_t minKbps, std::uint32_t maxKbps, std::uint32_t startKbps, double decreaseFactor,
               double increaseFactor, std::uint64_t decreaseHoldNs, std::uint64_t increaseCleanNs,
               std::uint64_t thermalRelaxNs, double lossThreshold, double lateThreshold,
               std::uint8_t queueDepthThreshold);

    std::uint32_t minKbps;
    std::uint32_t maxKbps;
    std::uint32_t startKbps;
    double decreaseFactor;
    double increaseFactor;
    std::uint64_t decreaseHoldNs;
    std::uint64_t increaseCleanNs;
    std::uint64_t thermalRelaxNs;
    double lossThreshold;
    double lateThreshold;
    std::uint8_t queueDepthThreshold;

    bool operator==(const RateConfig&) const = default;
};

} // namespace quillmere

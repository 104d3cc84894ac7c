#include "QuillmereMacCore/RateConfig.h"

#include <algorithm>

namespace quillmere {

namespace {

// NaN goes to the lower bound, where std::clamp would pass it through.
double clampFactor(double value, double low, double high) {
    if (!(value >= low)) return low;
    return std::min(value, high);
}

} // namespace

RateConfig::RateConfig(std::uint32_t minKbps, std::uint32_t maxKbps, std::uint32_t startKbps, double decreaseFactor,
                       double increaseFactor, std::uint64_t decreaseHoldNs, std::uint64_t increaseCleanNs,
                       std::uint64_t thermalRelaxNs, double lossThreshold, double lateThreshold,
                       std::uint8_t queueDepthThreshold)
    : minKbps(std::min(minKbps, maxKbps)),
      maxKbps(maxKbps),
      startKbps(std::min(std::max(startKbps, this->minKbps), maxKbps)),
      decreaseFactor(clampFactor(decreaseFactor, 0.5, 0.99)),
      increaseFactor(clampFactor(increaseFactor, 1.01, 1.25)),
      decreaseHoldNs(decreaseHoldNs),
      increaseCleanNs(increaseCleanNs),
      thermalRelaxNs(thermalRelaxNs),
      lossThreshold(lossThreshold),
      lateThreshold(lateThreshold),
      queueDepthThreshold(queueDepthThreshold) {}

} // namespace quillmere

#include "QuillmereWire/ClockOffsetEstimator.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace quillmere {
namespace {

std::int64_t saturatingSigned(std::uint64_t value) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    return value > static_cast<std::uint64_t>(max) ? max : static_cast<std::int64_t>(value);
}

// Least-squares slope of offset against time, in parts per million.
double drift(const std::deque<ClockOffsetEstimator::Sample>& samples) {
    if (samples.size() < 3) return 0;
    const std::int64_t origin = saturatingSigned(samples.front().clientTimeNs);
    const auto n = static_cast<double>(samples.size());
    double sumX = 0;
    double sumY = 0;
    for (const auto& sample : samples) {
        sumX += static_cast<double>(saturatingSigned(sample.clientTimeNs) - origin);
        sumY += static_cast<double>(sample.offsetNs);
    }
    const double meanX = sumX / n;
    const double meanY = sumY / n;
    double sxx = 0;
    double sxy = 0;
    for (const auto& sample : samples) {
        const double dx = static_cast<double>(saturatingSigned(sample.clientTimeNs) - origin) - meanX;
        const double dy = static_cast<double>(sample.offsetNs) - meanY;
        sxx += dx * dx;
        sxy += dx * dy;
    }
    if (!(sxx > 0)) return 0;
    return sxy / sxx * 1'000'000.0;
}

} // namespace

ClockOffsetEstimator::ClockOffsetEstimator(std::int64_t capacity) : capacity_(std::max(capacity, minCapacity)) {}

bool ClockOffsetEstimator::add(std::uint64_t clientSendNs, std::uint64_t hostNs, std::uint64_t clientReceiveNs) {
    if (clientReceiveNs < clientSendNs) {
        ++rejected_;
        return false;
    }
    const std::uint64_t rtt = clientReceiveNs - clientSendNs;
    const std::uint64_t middle = clientSendNs + rtt / 2;
    // Both sides are at least 0 once saturated, so the difference fits.
    samples_.push_back(Sample{middle, saturatingSigned(hostNs) - saturatingSigned(middle), rtt});
    while (static_cast<std::int64_t>(samples_.size()) > capacity_) samples_.pop_front();
    return true;
}

std::optional<ClockOffsetEstimator::Estimate> ClockOffsetEstimator::estimate() const {
    if (samples_.empty()) return std::nullopt;
    const auto n = static_cast<std::int64_t>(samples_.size());

    // The quickest round trips carry the least queueing delay.
    std::vector<Sample> byRTT(samples_.begin(), samples_.end());
    std::ranges::stable_sort(byRTT, {}, &Sample::rttNs);
    const auto best = static_cast<std::size_t>(std::max<std::int64_t>(n, 4) / 4);
    std::vector<std::int64_t> offsets;
    offsets.reserve(best);
    for (std::size_t i = 0; i < best; ++i) offsets.push_back(byRTT[i].offsetNs);
    std::ranges::sort(offsets);

    Estimate estimate;
    estimate.offsetNs = offsets[best / 2];
    estimate.uncertaintyNs = byRTT.front().rttNs / 2;
    estimate.driftPPM = drift(samples_);
    estimate.samples = n;
    return estimate;
}

std::uint64_t ClockOffsetEstimator::clientTimeNs(std::uint64_t hostNs, std::int64_t offsetNs) {
    std::int64_t result = 0;
    if (__builtin_sub_overflow(saturatingSigned(hostNs), offsetNs, &result) || result < 0) return 0;
    return static_cast<std::uint64_t>(result);
}

} // namespace quillmere

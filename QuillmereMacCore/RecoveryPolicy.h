#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// When a surface's encoder must produce a keyframe: requests for the current
// epoch coalesce into one pending keyframe, keyframes are spaced at least
// minIntervalNs apart, and each issued keyframe starts a new epoch so that
// requests made before it are recognised as stale.
class RecoveryPolicy {
public:
    enum class Outcome : std::uint8_t { ignoredStale, coalesced, scheduled };

    RecoveryPolicy(std::uint32_t epoch, std::uint64_t minIntervalNs);

    Outcome request(std::uint32_t epoch);
    void requestLocal();
    bool isDue(std::uint64_t now) const;
    // Records a produced keyframe whatever asked for it; returns the new epoch.
    std::uint32_t issue(std::uint64_t now);
    std::uint64_t remainingWait(std::uint64_t now) const;

    std::uint64_t minIntervalNs() const { return minIntervalNs_; }
    std::uint32_t epoch() const { return epoch_; }
    bool pending() const { return pending_; }
    std::optional<std::uint64_t> lastKeyframeNs() const { return lastKeyframeNs_; }
    std::int64_t requestsReceived() const { return requestsReceived_; }
    std::int64_t requestsIgnoredStale() const { return requestsIgnoredStale_; }
    std::int64_t requestsCoalesced() const { return requestsCoalesced_; }
    std::int64_t keyframesIssued() const { return keyframesIssued_; }

private:
    std::uint64_t minIntervalNs_;
    std::uint32_t epoch_;
    bool pending_ = false;
    std::optional<std::uint64_t> lastKeyframeNs_;
    std::int64_t requestsReceived_ = 0;
    std::int64_t requestsIgnoredStale_ = 0;
    std::int64_t requestsCoalesced_ = 0;
    std::int64_t keyframesIssued_ = 0;
};

} // namespace quillmere

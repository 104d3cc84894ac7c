#include "QuillmereMacCore/RecoveryPolicy.h"

#include "QuillmereWire/SequenceNumber.h"

namespace quillmere {

RecoveryPolicy::RecoveryPolicy(std::uint32_t epoch, std::uint64_t minIntervalNs)
    : minIntervalNs_(minIntervalNs), epoch_(epoch) {}

RecoveryPolicy::Outcome RecoveryPolicy::request(std::uint32_t epoch) {
    ++requestsReceived_;
    // Older: the request predates the last keyframe. Newer: it names an
    // epoch this host never reached.
    if (isNewer(epoch_, epoch) || isNewer(epoch, epoch_)) {
        ++requestsIgnoredStale_;
        return Outcome::ignoredStale;
    }
    if (pending_) {
        ++requestsCoalesced_;
        return Outcome::coalesced;
    }
    pending_ = true;
    return Outcome::scheduled;
}

void RecoveryPolicy::requestLocal() {
    if (pending_) {
        ++requestsCoalesced_;
    } else {
        pending_ = true;
    }
}

bool RecoveryPolicy::isDue(std::uint64_t now) const {
    if (!pending_) return false;
    if (!lastKeyframeNs_) return true;
    return now - *lastKeyframeNs_ >= minIntervalNs_;
}

std::uint32_t RecoveryPolicy::issue(std::uint64_t now) {
    ++epoch_;
    pending_ = false;
    lastKeyframeNs_ = now;
    ++keyframesIssued_;
    return epoch_;
}

std::uint64_t RecoveryPolicy::remainingWait(std::uint64_t now) const {
    if (!pending_ || !lastKeyframeNs_) return 0;
    const std::uint64_t elapsed = now - *lastKeyframeNs_;
    return elapsed > minIntervalNs_ ? 0 : minIntervalNs_ - elapsed;
}

} // namespace quillmere

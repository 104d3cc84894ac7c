#include "QuillmereMacCore/RatePolicy.h"

#include "QuillmereMacCore/Saturating.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

RatePolicy::RatePolicy(const RateConfig& config, std::uint64_t now)
    : config_(config),
      decision_{config.startKbps, config.maxKbps, ThermalLevel::nominal, RateDecision::Reason::start},
      cleanSinceNs_(now) {}

RateDecision RatePolicy::applyThermalCeiling(RateDecision::Reason reason, std::uint64_t now) {
    const ThermalLevel target = std::max(hostThermal_, clientThermal_);
    if (appliedThermal_ < target) {
        // Heating applies at once.
        appliedThermal_ = target;
        coolerSinceNs_.reset();
    } else if (appliedThermal_ == target) {
        coolerSinceNs_.reset();
    } else {
        if (!coolerSinceNs_) coolerSinceNs_ = now;
        if (now - *coolerSinceNs_ >= config_.thermalRelaxNs) {
            appliedThermal_ = target;
            coolerSinceNs_.reset();
        }
    }

    const std::uint32_t ceiling =
        std::max(config_.minKbps, saturating::truncatedU32(ceilingFactor(appliedThermal_) * config_.maxKbps));
    decision_.thermal = appliedThermal_;
    decision_.ceilingKbps = ceiling;
    if (decision_.bitrateKbps > ceiling) {
        decision_.bitrateKbps = ceiling;
        reason = RateDecision::Reason::thermalCap;
    }
    decision_.reason = reason;
    return decision_;
}

RateDecision RatePolicy::decrease(RateDecision::Reason reason, std::uint64_t now) {
    // A held-back decrease still restarts the clean run.
    cleanSinceNs_.reset();
    if (lastDecreaseNs_ && now - *lastDecreaseNs_ < config_.decreaseHoldNs) {
        decision_.reason = RateDecision::Reason::hold;
        return decision_;
    }
    lastDecreaseNs_ = now;
    decision_.bitrateKbps =
        std::max(config_.minKbps, saturating::truncatedU32(config_.decreaseFactor * decision_.bitrateKbps));
    decision_.reason = reason;
    return decision_;
}

RateDecision RatePolicy::update(const ReceiverReport& report, std::uint64_t now) {
    clientThermal_ = static_cast<ThermalLevel>(std::min<std::uint8_t>(report.thermalState, 3));
    // The cut to a lowered ceiling stays; the reason reported is that of the
    // steps below.
    applyThermalCeiling(RateDecision::Reason::hold, now);

    const double total = static_cast<double>(report.framesReceived) + static_cast<double>(report.framesLost) +
                         static_cast<double>(report.framesLate);
    const double lossShare = total != 0.0 ? report.framesLost / total : 0.0;
    const double lateShare = total != 0.0 ? report.framesLate / total : 0.0;
    if (lossShare > config_.lossThreshold || lateShare > config_.lateThreshold) {
        return decrease(RateDecision::Reason::congestion, now);
    }
    if (report.decodeQueueDepth >= config_.queueDepthThreshold || report.decodeErrors != 0) {
        return decrease(RateDecision::Reason::decoderBacklog, now);
    }

    if (!cleanSinceNs_) cleanSinceNs_ = now;
    RateDecision::Reason reason = RateDecision::Reason::hold;
    if (now - *cleanSinceNs_ >= config_.increaseCleanNs && decision_.bitrateKbps < decision_.ceilingKbps) {
        cleanSinceNs_ = now;
        const double raised = std::ceil(config_.increaseFactor * decision_.bitrateKbps);
        // Also catches NaN from a factor assigned out of range.
        if (!(raised <= static_cast<double>(decision_.ceilingKbps))) {
            decision_.bitrateKbps = decision_.ceilingKbps;
        } else {
            decision_.bitrateKbps = saturating::truncatedU32(raised);
        }
        reason = RateDecision::Reason::probeUp;
    }
    decision_.reason = reason;
    return decision_;
}

RateDecision RatePolicy::setHostThermal(ThermalLevel level, std::uint64_t now) {
    hostThermal_ = level;
    return applyThermalCeiling(RateDecision::Reason::hold, now);
}

RateDecision RatePolicy::noteSenderDrops(std::uint64_t now) {
    return decrease(RateDecision::Reason::senderDrops, now);
}

} // namespace quillmere

#pragma once

#include "QuillmereMacCore/RateConfig.h"
#include "QuillmereMacCore/RateDecision.h"
#include "QuillmereMacCore/ThermalLevel.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// Bit-rate controller of one streamed surface: down on loss, lateness or
// decoder backlog, up after a stretch of clean reports, never above a
// ceiling set by the hotter of this computer and the client.
class RatePolicy {
public:
    RatePolicy(const RateConfig& config, std::uint64_t now);

    RateDecision update(const ReceiverReport& report, std::uint64_t now);
    RateDecision setHostThermal(ThermalLevel level, std::uint64_t now);
    RateDecision noteSenderDrops(std::uint64_t now);

    const RateConfig& config() const { return config_; }
    const RateDecision& decision() const { return decision_; }
    std::optional<std::uint64_t> lastDecreaseNs() const { return lastDecreaseNs_; }
    std::optional<std::uint64_t> cleanSinceNs() const { return cleanSinceNs_; }
    ThermalLevel hostThermal() const { return hostThermal_; }
    ThermalLevel clientThermal() const { return clientThermal_; }
    ThermalLevel appliedThermal() const { return appliedThermal_; }
    std::optional<std::uint64_t> coolerSinceNs() const { return coolerSinceNs_; }

    // Stored as given, like assignment to the configuration's fields.
    void setDecreaseFactor(double value) { config_.decreaseFactor = value; }
    void setIncreaseFactor(double value) { config_.increaseFactor = value; }
    void setLossThreshold(double value) { config_.lossThreshold = value; }
    void setLateThreshold(double value) { config_.lateThreshold = value; }
    void setQueueDepthThreshold(std::uint8_t value) { config_.queueDepthThreshold = value; }

private:
    RateDecision applyThermalCeiling(RateDecision::Reason reason, std::uint64_t now);
    RateDecision decrease(RateDecision::Reason reason, std::uint64_t now);

    RateConfig config_;
    RateDecision decision_;
    std::optional<std::uint64_t> lastDecreaseNs_;
    std::optional<std::uint64_t> cleanSinceNs_;
    ThermalLevel hostThermal_ = ThermalLevel::nominal;
    ThermalLevel clientThermal_ = ThermalLevel::nominal;
    ThermalLevel appliedThermal_ = ThermalLevel::nominal;
    std::optional<std::uint64_t> coolerSinceNs_;
};

} // namespace quillmere

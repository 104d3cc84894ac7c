#include "QuillmereWire/ConfigGate.h"

#include "QuillmereWire/SequenceNumber.h"

namespace quillmere {

WireStatus ConfigGate::propose(StreamConfig config) {
    const std::optional<StreamConfig>& reference = pending_ ? pending_ : acknowledged_;
    if (reference && !isNewer(config.configGeneration, reference->configGeneration))
        return std::unexpected(WireError::outOfRange("streamConfig.configGeneration"));
    pending_ = std::move(config);
    return {};
}

bool ConfigGate::accept(StreamConfig config) {
    if (acknowledged_ && !isNewer(config.configGeneration, acknowledged_->configGeneration)) return false;
    acknowledged_ = std::move(config);
    return true;
}

bool ConfigGate::pendingMatches(std::uint32_t surfaceID, std::uint32_t configGeneration) const {
    return pending_ && pending_->surfaceID == surfaceID && pending_->configGeneration == configGeneration;
}

bool ConfigGate::acknowledge(std::uint32_t surfaceID, std::uint32_t configGeneration) {
    if (!pendingMatches(surfaceID, configGeneration)) return false;
    acknowledged_ = std::move(pending_);
    pending_.reset();
    return true;
}

} // namespace quillmere

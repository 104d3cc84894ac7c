#pragma once

#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// A surface's stream configuration in two slots: the one proposed to the
// peer and the one the peer acknowledged. Only surfaceID and
// configGeneration matter to the gate.
class ConfigGate {
public:
    // Stores the configuration as pending when its generation is newer than
    // the pending one, or the acknowledged one when none is pending; fails
    // with outOfRange("streamConfig.configGeneration") and changes nothing
    // otherwise.
    WireStatus propose(StreamConfig config);

    // Records a configuration as acknowledged unless it is not newer than the
    // acknowledged one; pending is untouched.
    bool accept(StreamConfig config);

    // The peer's configAck: when it names the pending configuration's surface
    // and generation, pending becomes acknowledged. Anything else changes nothing.
    bool acknowledge(std::uint32_t surfaceID, std::uint32_t configGeneration);
    bool pendingMatches(std::uint32_t surfaceID, std::uint32_t configGeneration) const;

    const std::optional<StreamConfig>& pending() const { return pending_; }
    const std::optional<StreamConfig>& acknowledged() const { return acknowledged_; }

    bool operator==(const ConfigGate&) const = default;

private:
    std::optional<StreamConfig> pending_;
    std::optional<StreamConfig> acknowledged_;
};

} // namespace quillmere

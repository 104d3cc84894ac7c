#pragma once

#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// When to ask the host for a recovery keyframe: once per lost reference
// frame or decode error, but at most every retryNs for the same epoch, and
// never for an epoch older than the one already asked about.
class RecoveryRequester {
public:
    RecoveryRequester(std::uint32_t surfaceID, std::uint64_t retryNs) : surfaceID_(surfaceID), retryNs_(retryNs) {}

    // A recoveryRequest message when the event calls for one.
    std::optional<ControlMessage> observe(const AssemblyEvent& event, std::uint64_t nowNs);
    // After a decode error in the given epoch.
    std::optional<ControlMessage> request(std::uint32_t epoch, std::uint64_t nowNs);

    std::uint32_t surfaceID() const { return surfaceID_; }
    std::uint64_t retryNs() const { return retryNs_; }
    std::optional<std::uint32_t> requestedEpoch() const { return requestedEpoch_; }
    std::uint64_t requestedAtNs() const { return requestedAtNs_; }
    std::uint32_t lastComplete() const { return lastComplete_; }
    std::int64_t requestsSent() const { return requestsSent_; }

    bool operator==(const RecoveryRequester&) const = default;

private:
    std::optional<ControlMessage> ask(std::uint32_t epoch, RecoveryReason reason, std::uint64_t nowNs);

    std::uint32_t surfaceID_;
    std::uint64_t retryNs_;
    std::optional<std::uint32_t> requestedEpoch_;
    std::uint64_t requestedAtNs_ = 0;
    std::uint32_t lastComplete_ = 0;
    std::int64_t requestsSent_ = 0;
};

} // namespace quillmere

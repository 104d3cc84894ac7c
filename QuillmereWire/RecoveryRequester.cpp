#include "QuillmereWire/RecoveryRequester.h"

#include "QuillmereWire/SequenceNumber.h"

namespace quillmere {

std::optional<ControlMessage> RecoveryRequester::observe(const AssemblyEvent& event, std::uint64_t nowNs) {
    if (const auto* complete = event.as<AssemblyEvent::Complete>()) {
        lastComplete_ = complete->frame.frameID;
        // Only a frame of a newer epoch shows the requested keyframe arrived.
        if (requestedEpoch_ && isNewer(complete->frame.epoch, *requestedEpoch_)) requestedEpoch_.reset();
        return std::nullopt;
    }
    const auto* lost = event.as<AssemblyEvent::Lost>();
    if (!lost || !lost->reference) return std::nullopt;
    const RecoveryReason reason =
        lost->reason == FrameLossReason::expired ? RecoveryReason::assemblyTimeout : RecoveryReason::frameLoss;
    return ask(lost->epoch, reason, nowNs);
}

std::optional<ControlMessage> RecoveryRequester::request(std::uint32_t epoch, std::uint64_t nowNs) {
    return ask(epoch, RecoveryReason::decodeError, nowNs);
}

std::optional<ControlMessage> RecoveryRequester::ask(std::uint32_t epoch, RecoveryReason reason, std::uint64_t nowNs) {
    if (requestedEpoch_) {
        if (isNewer(*requestedEpoch_, epoch)) return std::nullopt;
        // Unsigned wrap: a clock that went backwards counts as a long wait.
        if (*requestedEpoch_ == epoch && nowNs - requestedAtNs_ < retryNs_) return std::nullopt;
    }
    requestedEpoch_ = epoch;
    requestedAtNs_ = nowNs;
    ++requestsSent_;
    return ControlMessage(msg::RecoveryRequest{surfaceID_, epoch, lastComplete_, reason});
}

} // namespace quillmere

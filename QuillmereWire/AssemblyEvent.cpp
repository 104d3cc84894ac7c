#include "QuillmereWire/AssemblyEvent.h"

#include <fmt/format.h>

namespace quillmere {

std::string_view lossReasonName(FrameLossReason reason) {
    switch (reason) {
    case FrameLossReason::expired: return "expired";
    case FrameLossReason::evicted: return "evicted";
    case FrameLossReason::superseded: return "superseded";
    case FrameLossReason::conflict: return "conflict";
    case FrameLossReason::late: return "late";
    case FrameLossReason::gap: return "gap";
    }
    return "unknown";
}

std::string RejectReason::description() const {
    switch (kind_) {
    case Kind::malformed: return fmt::format("malformed({})", error_ ? error_->description() : "");
    case Kind::wrongSurface: return "wrongSurface";
    case Kind::staleEpoch: return "staleEpoch";
    case Kind::unacceptedConfig: return "unacceptedConfig";
    case Kind::alreadyDelivered: return "alreadyDelivered";
    case Kind::tooLarge: return "tooLarge";
    }
    return "unknown";
}

std::string AssemblyEvent::description() const {
    if (const auto* complete = as<Complete>())
        return fmt::format("complete(frame {}, {} bytes)", complete->frame.frameID, complete->frame.data.size());
    if (const auto* lost = as<Lost>())
        return fmt::format("lost(frame {}, epoch {}, {}, {})", lost->frameID, lost->epoch,
                           lost->reference ? "reference" : "discardable", lossReasonName(lost->reason));
    return fmt::format("rejected({})", std::get<Rejected>(value).reason.description());
}

} // namespace quillmere

#include "QuillmereWire/SendAdmission.h"

#include <algorithm>

namespace quillmere {

AdmissionLimits::AdmissionLimits(std::int64_t maxFrames, std::uint64_t maxAgeNs)
    : maxFrames(std::max<std::int64_t>(maxFrames, 1)), maxAgeNs(maxAgeNs) {}

SendAdmission::SendAdmission(AdmissionLimits limits) : limits_(limits.maxFrames, limits.maxAgeNs) {}

void SendAdmission::dropDependents() {
    recoveryRequired_ = true;
    const auto removed = std::erase_if(queue_, [](const Entry& entry) { return !entry.frame.isKeyframe(); });
    counters_.droppedDependent += static_cast<std::int64_t>(removed);
}

// Only the head is looked at: expiry stops at the first entry young enough.
void SendAdmission::expire(std::uint64_t nowNs) {
    while (!queue_.empty()) {
        const Entry& oldest = queue_.front();
        if (nowNs < oldest.enqueuedNs || nowNs - oldest.enqueuedNs <= limits_.maxAgeNs) return;
        const bool harmful = oldest.frame.dropForcesRecovery();
        queue_.pop_front();
        ++counters_.droppedExpired;
        if (harmful) dropDependents();
    }
}

SendAdmission::Decision SendAdmission::admit(EncodedFrame frame, std::uint64_t nowNs) {
    expire(nowNs);
    if (frame.isKeyframe()) {
        counters_.droppedObsolete += static_cast<std::int64_t>(queue_.size());
        queue_.clear();
        recoveryRequired_ = false;
    } else if (recoveryRequired_) {
        ++counters_.droppedDependent;
        return Decision::refusedAwaitingKeyframe;
    }

    if (static_cast<std::int64_t>(queue_.size()) >= limits_.maxFrames) {
        const bool harmful = queue_.front().frame.dropForcesRecovery();
        queue_.pop_front();
        ++counters_.droppedOverflow;
        if (harmful) dropDependents();
        if (recoveryRequired_ && !frame.isKeyframe()) {
            ++counters_.droppedDependent;
            return Decision::refusedAwaitingKeyframe;
        }
    }

    queue_.push_back(Entry{std::move(frame), nowNs});
    ++counters_.admitted;
    return Decision::admitted;
}

std::optional<EncodedFrame> SendAdmission::next(std::uint64_t nowNs) {
    expire(nowNs);
    if (queue_.empty()) return std::nullopt;
    EncodedFrame frame = std::move(queue_.front().frame);
    queue_.pop_front();
    ++counters_.sent;
    return frame;
}

void SendAdmission::lost(const EncodedFrame& frame) {
    if (frame.dropForcesRecovery()) dropDependents();
}

void SendAdmission::reset() {
    queue_.clear();
    recoveryRequired_ = false;
}

std::uint64_t SendAdmission::oldestAge(std::uint64_t nowNs) const {
    if (queue_.empty() || nowNs < queue_.front().enqueuedNs) return 0;
    return nowNs - queue_.front().enqueuedNs;
}

} // namespace quillmere

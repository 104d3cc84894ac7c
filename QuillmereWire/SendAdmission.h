#pragma once

#include "QuillmereWire/EncodedFrame.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace quillmere {

struct AdmissionLimits {
    std::int64_t maxFrames = 3;
    std::uint64_t maxAgeNs = 50'000'000;

    AdmissionLimits() = default;
    // maxFrames below 1 is raised to 1.
    AdmissionLimits(std::int64_t maxFrames, std::uint64_t maxAgeNs);

    bool operator==(const AdmissionLimits&) const = default;
};

struct AdmissionCounters {
    std::int64_t admitted = 0;
    std::int64_t sent = 0;
    std::int64_t droppedOverflow = 0;
    std::int64_t droppedExpired = 0;
    // Non-keyframes dropped or refused because a frame they depend on was lost.
    std::int64_t droppedDependent = 0;
    // Queued frames made useless by a newer keyframe.
    std::int64_t droppedObsolete = 0;

    bool operator==(const AdmissionCounters&) const = default;
};

// The send queue of one surface: keeps a few frames, drops stale ones, and
// after a drop that breaks later frames admits nothing but a keyframe. It
// owns the frames it holds.
class SendAdmission {
public:
    enum class Decision { admitted, refusedAwaitingKeyframe };

    struct Entry {
        EncodedFrame frame;
        std::uint64_t enqueuedNs = 0;
    };

    explicit SendAdmission(AdmissionLimits limits = {});

    Decision admit(EncodedFrame frame, std::uint64_t nowNs);
    // The oldest queued frame, moved out.
    std::optional<EncodedFrame> next(std::uint64_t nowNs);
    // A frame handed out by next never reached the client: when later frames
    // depend on it, nothing but a keyframe is admitted from now on.
    void lost(const EncodedFrame& frame);
    // Empties the queue and clears recoveryRequired; counters and limits stay.
    void reset();

    std::size_t queueDepth() const { return queue_.size(); }
    // 0 when empty or when the clock reads earlier than the oldest entry's time.
    std::uint64_t oldestAge(std::uint64_t nowNs) const;

    const AdmissionLimits& limits() const { return limits_; }
    const AdmissionCounters& counters() const { return counters_; }
    bool recoveryRequired() const { return recoveryRequired_; }

private:
    void expire(std::uint64_t nowNs);
    void dropDependents();

    AdmissionLimits limits_;
    AdmissionCounters counters_;
    bool recoveryRequired_ = false;
    std::deque<Entry> queue_;
};

} // namespace quillmere

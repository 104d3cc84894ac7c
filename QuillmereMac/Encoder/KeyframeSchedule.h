#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// When a keyframe is due by time: the first frame, then the first frame at
// least the interval after the last one asked to be a keyframe. The interval
// counts from the asking, not from the keyframe coming out: an encoder that
// hands packets back a frame or more late would otherwise be asked again on
// every frame until the first came out.
class KeyframeSchedule {
public:
    // No interval: keyframes only when forced, and the first.
    explicit KeyframeSchedule(std::optional<std::int64_t> intervalNs) : intervalNs_(intervalNs) {}

    // Whether the frame at pts is to be a keyframe; forced ones count as asked.
    bool ask(std::int64_t pts, bool forced) {
        const bool due = !lastAskedPts_ || (intervalNs_ && pts - *lastAskedPts_ >= *intervalNs_);
        if (!forced && !due) return false;
        lastAskedPts_ = pts;
        return true;
    }

    // A keyframe that came out unasked (an encoder's own interval) restarts
    // the count.
    void cameOut(std::int64_t pts) {
        if (!lastAskedPts_ || pts > *lastAskedPts_) lastAskedPts_ = pts;
    }

private:
    std::optional<std::int64_t> intervalNs_;
    std::optional<std::int64_t> lastAskedPts_;
};

} // namespace quillmere

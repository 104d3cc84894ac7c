#pragma once

#include <cstdint>

namespace quillmere {

// The pace of frames on a fixed grid: each deadline is the previous one plus
// the interval, so a wake that comes a little late never pushes the later
// frames back. A frame a whole interval or more late (after a quiet spell or
// a stall) starts the grid again from its own time: the deadlines gone by are
// skipped, never made up in a burst.
struct FrameDeadline {
    // The deadline after the one a frame was taken for at now; always after
    // now. A first frame (no deadline yet, 0) starts the grid at now.
    static std::uint64_t next(std::uint64_t due, std::uint64_t interval, std::uint64_t now);
    // The earliest the frame after one stamped at `stamped` may fall due:
    // three quarters of an interval on. A frame taken late (its change came
    // after its deadline) would otherwise be followed at the next deadline,
    // well within an interval, and pacing at the same rate drops frames that
    // close; spaced so, the frames after it catch up with the grid instead.
    static std::uint64_t notBefore(std::uint64_t stamped, std::uint64_t interval);
};

} // namespace quillmere

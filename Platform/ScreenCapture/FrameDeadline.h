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
};

} // namespace quillmere

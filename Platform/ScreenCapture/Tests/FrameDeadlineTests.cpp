#include "Platform/ScreenCapture/FrameDeadline.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillmere {
namespace {

TEST(FrameDeadline, StaysOnItsGrid) {
    struct Case {
        const char* what;
        std::uint64_t due, interval, now, next;
    };
    const Case cases[] = {
        {"first frame starts the grid", 0, 1000, 5000, 6000},
        {"on time", 5000, 1000, 5000, 6000},
        {"a little late keeps the phase", 5000, 1000, 5400, 6000},
        {"late by just under an interval", 5000, 1000, 5999, 6000},
        {"late by one interval skips one", 5000, 1000, 6000, 7000},
        {"a quiet spell starts the grid again", 5000, 1000, 98'700, 99'700},
        {"early (a changed interval) starts again from now", 9000, 1000, 5000, 6000},
        {"a zero interval still moves on", 5000, 0, 5000, 5001},
        {"60 fps never drifts", 16'666'666, 16'666'666, 17'500'000, 33'333'332},
    };
    for (const Case& c : cases) EXPECT_EQ(FrameDeadline::next(c.due, c.interval, c.now), c.next) << c.what;
}

TEST(FrameDeadline, AThousandLateWakesStillGiveTheSourceRate) {
    // Each wake is 0.8 ms late, as a loaded machine's would be: the frames
    // still come once per interval.
    const std::uint64_t interval = 16'666'667;
    std::uint64_t due = 0;
    std::uint64_t now = 1'000'000;
    const std::uint64_t first = now;
    for (int frame = 0; frame < 1000; ++frame) {
        due = FrameDeadline::next(due, interval, now);
        now = due + 800'000;
    }
    EXPECT_EQ(due, first + 1000 * interval);
}

TEST(FrameDeadline, FramesAfterALateChangeKeepTheirSpacingAndFindTheGridAgain) {
    // A 60 fps source whose second frame's change comes late, each frame
    // taken as the capture loop takes it: at the later of the grid's deadline
    // and notBefore, or when its change came.
    const std::uint64_t interval = 16'666'666;
    for (const std::uint64_t late : {interval / 8, interval / 2, interval * 9 / 10}) {
        std::uint64_t grid = 0;
        std::uint64_t notBefore = 0;
        std::uint64_t previous = 0;
        std::uint64_t taken = 0;
        for (std::uint64_t frame = 0; frame < 8; ++frame) {
            const std::uint64_t changed = 1'000'000'000 + frame * interval + (frame == 1 ? late : 0);
            taken = std::max({grid, notBefore, changed});
            if (frame > 0) {
                EXPECT_GE(taken - previous, interval - interval / 4) << late << " frame " << frame;
            }
            grid = FrameDeadline::next(grid, interval, taken);
            notBefore = FrameDeadline::notBefore(taken, interval);
            previous = taken;
        }
        EXPECT_EQ(taken, 1'000'000'000 + 7 * interval) << late << ": back on the source's own time";
    }
}

} // namespace
} // namespace quillmere

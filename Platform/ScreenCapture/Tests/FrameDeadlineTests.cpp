#include "Platform/ScreenCapture/FrameDeadline.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace quillmere

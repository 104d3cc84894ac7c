#include "QuillmereMac/Encoder/EncoderThreading.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(EncoderThreading, FitsThePixelRateAndTheProcessors) {
    struct Case {
        const char* what;
        int usable, width, height, fps;
        int slices;
        int lookahead;
    };
    const Case cases[] = {
        {"1080p60 on a large machine", 64, 1920, 1080, 60, 3, 1},
        {"1080p30", 64, 1920, 1080, 30, 2, 1},
        {"2160p30", 64, 3840, 2160, 30, 6, 6},
        {"1440p60 still analyses on one", 64, 2560, 1440, 60, 5, 1},
        {"a 5K window at 10 fps", 64, 5120, 2880, 10, 4, 4},
        {"2160p60 stops at eight slices", 64, 3840, 2160, 60, 8, 8},
        {"2160p60 on five usable processors", 5, 3840, 2160, 60, 5, 5},
        {"1080p60 on two (continuous integration)", 2, 1920, 1080, 60, 2, 1},
        {"a small window", 8, 640, 400, 60, 1, 1},
        {"nothing usable still encodes", 0, 1920, 1080, 60, 1, 1},
        {"a nonsense raster", 8, -5, 1080, 60, 1, 1},
    };
    for (const Case& c : cases) {
        const auto threads = EncoderThreading::choose(c.usable, c.width, c.height, c.fps);
        EXPECT_EQ(threads.sliceThreads, c.slices) << c.what;
        EXPECT_EQ(threads.lookaheadThreads, c.lookahead) << c.what;
    }
}

} // namespace
} // namespace quillmere

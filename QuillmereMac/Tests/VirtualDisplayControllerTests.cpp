#include "QuillmereMac/Display/RandrVirtualDisplayMaker.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/DisplayFakes.h"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

TEST(VirtualDisplayController, OneDisplayAtATimeAndTheStandardShapeWhenNoneCanBeMade) {
    struct Step {
        ScreenShape shape;
        bool failMake;
        bool failMirror;
        bool changed;
        std::vector<std::string> events;
        std::vector<std::string> lines;
        ScreenShape after;
    };
    using enum ScreenShape;
    const Step steps[] = {
        {standard, false, false, false, {}, {}, standard},
        {wide, false, false, true, {"make Quillmere Wide 21:9 3440x1440", "mirror 40"},
         {"screen shape Wide 21:9: display 40 3440x1440 mirrored=true"}, wide},
        {wide, false, false, false, {}, {}, wide},
        {ultrawide, false, true, true,
         {"release Quillmere Wide 21:9", "make Quillmere Ultrawide 32:9 5120x1440", "mirror 41"},
         {"screen shape Ultrawide 32:9: display 41 5120x1440 mirrored=false"}, ultrawide},
        {wide, true, false, true, {"release Quillmere Ultrawide 32:9", "make Quillmere Wide 21:9 3440x1440"},
         {"screen shape Wide 21:9: virtual display unavailable"}, standard},
        {wide, true, false, false, {"make Quillmere Wide 21:9 3440x1440"},
         {"screen shape Wide 21:9: virtual display unavailable"}, standard},
        {ultrawide, false, false, true, {"make Quillmere Ultrawide 32:9 5120x1440", "mirror 42"},
         {"screen shape Ultrawide 32:9: display 42 5120x1440 mirrored=true"}, ultrawide},
        {standard, false, false, true, {"release Quillmere Ultrawide 32:9"},
         {"screen shape standard: virtual display removed"}, standard},
    };
    LogCapture log;
    auto maker = std::make_shared<FakeVirtualDisplayMaker>();
    VirtualDisplayController controller(maker);
    int index = 0;
    for (const Step& step : steps) {
        maker->events->clear();
        log.clear();
        maker->failMake = step.failMake;
        maker->failMirror = step.failMirror;
        EXPECT_EQ(controller.apply(step.shape), step.changed) << "step " << index;
        EXPECT_EQ(*maker->events, step.events) << "step " << index;
        EXPECT_EQ(log.lines("display"), step.lines) << "step " << index;
        EXPECT_EQ(controller.shape(), step.after) << "step " << index;
        EXPECT_EQ(controller.liveDisplayID().has_value(), step.after != standard) << "step " << index;
        ++index;
    }
}

TEST(VirtualDisplaySerials, SeededWithTheSecondOfTheFirstAndOneMoreEachTime) {
    int seeds = 0;
    VirtualDisplaySerials serials([&] {
        ++seeds;
        return std::uint64_t{0x1'FFFF'FFFE};
    });
    EXPECT_EQ(serials.next(), 0xFFFFFFFFu);
    EXPECT_EQ(serials.next(), 0u);
    EXPECT_EQ(serials.next(), 1u);
    EXPECT_EQ(seeds, 1);
}

} // namespace
} // namespace quillmere::testing

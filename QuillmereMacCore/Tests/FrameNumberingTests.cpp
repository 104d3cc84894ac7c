#include "QuillmereMacCore/FrameNumbering.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Flags = MediaHeader::Flags;
using Stamp = FrameNumbering::Stamp;

const std::vector<Bytes> setsA{Bytes{0x67, 1}, Bytes{0x68, 1}};
const std::vector<Bytes> setsB{Bytes{0x67, 2}, Bytes{0x68, 2}};

TEST(FrameNumbering, NothingGoesOutBeforeAConfigurationIsAnnounced) {
    FrameNumbering numbering;
    EXPECT_EQ(numbering.next(true), std::nullopt);
    EXPECT_FALSE(numbering.announce({})) << "no parameter sets announce nothing";
    EXPECT_TRUE(numbering.announce(setsA));
    EXPECT_EQ(numbering.configGeneration(), 1u);
    EXPECT_FALSE(numbering.announce(setsA)) << "the same sets again";
    EXPECT_TRUE(numbering.announce(setsB));
    EXPECT_EQ(numbering.configGeneration(), 2u);
}

TEST(FrameNumbering, TheFirstKeyframeAfterNewSetsMarksTheBoundary) {
    FrameNumbering numbering;
    numbering.announce(setsA);
    const struct {
        bool keyframe;
        Stamp stamp;
    } frames[] = {
        {true, {1, 1, Flags::keyframe | Flags::configChanged}},
        {false, {2, 1, Flags{}}},
        {true, {3, 1, Flags::keyframe}},
    };
    for (const auto& frame : frames) EXPECT_EQ(numbering.next(frame.keyframe), frame.stamp);
    numbering.announce(setsB);
    EXPECT_EQ(numbering.next(false), (Stamp{4, 2, Flags{}})) << "the boundary waits for a keyframe";
    EXPECT_EQ(numbering.next(true), (Stamp{5, 2, Flags::keyframe | Flags::configChanged}));
}

TEST(FrameNumbering, OnceSendingBeginsFramesWaitForAKeyframe) {
    FrameNumbering numbering;
    numbering.announce(setsA);
    numbering.beginSending();
    EXPECT_EQ(numbering.next(false), std::nullopt);
    EXPECT_EQ(numbering.next(false), std::nullopt);
    EXPECT_EQ(numbering.next(true), (Stamp{1, 1, Flags::keyframe | Flags::configChanged}));
    EXPECT_EQ(numbering.next(false), (Stamp{2, 1, Flags{}}));
}

TEST(FrameNumbering, FrameAndConfigurationCountersWrapThroughZero) {
    FrameNumbering numbering(0xFFFFFFFF, 0xFFFFFFFF);
    EXPECT_EQ(numbering.next(true), std::nullopt);
    ASSERT_TRUE(numbering.announce(setsA));
    // A wrapped generation 0 is an announced one: its frames go out.
    EXPECT_EQ(numbering.configGeneration(), 0u);
    EXPECT_EQ(numbering.next(true), (Stamp{0, 0, Flags::keyframe | Flags::configChanged}));
    EXPECT_EQ(numbering.next(false), (Stamp{1, 0, Flags{}}));
}

} // namespace
} // namespace quillmere

#include "QuillmereMac/Capture/CaptureEpochTracker.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Kind = CaptureEpochTracker::CaptureEventKind;
using Kinds = std::vector<Kind>;

TEST(CaptureEpochTracker, NumbersEpochsBySizeAndFramesAcrossThem) {
    CaptureEpochTracker tracker;
    EXPECT_EQ(tracker.observe(0, 1280, 720), (Kinds{Kind::epochChanged(1), Kind::frame(1, 1)}));
    EXPECT_EQ(tracker.observe(0, 1280, 720), (Kinds{Kind::frame(1, 2)}));
    EXPECT_EQ(tracker.observe(0, 1280, 721), (Kinds{Kind::epochChanged(2), Kind::frame(2, 3)}));
    // Back to an earlier size is still a new raster.
    EXPECT_EQ(tracker.observe(0, 1280, 720), (Kinds{Kind::epochChanged(3), Kind::frame(3, 4)}));
    EXPECT_EQ(tracker.width, 1280);
    EXPECT_EQ(tracker.height, 720);
}

TEST(CaptureEpochTracker, FirstFrameStartsAnEpochEvenAtSizeZero) {
    CaptureEpochTracker tracker;
    EXPECT_EQ(tracker.observe(0, 0, 0), (Kinds{Kind::epochChanged(1), Kind::frame(1, 1)}));
    EXPECT_EQ(tracker.observe(0, 0, 0), (Kinds{Kind::frame(1, 2)}));
}

TEST(CaptureEpochTracker, IdleStatusesCountStartedIsSilentOthersStop) {
    CaptureEpochTracker tracker;
    for (std::int64_t status : {1, 2, 3}) EXPECT_EQ(tracker.observe(status, 0, 0), (Kinds{Kind::idle()}));
    EXPECT_EQ(tracker.idleCount, 3);
    EXPECT_TRUE(tracker.observe(4, 0, 0).empty());
    for (std::int64_t status : {5, 6, 1000, -1}) EXPECT_EQ(tracker.observe(status, 0, 0), (Kinds{Kind::stopped()}));
    // None of that touches the frame numbering.
    EXPECT_FALSE(tracker.hasFrame);
    EXPECT_EQ(tracker.sequence, 0u);
    EXPECT_EQ(tracker.epoch, 0u);
}

TEST(CaptureEpochTracker, EpochAndSequenceWrap) {
    CaptureEpochTracker tracker;
    tracker.epoch = 0xFFFFFFFF;
    tracker.sequence = 0xFFFFFFFFFFFFFFFF;
    EXPECT_EQ(tracker.observe(0, 2, 2), (Kinds{Kind::epochChanged(0), Kind::frame(0, 0)}));
}

} // namespace
} // namespace quillmere

#include "Platform/PixelBuffer/PixelBufferPool.h"
#include "QuillmereMac/Capture/FrameHandoff.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Rects = std::vector<Rect>;

CapturedFrame frame(std::uint64_t sequence, std::uint32_t epoch, std::optional<Rects> dirty) {
    CapturedFrame result;
    result.sequence = sequence;
    result.captureEpoch = epoch;
    result.dirtyRects = std::move(dirty);
    return result;
}

TEST(FrameHandoff, KeepsOnlyTheNewestFrameWithEverySkippedRectangle) {
    FrameHandoff handoff;
    EXPECT_TRUE(handoff.offer(frame(1, 1, Rects{{0, 0, 1, 1}})).accepted);
    EXPECT_TRUE(handoff.offer(frame(2, 1, Rects{{2, 2, 1, 1}})).accepted);
    EXPECT_TRUE(handoff.offer(frame(3, 1, Rects{{4, 4, 1, 1}})).accepted);
    EXPECT_EQ(handoff.queuedCount(), 1u);
    EXPECT_EQ(handoff.counters(), (FrameHandoff::Counters{3, 0, 2}));

    const auto taken = handoff.take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->sequence, 3u);
    EXPECT_EQ(taken->dirtyRects, (Rects{{0, 0, 1, 1}, {2, 2, 1, 1}, {4, 4, 1, 1}}));
    EXPECT_EQ(handoff.counters().taken, 1);
}

TEST(FrameHandoff, AnUnknownAreaAnywhereInTheSkippedFramesStaysUnknown) {
    FrameHandoff handoff;
    handoff.offer(frame(1, 1, Rects{{0, 0, 1, 1}}));
    handoff.offer(frame(2, 1, std::nullopt));
    handoff.offer(frame(3, 1, Rects{{4, 4, 1, 1}}));
    EXPECT_FALSE(handoff.take()->dirtyRects.has_value());

    // A known area after an unknown one does not become known either.
    handoff.offer(frame(4, 1, std::nullopt));
    handoff.offer(frame(5, 1, Rects{}));
    EXPECT_FALSE(handoff.take()->dirtyRects.has_value());
}

TEST(FrameHandoff, AFrameOfAnotherEpochDropsTheOldOneOnceWithoutFoldingIt) {
    FrameHandoff handoff;
    handoff.offer(frame(1, 1, std::nullopt));
    handoff.offer(frame(2, 2, Rects{{1, 1, 2, 2}}));
    EXPECT_EQ(handoff.counters(), (FrameHandoff::Counters{2, 0, 1}));
    const auto taken = handoff.take();
    EXPECT_EQ(taken->captureEpoch, 2u);
    EXPECT_EQ(taken->dirtyRects, (Rects{{1, 1, 2, 2}}));
    EXPECT_FALSE(handoff.take());
    EXPECT_EQ(handoff.counters().taken, 1);
}

TEST(FrameHandoff, ClosedRefusesOffersAndCountsNothing) {
    FrameHandoff handoff;
    bool waiterRan = false;
    handoff.offer(frame(1, 1, std::nullopt));
    handoff.setWaiter([&] { waiterRan = true; });
    handoff.close();
    EXPECT_EQ(handoff.queuedCount(), 0u);
    const auto offer = handoff.offer(frame(2, 1, std::nullopt));
    EXPECT_FALSE(offer.accepted);
    EXPECT_FALSE(offer.waiter);
    EXPECT_FALSE(handoff.take());
    EXPECT_EQ(handoff.counters(), (FrameHandoff::Counters{1, 0, 0}));
    EXPECT_FALSE(waiterRan);
}

TEST(FrameHandoff, HandsTheParkedWaiterToOneOfferOnly) {
    FrameHandoff handoff;
    int runs = 0;
    handoff.setWaiter([&] { ++runs; });
    auto first = handoff.offer(frame(1, 1, std::nullopt));
    ASSERT_TRUE(first.waiter);
    first.waiter();
    EXPECT_FALSE(handoff.offer(frame(2, 1, std::nullopt)).waiter);
    EXPECT_EQ(runs, 1);
}

TEST(FrameHandoff, ReleasesTheBuffersOfDroppedAndDiscardedFrames) {
    auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, 64, 64, 2);
    ASSERT_TRUE(pool);
    auto pooled = [&](std::uint64_t sequence) {
        CapturedFrame captured = frame(sequence, 1, std::nullopt);
        captured.pixelBuffer = *(*pool)->createPixelBuffer();
        return captured;
    };
    FrameHandoff handoff;
    for (std::uint64_t i = 1; i <= 10; ++i) handoff.offer(pooled(i));
    // One frame queued; every other buffer went back to the pool.
    EXPECT_EQ((*pool)->allocatedCount() - (*pool)->freeCount(), 1);
    handoff.close();
    EXPECT_EQ((*pool)->freeCount(), (*pool)->allocatedCount());
}

} // namespace
} // namespace quillmere

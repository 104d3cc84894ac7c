#include "QuillmereMac/TestPattern/TestPatternSource.h"

#include "Platform/Dispatch/ManualExecutor.h"
#include "Platform/Dispatch/SerialQueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace quillmere {
namespace {

constexpr std::uint64_t sixtiethNs = 16'666'666;

struct Recorder {
    std::vector<CaptureEvent> events;
    CaptureEventHandler handler() {
        return [this](CaptureEvent event) { events.push_back(std::move(event)); };
    }
    std::vector<std::uint64_t> sequences() const {
        std::vector<std::uint64_t> result;
        for (const auto& event : events)
            if (event.capturedFrame()) result.push_back(event.capturedFrame()->sequence);
        return result;
    }
    int stops() const {
        int count = 0;
        for (const auto& event : events) count += event.stopReason() != nullptr;
        return count;
    }
};

std::uint8_t luma(const PixelBuffer& buffer, int x, int y) {
    return buffer.planeBaseAddress(0)[static_cast<std::size_t>(y) * buffer.planeBytesPerRow(0) + x];
}

TEST(TestPatternSource, HoldsTheRasterAndRateToWhatItCanDraw) {
    TestPatternSource small(10, 10, 0);
    EXPECT_EQ(small.width(), 64);
    EXPECT_EQ(small.height(), 64);
    EXPECT_EQ(small.fps(), 1);
    TestPatternSource large(1281, 721, 500);
    EXPECT_EQ(large.width(), 1280);
    EXPECT_EQ(large.height(), 720);
    EXPECT_EQ(large.fps(), 240);
    EXPECT_EQ(large.label(), "Test pattern (measurement)");
}

TEST(TestPatternSource, AnnouncesTheRasterThenDrawsAtOnceAndAtEachInterval) {
    auto queue = std::make_shared<ManualExecutor>();
    auto source = std::make_shared<TestPatternSource>(320, 240, 60, queue);
    Recorder recorder;
    ASSERT_TRUE(source->start(recorder.handler()));
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(*recorder.events[0].epochChange(), (CaptureEvent::EpochChanged{1, 320, 240}));

    queue->runUntilIdle();
    ASSERT_EQ(recorder.sequences(), (std::vector<std::uint64_t>{1}));
    const CapturedFrame& first = *recorder.events[1].capturedFrame();
    EXPECT_EQ(first.captureEpoch, 1u);
    EXPECT_EQ(first.captureTimeNs, queue->nowNs());
    EXPECT_EQ(first.width, 320);
    EXPECT_FALSE(first.dirtyRects.has_value());
    EXPECT_EQ(first.pixelBuffer->pixelFormat(), PixelFormat::nv12VideoRange);

    queue->advance(sixtiethNs - 1);
    EXPECT_EQ(recorder.sequences().size(), 1u);
    queue->advance(1 + sixtiethNs);
    EXPECT_EQ(recorder.sequences(), (std::vector<std::uint64_t>{1, 2, 3}));
}

TEST(TestPatternSource, StopsOnceAndCountsOnAfterARestart) {
    auto queue = std::make_shared<ManualExecutor>();
    auto source = std::make_shared<TestPatternSource>(64, 64, 10, queue);
    Recorder recorder;
    ASSERT_TRUE(source->start(recorder.handler()));
    queue->advance(150'000'000);
    source->stop();
    source->stop();
    EXPECT_EQ(recorder.stops(), 1);
    EXPECT_EQ(*recorder.events.back().stopReason(), CaptureStopReason::userStopped());
    const auto before = recorder.sequences();
    EXPECT_EQ(before, (std::vector<std::uint64_t>{1, 2}));
    queue->advance(1'000'000'000);
    EXPECT_EQ(recorder.sequences(), before);

    Recorder again;
    ASSERT_TRUE(source->start(again.handler()));
    queue->runUntilIdle();
    ASSERT_EQ(again.events.size(), 2u);
    EXPECT_EQ(again.events[0].epochChange()->epoch, 1u);
    EXPECT_EQ(again.events[1].capturedFrame()->sequence, 3u);
    // A second start does not add a second timer.
    ASSERT_TRUE(source->start(again.handler()));
    queue->advance(1'000'000'000);
    EXPECT_EQ(source->frameIndex(), 14u);
}

TEST(TestPatternSource, AStartWithoutAPoolDeliversNothing) {
    auto queue = std::make_shared<ManualExecutor>();
    auto source = std::make_shared<TestPatternSource>(40000, 64, 30, queue);
    Recorder recorder;
    const auto started = source->start(recorder.handler());
    ASSERT_FALSE(started);
    ASSERT_NE(started.error().as<TestPatternSource::PatternError>(), nullptr);
    EXPECT_EQ(*started.error().as<TestPatternSource::PatternError>(),
              TestPatternSource::PatternError::poolCreation(PixelBufferStatus::invalidSize));
    EXPECT_EQ(started.error().description(), "pixel buffer pool creation failed (-6681)");
    queue->advance(1'000'000'000);
    source->stop();
    EXPECT_TRUE(recorder.events.empty());
}

TEST(TestPatternSource, DeliversOnItsOwnQueueWhileRunning) {
    auto source = std::make_shared<TestPatternSource>(64, 64, 240);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint64_t> sequences;
    std::vector<std::string> queues;
    ASSERT_TRUE(source->start([&](CaptureEvent event) {
        std::lock_guard lock(mutex);
        queues.push_back(SerialQueue::currentLabel());
        if (event.capturedFrame()) sequences.push_back(event.capturedFrame()->sequence);
        changed.notify_all();
    }));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return sequences.size() >= 5; });
    }
    source->stop();
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < sequences.size(); ++i) EXPECT_EQ(sequences[i], i + 1);
    for (const auto& label : queues) EXPECT_EQ(label, "com.ornbeck.quillmeremac.testpattern");
}

TEST(TestPatternSource, DrawsTheNumberTheBarAndTheBlock) {
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 1280, 720);
    TestPatternSource::drawPattern(*buffer, 5);
    // cell 40: bits 0 and 2 set.
    for (int row : {680, 719}) {
        EXPECT_EQ(luma(*buffer, 0, row), 235);
        EXPECT_EQ(luma(*buffer, 39, row), 235);
        EXPECT_EQ(luma(*buffer, 40, row), 16);
        EXPECT_EQ(luma(*buffer, 79, row), 16);
        EXPECT_EQ(luma(*buffer, 80, row), 235);
        EXPECT_EQ(luma(*buffer, 119, row), 235);
        EXPECT_EQ(luma(*buffer, 120, row), 16);
        EXPECT_EQ(luma(*buffer, 1279, row), 16);
    }
    EXPECT_EQ(luma(*buffer, 0, 0), 16);
    EXPECT_EQ(luma(*buffer, 63, 63), 16);
    EXPECT_EQ(luma(*buffer, 100, 63), 64);
    // The bar of frame 5 spans columns 40 to 71 on every row above the strip.
    EXPECT_EQ(luma(*buffer, 64, 100), 200);
    EXPECT_EQ(luma(*buffer, 71, 679), 200);
    EXPECT_EQ(luma(*buffer, 72, 679), 64);
    EXPECT_EQ(buffer->planeBaseAddress(1)[359 * buffer->planeBytesPerRow(1) + 1279], 128);

    TestPatternSource::drawPattern(*buffer, 156);
    EXPECT_EQ(luma(*buffer, 0, 100), 200); // (156 x 8) mod 1248 = 0
    EXPECT_EQ(luma(*buffer, 32, 100), 64);
    EXPECT_EQ(luma(*buffer, 0, 0), 235);
    TestPatternSource::drawPattern(*buffer, 0);
    EXPECT_EQ(luma(*buffer, 31, 100), 200);
    // Numbers past 32 bits show their low 32 bits, and the bar stays in the frame.
    TestPatternSource::drawPattern(*buffer, 0xFFFF'FFFF'0000'0003ULL);
    EXPECT_EQ(luma(*buffer, 40, 700), 235);
    EXPECT_EQ(luma(*buffer, 80, 700), 16);
}

TEST(TestPatternSource, AFrameLowerThanTheStripIsAllStrip) {
    // 2560 wide: cells of 80 rows, in a 64-row frame.
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 2560, 64);
    TestPatternSource::drawPattern(*buffer, 2);
    for (int row : {0, 63}) {
        EXPECT_EQ(luma(*buffer, 0, row), 16);
        EXPECT_EQ(luma(*buffer, 80, row), 235);
        EXPECT_EQ(luma(*buffer, 160, row), 16);
    }
}

TEST(TestPatternSource, NarrowFramesUseTwoPixelCells) {
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 64, 64);
    TestPatternSource::drawPattern(*buffer, 0x80000001u);
    EXPECT_EQ(luma(*buffer, 0, 63), 235);
    EXPECT_EQ(luma(*buffer, 2, 63), 16);
    EXPECT_EQ(luma(*buffer, 62, 62), 235);
    EXPECT_EQ(luma(*buffer, 63, 61), 16); // the block covers all 64 columns
}

} // namespace
} // namespace quillmere

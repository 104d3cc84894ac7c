#include "QuillmereMac/Capture/ScreenCaptureSource.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace quillmere {
namespace {

using Kind = CaptureStopReason::Kind;

// A stream that delivers what the test hands it, on the source's queue.
class FakeStream final : public ScreenCaptureStream {
public:
    FakeStream(std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> queue)
        : output_(std::move(output)), queue_(std::move(queue)) {}

    void startCapture(Completion completion) override {
        std::unique_lock lock(mutex_);
        ++starts;
        if (holdStart) {
            heldStart_ = std::move(completion);
            lock.unlock();
            startAsked_.set_value();
            return;
        }
        auto error = startError;
        lock.unlock();
        completion(error);
    }
    void stopCapture(Completion completion) override {
        {
            std::lock_guard lock(mutex_);
            ++stops;
        }
        completion(ScreenCaptureError::make(ScreenCaptureError::internalError, "stopping failed"));
    }
    void updateConfiguration(ScreenCaptureStreamConfiguration configuration, Completion completion) override {
        {
            std::lock_guard lock(mutex_);
            updates.push_back(configuration);
        }
        completion(ScreenCaptureError::make(ScreenCaptureError::internalError, "ignored"));
    }

    void emit(ScreenCaptureSample sample) {
        queue_->async([output = output_, sample = std::move(sample)] {
            if (auto alive = output.lock()) alive->didOutputSample(sample);
        });
    }
    void fail(ScreenCaptureError error) {
        if (auto alive = output_.lock()) alive->didStopWithError(std::move(error));
    }
    void waitUntilStartAsked() { startAsked_.get_future().wait(); }
    void releaseStart() {
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            completion = std::move(heldStart_);
        }
        completion(std::nullopt);
    }

    int startCount() { std::lock_guard lock(mutex_); return starts; }
    int stopCount() { std::lock_guard lock(mutex_); return stops; }
    std::vector<ScreenCaptureStreamConfiguration> sentConfigurations() {
        std::lock_guard lock(mutex_);
        return updates;
    }

    bool holdStart = false;
    std::optional<ScreenCaptureError> startError;

private:
    std::mutex mutex_;
    int starts = 0;
    int stops = 0;
    std::vector<ScreenCaptureStreamConfiguration> updates;
    Completion heldStart_;
    std::promise<void> startAsked_;
    std::weak_ptr<ScreenCaptureStreamOutput> output_;
    std::shared_ptr<Executor> queue_;
};

struct Harness {
    explicit Harness(CaptureSettings settings = {1280, 720, 60, true, 3, 1280, 720}) {
        source = ScreenCaptureSource::make(
            ContentFilter::window(42), settings, "window 42",
            [this](const ContentFilter&, const ScreenCaptureStreamConfiguration& configuration,
                   std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> queue)
                -> std::expected<std::shared_ptr<ScreenCaptureStream>, ScreenCaptureError> {
                if (factoryError) return std::unexpected(*factoryError);
                initial = configuration;
                stream = std::make_shared<FakeStream>(std::move(output), std::move(queue));
                stream->holdStart = holdStart;
                stream->startError = startError;
                if (!announced.exchange(true)) streamMade.set_value();
                return stream;
            },
            [this] { return now.load(); });
    }

    CaptureEventHandler handler() {
        return [this](CaptureEvent event) {
            std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        };
    }
    std::vector<CaptureEvent> seen() {
        source->settings(); // the queue has run everything queued before
        std::lock_guard lock(mutex);
        return events;
    }
    std::vector<CaptureStopReason> stops() {
        std::vector<CaptureStopReason> reasons;
        for (const auto& event : seen()) {
            if (event.stopReason()) reasons.push_back(*event.stopReason());
        }
        return reasons;
    }

    std::atomic<std::uint64_t> now{10'000'000'000ULL};
    std::optional<ScreenCaptureError> factoryError;
    std::optional<ScreenCaptureError> startError;
    bool holdStart = false;
    std::promise<void> streamMade;
    std::atomic<bool> announced{false};
    ScreenCaptureStreamConfiguration initial;
    std::shared_ptr<FakeStream> stream;
    std::shared_ptr<ScreenCaptureSource> source;
    std::mutex mutex;
    std::vector<CaptureEvent> events;
};

PixelBufferRef buffer(int width, int height) { return *PixelBuffer::make(PixelFormat::nv12VideoRange, width, height); }

ScreenCaptureSample complete(int width, int height, std::optional<ScreenRect> content = std::nullopt) {
    ScreenCaptureSample sample;
    sample.status = 0;
    sample.pixelBuffer = buffer(width, height);
    sample.presentationTimeNs = 777;
    sample.dirtyRects = std::vector<ScreenRect>{{1, 2, 3, 4}};
    sample.contentRect = content;
    return sample;
}

ScreenCaptureSample withStatus(std::optional<std::int64_t> status) {
    ScreenCaptureSample sample;
    sample.status = status;
    return sample;
}

TEST(ScreenCaptureSource, FirstCompleteSampleOpensEpochOneThenFrameOne) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(complete(1280, 720));
    const auto events = h.seen();
    ASSERT_EQ(events.size(), 2u);
    ASSERT_NE(events[0].epochChange(), nullptr);
    EXPECT_EQ(*events[0].epochChange(), (CaptureEvent::EpochChanged{1, 1280, 720}));
    const CapturedFrame* frame = events[1].capturedFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->captureEpoch, 1u);
    EXPECT_EQ(frame->sequence, 1u);
    EXPECT_EQ(frame->captureTimeNs, 777u);
    EXPECT_EQ(frame->width, 1280);
    ASSERT_TRUE(frame->dirtyRects.has_value());
    EXPECT_EQ(*frame->dirtyRects, (std::vector<Rect>{{1, 2, 3, 4}}));
}

TEST(ScreenCaptureSource, UnreadableStatusCountsAsBlankAndBufferlessCompleteSamplesAreSkipped) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(withStatus(std::nullopt));
    h.stream->emit(withStatus(6));
    h.stream->emit(withStatus(-1));
    h.stream->emit(withStatus(0)); // complete without a buffer
    h.stream->emit(withStatus(4)); // started
    const auto events = h.seen();
    ASSERT_EQ(events.size(), 3u);
    for (const auto& event : events) EXPECT_TRUE(event.isIdle());
    const auto tracker = h.source->tracker();
    EXPECT_EQ(tracker.sequence, 0u);
    EXPECT_EQ(tracker.idleCount, 3);
}

TEST(ScreenCaptureSource, StoppedStatusEndsWithOneWindowClosedAndDropsTheStream) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(withStatus(5));
    h.stream->emit(complete(1280, 720));
    h.stream->emit(withStatus(5));
    EXPECT_EQ(h.stops(), (std::vector<CaptureStopReason>{CaptureStopReason::windowClosed()}));
    EXPECT_EQ(h.seen().size(), 1u);
    EXPECT_FALSE(h.source->isStreaming());
    h.source->stop();
    EXPECT_EQ(h.stream->stopCount(), 0); // released, never asked to stop
    EXPECT_EQ(h.seen().size(), 1u);
}

TEST(ScreenCaptureSource, StopTwiceDeliversOneUserStoppedAndIgnoresStopErrors) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.source->stop();
    h.source->stop();
    EXPECT_EQ(h.stops(), (std::vector<CaptureStopReason>{CaptureStopReason::userStopped()}));
    EXPECT_EQ(h.stream->stopCount(), 1);
    h.stream->emit(complete(1280, 720));
    EXPECT_EQ(h.seen().size(), 1u);
}

TEST(ScreenCaptureSource, PlatformStopIsMappedAndDeliveredOnce) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->fail(ScreenCaptureError::make(ScreenCaptureError::connectionInterrupted, "gone"));
    h.stream->fail(ScreenCaptureError::make(ScreenCaptureError::noCaptureSource, "gone"));
    h.source->stop();
    EXPECT_EQ(h.stops(), (std::vector<CaptureStopReason>{CaptureStopReason::interrupted("capture error -3805")}));
}

TEST(ScreenCaptureSource, ErrorsMapToStopReasons) {
    const auto map = [](int code) {
        return ScreenCaptureSource::stopReason(
            ScreenCaptureError::make(static_cast<ScreenCaptureError::Code>(code), ""));
    };
    EXPECT_EQ(map(-3817), CaptureStopReason::userStopped());
    EXPECT_EQ(map(-3801), CaptureStopReason::permissionDenied());
    EXPECT_EQ(map(-3813), CaptureStopReason::windowClosed());
    EXPECT_EQ(map(-3815), CaptureStopReason::windowClosed());
    EXPECT_EQ(map(-3805), CaptureStopReason::interrupted("capture error -3805"));
    EXPECT_EQ(map(-3804), CaptureStopReason::interrupted("capture error -3804"));
    EXPECT_EQ(map(-3811), CaptureStopReason::failed("capture error -3811"));
    EXPECT_EQ(ScreenCaptureSource::stopReason(ScreenCaptureError{"OtherDomain", -3817, ""}),
              CaptureStopReason::failed("capture error -3817"));
}

TEST(ScreenCaptureSource, FrameRateIsClampedAndNeverDividesByZero) {
    Harness h({1280, 720, 0, true, 3, 0, 0});
    EXPECT_EQ(h.source->settings().maxFPS, 0);
    ASSERT_TRUE(h.source->start(h.handler()));
    EXPECT_EQ(h.initial.minimumFrameIntervalNs, 1'000'000'000u);
    h.source->setMaxFPS(500);
    EXPECT_EQ(h.source->settings().maxFPS, 120);
    h.source->setMaxFPS(0);
    EXPECT_EQ(h.source->settings().maxFPS, 1);
    h.source->setMaxFPS(1); // unchanged: nothing sent
    const auto sent = h.stream->sentConfigurations();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].minimumFrameIntervalNs, 1'000'000'000u / 120);
    EXPECT_EQ(sent[1].minimumFrameIntervalNs, 1'000'000'000u);
    EXPECT_EQ(ScreenCaptureSource::streamConfiguration({640, 480, -5, false, 3, 0, 0}).minimumFrameIntervalNs,
              1'000'000'000u);
}

TEST(ScreenCaptureSource, ResizeFitsTheRasterAspectIntoTheBox) {
    const auto resized = [](int boxWidth, int boxHeight) {
        Harness h({1920, 1080, 60, true, 3, 1920, 1080});
        h.source->resize(boxWidth, boxHeight);
        const auto settings = h.source->settings();
        EXPECT_EQ(settings.fitBoxWidth, boxWidth);
        EXPECT_EQ(h.source->lastRefitNs(), h.now.load());
        return std::pair{settings.width, settings.height};
    };
    EXPECT_EQ(resized(1000, 1000), (std::pair{1000, 562}));
    EXPECT_EQ(resized(1280, 800), (std::pair{1280, 720}));
    EXPECT_EQ(resized(100, 40), (std::pair{70, 64}));

    // Without a fit box the raster is fitted once but the box stays unused.
    Harness plain({1920, 1080, 60, true, 3, 0, 0});
    plain.source->resize(960, 960);
    EXPECT_EQ(plain.source->settings(), (CaptureSettings{960, 540, 60, true, 3, 0, 0}));
    plain.source->resize(0, 500);
    EXPECT_EQ(plain.source->settings().width, 960);
}

TEST(ScreenCaptureSource, RasterFollowsTheContentAspectAtMostEvery400ms) {
    Harness h({1280, 720, 60, true, 3, 1280, 720});
    ASSERT_TRUE(h.source->start(h.handler()));
    // Within 2 % of 16:9: no refit.
    h.stream->emit(complete(1280, 720, ScreenRect{0, 0, 1300, 720}));
    EXPECT_EQ(h.source->settings().width, 1280);
    // Square content: 720 x 720.
    h.stream->emit(complete(1280, 720, ScreenRect{0, 0, 1000, 1000}));
    EXPECT_EQ(h.source->settings().width, 720);
    EXPECT_EQ(h.source->lastRefitNs(), h.now.load());
    const std::uint64_t refitAt = h.now.load();
    h.now = refitAt + ScreenCaptureSource::refitIntervalNs;
    h.stream->emit(complete(720, 720, ScreenRect{0, 0, 2000, 1000}));
    EXPECT_EQ(h.source->settings().width, 720);
    h.now = refitAt + ScreenCaptureSource::refitIntervalNs + 1;
    h.stream->emit(complete(720, 720, ScreenRect{0, 0, 2000, 1000}));
    EXPECT_EQ(h.source->settings().width, 1280);
    EXPECT_EQ(h.source->settings().height, 640);
    const auto sent = h.stream->sentConfigurations();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].width, 1280);
    EXPECT_EQ(sent[1].height, 640);
    // Samples that are not complete never refit.
    h.now = h.now.load() + 10 * ScreenCaptureSource::refitIntervalNs;
    ScreenCaptureSample idle = withStatus(1);
    idle.pixelBuffer = buffer(1280, 640);
    idle.contentRect = ScreenRect{0, 0, 100, 1000};
    h.stream->emit(idle);
    EXPECT_EQ(h.source->settings().width, 1280);
}

TEST(ScreenCaptureSource, ARefitHeldBackByTheIntervalHappensOnceItPasses) {
    Harness h({1280, 720, 60, true, 3, 1280, 720});
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(complete(1280, 720, ScreenRect{0, 0, 1000, 1000}));
    EXPECT_EQ(h.source->settings().width, 720);
    const std::uint64_t refitAt = h.now.load();
    // The window's last change comes 100 ms later; nothing is drawn after it.
    h.now = refitAt + 100'000'000;
    h.stream->emit(complete(720, 720, ScreenRect{0, 0, 2000, 1000}));
    EXPECT_EQ(h.source->settings().width, 720);
    h.now = refitAt + 500'000'000;
    EXPECT_TRUE(testing::eventually([&] { return h.source->settings().width != 720; }));
    EXPECT_EQ(h.source->settings().width, 1280);
    EXPECT_EQ(h.source->settings().height, 640);
    EXPECT_EQ(h.source->lastRefitNs(), refitAt + 500'000'000);
}

TEST(ScreenCaptureSource, FailedStartClearsTheHandler) {
    Harness h;
    h.startError = ScreenCaptureError::make(ScreenCaptureError::failedToStart, "no Composite");
    auto started = h.source->start(h.handler());
    ASSERT_FALSE(started);
    ASSERT_NE(started.error().as<CaptureStopReason>(), nullptr);
    EXPECT_EQ(*started.error().as<CaptureStopReason>(), CaptureStopReason::failed("capture error -3802"));
    h.stream->emit(complete(1280, 720));
    h.stream->fail(ScreenCaptureError::make(ScreenCaptureError::noCaptureSource, ""));
    h.source->stop();
    EXPECT_TRUE(h.seen().empty());
}

TEST(ScreenCaptureSource, AStreamThatCannotBeMadeIsReportedAsItIs) {
    Harness h;
    h.factoryError = ScreenCaptureError::make(ScreenCaptureError::invalidParameter, "raster");
    auto started = h.source->start(h.handler());
    ASSERT_FALSE(started);
    ASSERT_NE(started.error().as<ScreenCaptureError>(), nullptr);
    EXPECT_EQ(started.error().as<ScreenCaptureError>()->code, ScreenCaptureError::invalidParameter);
    h.source->stop();
    EXPECT_TRUE(h.seen().empty());
}

TEST(ScreenCaptureSource, StopDuringStartLeavesNoCaptureRunning) {
    Harness h;
    h.holdStart = true;
    auto made = h.streamMade.get_future();
    auto starting = std::async(std::launch::async, [&] { return h.source->start(h.handler()); });
    made.wait();
    h.stream->waitUntilStartAsked();
    h.source->stop();
    h.stream->releaseStart();
    const auto started = starting.get();
    ASSERT_FALSE(started);
    EXPECT_EQ(*started.error().as<CaptureStopReason>(), CaptureStopReason::userStopped());
    EXPECT_EQ(h.stream->stopCount(), 1);
    EXPECT_FALSE(h.source->isStreaming());
    h.stream->emit(complete(1280, 720));
    EXPECT_EQ(h.stops(), (std::vector<CaptureStopReason>{CaptureStopReason::userStopped()}));
    EXPECT_EQ(h.seen().size(), 1u);
}

TEST(ScreenCaptureSource, ChangesMadeWhileStartingReachTheStreamOnceItRuns) {
    Harness h;
    h.holdStart = true;
    auto made = h.streamMade.get_future();
    auto starting = std::async(std::launch::async, [&] { return h.source->start(h.handler()); });
    made.wait();
    h.stream->waitUntilStartAsked();
    h.source->setMaxFPS(30);
    EXPECT_EQ(h.source->settings().maxFPS, 30);
    EXPECT_TRUE(h.stream->sentConfigurations().empty());
    h.stream->releaseStart();
    ASSERT_TRUE(starting.get());
    const auto sent = h.stream->sentConfigurations();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].minimumFrameIntervalNs, 1'000'000'000u / 30);
}

TEST(ScreenCaptureSource, ARestartedSourceGoesOnCounting) {
    Harness h;
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(complete(1280, 720));
    h.source->stop();
    ASSERT_TRUE(h.source->start(h.handler()));
    h.stream->emit(complete(1280, 720));
    const auto events = h.seen();
    ASSERT_EQ(events.size(), 4u);
    ASSERT_NE(events[3].capturedFrame(), nullptr);
    EXPECT_EQ(events[3].capturedFrame()->sequence, 2u);
    EXPECT_EQ(events[3].capturedFrame()->captureEpoch, 1u);
}

TEST(ScreenCaptureSource, FitRasterKeepsSidesEvenAndAtLeast64) {
    EXPECT_EQ(ScreenCaptureSource::fitRaster(1920, 1080, 1000, 1000), (std::pair{1000, 562}));
    EXPECT_EQ(ScreenCaptureSource::fitRaster(1, 1, 1920, 1080), (std::pair{1080, 1080}));
    EXPECT_EQ(ScreenCaptureSource::fitRaster(2, 1, 1000, 1000), (std::pair{1000, 500}));
    EXPECT_EQ(ScreenCaptureSource::fitRaster(1000, 1, 1000, 1000), (std::pair{1000, 64}));
    EXPECT_EQ(ScreenCaptureSource::fitRaster(16, 9, 1001, 601), (std::pair{1000, 562}));
}

} // namespace
} // namespace quillmere

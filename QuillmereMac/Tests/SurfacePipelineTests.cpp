#include "TestSupport/TestValues.h"
#include "QuillmereMac/Capture/ResizableCaptureSource.h"
#include "QuillmereMac/Media/SurfacePipeline.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"
#include "Platform/Dispatch/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace quillmere {

namespace {

using testing::H264TestDecoder;
using testing::LogCapture;
using testing::RecordingConnection;
using testing::withParameterSets;
using namespace std::chrono_literals;

constexpr int W = 200;
constexpr int H = 100;
using testing::ms;
constexpr std::uint64_t T0 = 10'000 * ms;
constexpr std::uint32_t S = 5;

// A flat NV12 picture; a different luma is a different picture.
CapturedFrame frameAt(std::uint64_t t, std::uint8_t luma, std::optional<std::vector<Rect>> dirty = std::nullopt,
                      int width = W, int height = H) {
    auto buffer = PixelBuffer::make(PixelFormat::nv12VideoRange, width, height);
    EXPECT_TRUE(buffer.has_value());
    PixelBuffer& pixels = **buffer;
    pixels.lockBaseAddress(PixelBuffer::Lock::readWrite);
    for (int row = 0; row < height; ++row) std::memset(pixels.planeBaseAddress(0) + row * pixels.planeBytesPerRow(0), luma, width);
    for (int row = 0; row < height / 2; ++row)
        std::memset(pixels.planeBaseAddress(1) + row * pixels.planeBytesPerRow(1), 128, width);
    pixels.unlockBaseAddress(PixelBuffer::Lock::readWrite);
    CapturedFrame frame;
    frame.pixelBuffer = *buffer;
    frame.captureTimeNs = t;
    frame.captureEpoch = 1;
    frame.width = width;
    frame.height = height;
    frame.dirtyRects = std::move(dirty);
    return frame;
}

const std::vector<Rect> nothingChanged{};

// A source that only writes down the rate and box it is asked for.
class RecordingSource final : public ResizableCaptureSource {
public:
    const std::string& label() const override { return label_; }
    std::expected<void, CaptureStartError> start(CaptureEventHandler) override { return {}; }
    void stop() override {}
    void resize(int width, int height) override { boxes.emplace_back(width, height); }
    void setMaxFPS(int fps) override { rates.push_back(fps); }

    std::vector<int> rates;
    std::vector<std::pair<int, int>> boxes;

private:
    std::string label_ = "recording";
};

class SurfacePipelineTest : public ::testing::Test {
protected:
    LogCapture log;
    std::shared_ptr<RecordingConnection> connection = std::make_shared<RecordingConnection>();
    std::shared_ptr<SurfacePipeline> pipeline = make();
    CaptureEventHandler handler = pipeline->eventHandler();

    std::shared_ptr<SurfacePipeline> make(SurfacePipeline::EncoderMaker encoder = {}) {
        // Frames come when a test offers them: no refresh in between.
        return SurfacePipeline::make(S, connection, CaptureChoice::testPattern(),
                                     {nullptr, std::move(encoder), [] { return false; }, 3'600'000'000'000});
    }
    void remake(SurfacePipeline::EncoderMaker encoder) {
        pipeline = make(std::move(encoder));
        handler = pipeline->eventHandler();
    }

    // Hands a frame over as a capture queue does and waits for its decision.
    void offer(CapturedFrame frame) {
        handler(CaptureEvent::frame(std::move(frame)));
        pipeline->queue().sync([] {});
    }
    template <class F>
    auto onQueue(F f) {
        decltype(f(*pipeline)) result{};
        pipeline->queue().sync([&] { result = f(*pipeline); });
        return result;
    }
    void run(const std::function<void(SurfacePipeline&)>& f) {
        pipeline->queue().sync([&] { f(*pipeline); });
    }
    SurfacePipeline::Stats stats() {
        return onQueue([](SurfacePipeline& p) { return p.stats(); });
    }
    bool waitEncoded(std::int64_t count) {
        return testing::eventually([&] { return stats().encoded >= count; });
    }
    std::shared_ptr<RecordingSource> attachRecordingSource() {
        auto source = std::make_shared<RecordingSource>();
        EXPECT_TRUE(onQueue([&](SurfacePipeline& p) { return p.attach(source); }));
        return source;
    }
};

TEST_F(SurfacePipelineTest, TheFirstKeyframeAnnouncesAConfigurationButNothingIsSentBeforeSending) {
    offer(frameAt(T0, 50));
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return c.configs().size() == 1; }));
    const StreamConfig config = connection->configs()[0];
    EXPECT_EQ(config.surfaceID, S);
    EXPECT_EQ(config.configGeneration, 1u);
    EXPECT_EQ(config.width, W);
    EXPECT_EQ(config.height, H);
    EXPECT_EQ(config.fps, 60);
    EXPECT_EQ(config.bitrateKbps, SurfacePipeline::initialBitrateKbps);
    EXPECT_FALSE(config.parameterSets.empty());
    ASSERT_TRUE(waitEncoded(1));
    EXPECT_TRUE(connection->frames().empty());
    EXPECT_EQ(connection->contentChanges(), std::vector<std::uint32_t>{S}) << "changed content re-ranks the surface";
    EXPECT_EQ(stats().sent, 0);

    // Sending asks for a keyframe: it carries the boundary of the announced
    // configuration.
    run([](SurfacePipeline& p) { p.setSending(true); });
    offer(frameAt(T0 + 16 * ms, 60));
    offer(frameAt(T0 + 32 * ms, 70));
    ASSERT_TRUE(connection->waitForFrames(2));
    auto frames = connection->frames();
    EXPECT_EQ(frames[0].flags, MediaHeader::Flags::keyframe | MediaHeader::Flags::configChanged);
    EXPECT_EQ(frames[0].frameID, 1u);
    EXPECT_EQ(frames[0].configGeneration, 1u);
    EXPECT_EQ(frames[0].captureTimeNs, T0 + 16 * ms);
    EXPECT_TRUE(frames[1].flags.isEmpty());
    EXPECT_EQ(frames[1].frameID, 2u);

    // A later keyframe with the same parameter sets announces nothing.
    pipeline->requestKeyframe();
    offer(frameAt(T0 + 48 * ms, 80));
    ASSERT_TRUE(connection->waitForFrames(3));
    frames = connection->frames();
    EXPECT_EQ(frames[2].flags, MediaHeader::Flags::keyframe);
    EXPECT_EQ(connection->configs().size(), 1u);
    const auto s = stats();
    EXPECT_EQ(s.keyframes, 3);
    EXPECT_EQ(s.configs, 1);
    EXPECT_EQ(s.sent, 3);
}

TEST_F(SurfacePipelineTest, OnceSendingBeginsAKeyframeGoesFirst) {
    offer(frameAt(T0, 50));
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return c.configs().size() == 1; }));
    ASSERT_TRUE(waitEncoded(1));
    run([](SurfacePipeline& p) { p.setSending(true); });
    // A unit the encoder finished only now, of a frame taken before: it
    // depends on frames the client never got.
    EncodedAccessUnit late;
    late.data = Bytes{0, 0, 0, 1, 0x41, 0x9A};
    late.captureTimeNs = T0 + 16 * ms;
    run([&](SurfacePipeline& p) { p.handleOutput(late, p.generation()); });
    EncodedAccessUnit key;
    key.data = Bytes{0, 0, 0, 1, 0x65, 0x88};
    key.isKeyframe = true;
    key.parameterSets = connection->configs()[0].parameterSets;
    key.captureTimeNs = T0 + 32 * ms;
    run([&](SurfacePipeline& p) { p.handleOutput(late, p.generation()); });
    run([&](SurfacePipeline& p) { p.handleOutput(key, p.generation()); });
    run([&](SurfacePipeline& p) { p.handleOutput(late, p.generation()); });
    const auto frames = connection->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].isKeyframe());
    EXPECT_EQ(frames[0].frameID, 1u);
    EXPECT_FALSE(frames[1].isKeyframe());
}

TEST_F(SurfacePipelineTest, AStillPictureIsComparedButNeverEncodedAgain) {
    offer(frameAt(T0, 90));
    for (int i = 1; i <= 50; ++i) offer(frameAt(T0 + i * 16 * ms, 90));
    // Nothing changed and the client was told nothing: the dirty list says so.
    for (int i = 51; i <= 60; ++i) offer(frameAt(T0 + i * 16 * ms, 90, nothingChanged));
    ASSERT_TRUE(waitEncoded(1));
    const auto s = stats();
    EXPECT_EQ(s.captured, 61);
    EXPECT_EQ(s.unchanged, 60);
    // One submission: the first frame's.
    EXPECT_EQ(s.remembers, 1);
    EXPECT_EQ(s.encoded, 1);
    EXPECT_EQ(s.compares, 61);
}

// The frame held back goes later, but as the picture of the moment it was
// taken: a viewer times it, and a test pattern is read, by that moment.
TEST_F(SurfacePipelineTest, AChangePacedAwayGoesWithTheTimeItWasTaken) {
    run([](SurfacePipeline& p) {
        p.setSending(true);
        p.setTier(2, 1000);
    });
    offer(frameAt(T0, 50));
    offer(frameAt(T0 + 100 * ms, 90));
    EXPECT_EQ(stats().tierSkipped, 1);
    EXPECT_TRUE(testing::eventually([&] {
        const auto frames = connection->frames();
        return std::ranges::any_of(frames, [](const EncodedFrame& f) { return f.captureTimeNs == T0 + 100 * ms; });
    }));
}

TEST_F(SurfacePipelineTest, QuietSurfacesPassOneFrameIn75MillisecondsAndSlowTheirSource) {
    const auto source = attachRecordingSource();
    offer(frameAt(T0, 90, nothingChanged));
    for (int i = 1; i <= 30; ++i) offer(frameAt(T0 + i * 50 * ms, 90, nothingChanged));
    // Quiet from T0 + 1000 ms: of the frames 50 ms apart, every second one
    // is within 75 ms of the last one looked at.
    EXPECT_TRUE(onQueue([](SurfacePipeline& p) { return p.gate().quiet().isQuiet; }));
    EXPECT_EQ(stats().quietSkipped, 6);
    ASSERT_FALSE(source->rates.empty());
    EXPECT_EQ(source->rates.back(), 10);

    // A change that covers 0.5 % of the picture ends the quiet.
    offer(frameAt(T0 + 1600 * ms, 90, std::vector<Rect>{{0, 0, 10, 10}}));
    EXPECT_FALSE(onQueue([](SurfacePipeline& p) { return p.gate().quiet().isQuiet; }));
    EXPECT_EQ(source->rates.back(), 60);

    // Input ends it too.
    for (int i = 0; i <= 21; ++i) offer(frameAt(T0 + 1700 * ms + i * 50 * ms, 90, nothingChanged));
    ASSERT_TRUE(onQueue([](SurfacePipeline& p) { return p.gate().quiet().isQuiet; }));
    run([](SurfacePipeline& p) { p.noteInput(T0 + 2800 * ms); });
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.gate().quiet(); }), FrameGate::QuietState{});
    EXPECT_EQ(source->rates.back(), 60);
}

TEST_F(SurfacePipelineTest, ANewRasterReplacesTheEncoderAndItsLateOutputsAreStale) {
    int rasterChanges = 0;
    run([&](SurfacePipeline& p) { p.setRasterChanged([&](std::uint32_t) { ++rasterChanges; }); });
    offer(frameAt(T0, 50));
    ASSERT_TRUE(waitEncoded(1));
    EXPECT_EQ(rasterChanges, 0) << "a first encoder is no raster change";
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.generation(); }), 1u);

    offer(frameAt(T0 + 16 * ms, 50, std::nullopt, 160, 96));
    EXPECT_EQ(rasterChanges, 1);
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.generation(); }), 2u);
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.raster(); }), (SurfacePipeline::Raster{160, 96}));
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return c.configs().size() == 2; }));
    EXPECT_EQ(connection->configs()[1].configGeneration, 2u);
    EXPECT_EQ(connection->configs()[1].width, 160);

    EncodedAccessUnit late;
    late.data = Bytes{0, 0, 0, 1, 0x65};
    late.isKeyframe = true;
    const auto before = stats();
    run([&](SurfacePipeline& p) { p.handleOutput(late, 1); });
    EXPECT_EQ(stats().staleOutputs, before.staleOutputs + 1);
    EXPECT_EQ(stats().encoded, before.encoded);
}

TEST_F(SurfacePipelineTest, AnEncoderThatCannotBeMadeEndsTheSurface) {
    remake([](EncoderConfig, VideoEncoder::Output) -> std::expected<std::shared_ptr<VideoEncoder>, EncoderError> {
        return std::unexpected(EncoderError::hardwareUnavailable());
    });
    offer(frameAt(T0, 50));
    EXPECT_EQ(connection->ended(), (std::vector<std::uint32_t>{S}));
    EXPECT_FALSE(onQueue([](SurfacePipeline& p) { return p.hasEncoder(); }));
    const auto lines = log.lines("pipeline");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "encoder unavailable: " + EncoderError::hardwareUnavailable().description());
}

TEST_F(SurfacePipelineTest, EncodersAreMadeForTheSurfacesRateAndTheRateControlSetting) {
    connection->setCapabilities(Capabilities{{}, 1920, 1080, 200, 1, {}, 1200});
    std::vector<EncoderConfig> made;
    remake([&](EncoderConfig config, VideoEncoder::Output output) {
        made.push_back(config);
        return VideoEncoder::make(config, std::move(output));
    });
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.fps(); }), 120);
    run([](SurfacePipeline& p) { p.setBitrate(7000); });
    offer(frameAt(T0, 50));
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].fps, 120);
    EXPECT_EQ(made[0].bitrateKbps, 7000u);
    EXPECT_EQ(made[0].maxInFlight, 2);
    EXPECT_TRUE(made[0].lowLatencyRateControl);

    connection->setCapabilities(Capabilities{{}, 1920, 1080, 0, 1, {}, 1200});
    EXPECT_EQ(make()->fps(), 1);
    connection->setCapabilities(std::nullopt);
    EXPECT_EQ(make()->fps(), 60);
}

TEST_F(SurfacePipelineTest, CaptureStopsEndTheSurfaceUnlessAnInterruptionCanBeRetried) {
    std::vector<std::uint32_t> interrupted;
    handler(CaptureEvent::stopped(CaptureStopReason::interrupted("display asleep")));
    pipeline->queue().sync([] {});
    EXPECT_EQ(connection->ended(), (std::vector<std::uint32_t>{S})) << "nobody to retry it";

    run([&](SurfacePipeline& p) { p.setCaptureInterrupted([&](std::uint32_t id) { interrupted.push_back(id); }); });
    handler(CaptureEvent::stopped(CaptureStopReason::interrupted("display asleep")));
    pipeline->queue().sync([] {});
    EXPECT_EQ(interrupted, (std::vector<std::uint32_t>{S}));
    EXPECT_EQ(connection->ended().size(), 1u);

    handler(CaptureEvent::stopped(CaptureStopReason::windowClosed()));
    pipeline->queue().sync([] {});
    EXPECT_EQ(connection->ended().size(), 2u);
    EXPECT_EQ(log.lines("pipeline").back(), "capture stopped: " + CaptureStopReason::windowClosed().description());

    // A stopped pipeline ignores the stop its own source reports.
    run([](SurfacePipeline& p) { p.stop(); });
    handler(CaptureEvent::stopped(CaptureStopReason::userStopped()));
    pipeline->queue().sync([] {});
    EXPECT_EQ(connection->ended().size(), 2u);
}

TEST_F(SurfacePipelineTest, StopHandsTheSourceBackOnceAndLetsNothingThrough) {
    const auto source = attachRecordingSource();
    offer(frameAt(T0, 50));
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.stop(); }), source);
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.stop(); }), nullptr);
    EXPECT_FALSE(onQueue([&](SurfacePipeline& p) { return p.attach(source); }));
    EXPECT_FALSE(onQueue([](SurfacePipeline& p) { return p.hasEncoder(); }));
    const auto before = stats();
    offer(frameAt(T0 + 16 * ms, 60));
    EXPECT_EQ(stats(), before);
    // Whatever the old encoder still delivers counts as stale.
    EncodedAccessUnit late;
    late.data = Bytes{0, 0, 0, 1, 0x41};
    run([&](SurfacePipeline& p) { p.handleOutput(late, p.generation()); });
    EXPECT_EQ(stats().staleOutputs, before.staleOutputs + 1);
}

TEST_F(SurfacePipelineTest, TheSourceRateFollowsPauseQuietAndTier) {
    connection->setCapabilities(Capabilities{{}, 1920, 1080, 30, 1, {}, 1200});
    remake({});
    const auto source = attachRecordingSource();
    run([](SurfacePipeline& p) { p.applySourceRate(); });
    run([](SurfacePipeline& p) { p.setPaused(true); });
    run([](SurfacePipeline& p) { p.setPaused(false); });
    run([](SurfacePipeline& p) { p.setTier(5, 1000); });
    run([](SurfacePipeline& p) { p.setTier(20, 1000); });
    run([](SurfacePipeline& p) { p.setTier(90, 1000); });
    EXPECT_EQ(source->rates, (std::vector<int>{30, 1, 30, 10, 20, 30}));
    EXPECT_EQ(onQueue([](SurfacePipeline& p) { return p.tierFPS(); }), 30);

    // Paused frames are taken and let go.
    run([](SurfacePipeline& p) { p.setPaused(true); });
    offer(frameAt(T0, 50));
    EXPECT_EQ(stats().captured, 1);
    EXPECT_FALSE(onQueue([](SurfacePipeline& p) { return p.hasEncoder(); }));

    run([](SurfacePipeline& p) { p.resize(RequestedBox{640, 360}); });
    EXPECT_EQ(source->boxes, (std::vector<std::pair<int, int>>{{640, 360}}));

    // Frames the tier paces away are counted as such.
    run([](SurfacePipeline& p) { p.setPaused(false); });
    offer(frameAt(T0 + 100 * ms, 60));
    offer(frameAt(T0 + 101 * ms, 70));
    EXPECT_EQ(stats().tierSkipped, 1);
}

TEST_F(SurfacePipelineTest, APerformanceReadResetsTheLargestFrameSizesOnly) {
    run([](SurfacePipeline& p) { p.setTier(50, 9000); });
    offer(frameAt(T0, 50));
    ASSERT_TRUE(waitEncoded(1));
    const auto first = onQueue([](SurfacePipeline& p) { return p.perfSnapshot(); });
    EXPECT_GT(first.stats.maxFrameBytes, 0);
    EXPECT_EQ(first.stats.maxFrameBytes, first.stats.maxKeyframeBytes);
    EXPECT_EQ(first.fps, 50);
    EXPECT_EQ(first.bitrateKbps, 9000u);
    EXPECT_EQ(first.width, W);
    const auto second = onQueue([](SurfacePipeline& p) { return p.perfSnapshot(); });
    EXPECT_EQ(second.stats.maxFrameBytes, 0);
    EXPECT_EQ(second.stats.maxKeyframeBytes, 0);
    EXPECT_EQ(second.stats.maxEncodeLatencyNs, first.stats.maxEncodeLatencyNs);
    EXPECT_EQ(second.stats.encodedBytes, first.stats.encodedBytes);
}

// A detailed picture that then stands still: the refinements the gate asks
// for sharpen what the client decodes, and once the encoder has it as sharp
// as it gets, no refinement is due and no timer is left.
TEST_F(SurfacePipelineTest, AStillPictureIsRefinedUntilSharpAndThenLeftAlone) {
    constexpr int width = 320, height = 192;
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            buffer->planeBaseAddress(0)[y * buffer->planeBytesPerRow(0) + x] = ((x / 2) * 7 + (y / 3) * 13) % 5 < 2 ? 220 : 30;
    }
    for (int y = 0; y < height / 2; ++y) std::memset(buffer->planeBaseAddress(1) + y * buffer->planeBytesPerRow(1), 128, width);
    CapturedFrame still;
    still.pixelBuffer = buffer;
    still.width = width;
    still.height = height;
    still.captureTimeNs = Clock::nowNs();
    run([](SurfacePipeline& p) {
        p.setSending(true);
        p.setBitrate(4000);
    });
    offer(still);
    ASSERT_TRUE(testing::eventually(
        [&] {
            return onQueue([](SurfacePipeline& p) {
                return p.stats().refinements > 0 && p.stats().encoded == p.stats().refinements + 1 &&
                       !p.gate().refinementDue(false);
            });
        },
        10s));
    const auto s = stats();
    EXPECT_LE(s.refinements, FrameGate::maxRefinements);
    EXPECT_EQ(s.sent, s.refinements + 1);

    H264TestDecoder decoder;
    const auto frames = connection->frames();
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(s.sent));
    auto error = [&](const std::vector<testing::DecodedPicture>& pictures) {
        EXPECT_EQ(pictures.size(), 1u);
        double sum = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                sum += std::abs(pictures[0].at(x, y) - buffer->planeBaseAddress(0)[y * buffer->planeBytesPerRow(0) + x]);
        return sum / (width * height);
    };
    const double first = error(decoder.decode(withParameterSets(connection->configs().back().parameterSets, frames[0].data)));
    for (std::size_t i = 1; i + 1 < frames.size(); ++i) decoder.decode(frames[i].data);
    const double last = error(decoder.decode(frames.back().data));
    EXPECT_LT(last, first / 4) << "mean error " << first << " after the keyframe, " << last << " at the end";
    EXPECT_LT(last, 0.5);
    EXPECT_EQ(decoder.errors, 0);
}

TEST(SurfacePipelineDirtyFraction, CountsEveryRectangleAgainstTheWholeFrame) {
    CapturedFrame frame;
    frame.width = 100;
    frame.height = 50;
    EXPECT_EQ(SurfacePipeline::dirtyFraction(frame), std::nullopt);
    frame.dirtyRects = std::vector<Rect>{};
    EXPECT_EQ(SurfacePipeline::dirtyFraction(frame), 0.0);
    frame.dirtyRects = std::vector<Rect>{{0, 0, 10, 10}, {5, 5, 10, 10}};
    EXPECT_DOUBLE_EQ(*SurfacePipeline::dirtyFraction(frame), 0.04);
    frame.width = 0;
    EXPECT_EQ(SurfacePipeline::dirtyFraction(frame), std::nullopt);
}

TEST(SurfacePipelineStillPicture, AWantedKeyframeOfAStillPictureIsEncodedFromTheNewestFrame) {
    LogCapture log;
    auto connection = std::make_shared<RecordingConnection>();
    auto pipeline = SurfacePipeline::make(S, connection, CaptureChoice::display(0), {nullptr, {}, [] { return false; }, 20 * ms});
    const auto handler = pipeline->eventHandler();
    handler(CaptureEvent::frame(frameAt(T0, 50)));
    handler(CaptureEvent::frame(frameAt(T0 + 16 * ms, 90)));
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return !c.configs().empty(); }));

    // Nothing changes on screen any more, yet the client starts streaming.
    const std::uint64_t started = Clock::nowNs();
    pipeline->queue().sync([&] { pipeline->setSending(true); });
    ASSERT_TRUE(connection->waitForFrames(1));
    EncodedFrame keyframe = connection->frames()[0];
    EXPECT_TRUE(keyframe.isKeyframe());
    EXPECT_GE(keyframe.captureTimeNs, started) << "stamped when it was taken again";

    // The same after a loss: the client asks for a keyframe, and gets one.
    pipeline->requestKeyframe();
    ASSERT_TRUE(connection->waitForFrames(2));
    EXPECT_TRUE(connection->frames()[1].isKeyframe());
    H264TestDecoder decoder;
    const auto pictures = decoder.decode(withParameterSets(connection->configs().back().parameterSets,
                                                           connection->frames()[1].data));
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NEAR(pictures[0].at(W / 2, H / 2), 90, 4);

    // Paused, nothing is sent: once the wanted keyframe's refresh is past (a
    // later task on the queue marks it), the first frame after resuming is
    // one taken since.
    pipeline->queue().sync([&] { pipeline->setPaused(true); });
    pipeline->requestKeyframe();
    pipeline->queue().sync([] {});
    std::promise<void> pastRefresh;
    pipeline->queue().asyncAfter(40 * ms, [&] { pastRefresh.set_value(); });
    pastRefresh.get_future().wait();
    EXPECT_EQ(connection->frames().size(), 2u);
    const std::uint64_t resumed = Clock::nowNs();
    pipeline->queue().sync([&] { pipeline->setPaused(false); });
    pipeline->requestKeyframe();
    ASSERT_TRUE(connection->waitForFrames(3));
    EXPECT_TRUE(connection->frames()[2].isKeyframe());
    EXPECT_GE(connection->frames()[2].captureTimeNs, resumed);
    pipeline->queue().sync([&] { pipeline->stop(); });
}

} // namespace
} // namespace quillmere

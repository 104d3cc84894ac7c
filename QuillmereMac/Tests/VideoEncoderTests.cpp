#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Capture/DirtyArea.h"
#include "QuillmereMac/Encoder/EncoderLibavcodec.h"
#include "QuillmereMac/Encoder/EncoderX264.h"
#include "QuillmereMac/Encoder/VideoEncoder.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::H264TestDecoder;
using Kind = VideoEncoder::Submission::Kind;

constexpr std::uint64_t frameNs = 16'666'666;

// Gathers what the encoder hands back on its own thread; a test may hold the
// encoder's thread inside the output by closing the gate.
class Collector {
public:
    VideoEncoder::Output output() {
        return [this](VideoEncoder::Result result) {
            std::unique_lock lock(mutex_);
            results_.push_back(std::move(result));
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_; });
        };
    }

    std::vector<VideoEncoder::Result> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 60s, [&] { return results_.size() >= count; });
        return results_;
    }

    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<VideoEncoder::Result> results_;
    std::vector<std::thread::id> threads_;
    bool open_ = true;
};

EncoderConfig configFor(int width, int height, std::uint32_t kbps) {
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = 60;
    config.bitrateKbps = kbps;
    config.maxKeyframeIntervalSeconds = 30;
    config.maxInFlight = 2;
    return config;
}

CapturedFrame frameOf(PixelBufferRef buffer, std::uint64_t index) {
    CapturedFrame frame;
    frame.width = buffer->width();
    frame.height = buffer->height();
    frame.pixelBuffer = std::move(buffer);
    frame.captureTimeNs = 5'000'000'000 + index * frameNs;
    frame.captureEpoch = 3;
    frame.sequence = index;
    return frame;
}

CapturedFrame patternFrame(PixelBufferPool& pool, std::uint64_t n) {
    auto buffer = *pool.createPixelBuffer();
    TestPatternSource::drawPattern(*buffer, n);
    return frameOf(std::move(buffer), n);
}

// Luma noise that no encoder can squeeze below its bit rate.
CapturedFrame noiseFrame(PixelBufferPool& pool, std::uint64_t n) {
    auto buffer = *pool.createPixelBuffer();
    std::uint32_t state = static_cast<std::uint32_t>(n * 2654435761u + 1);
    for (int row = 0; row < buffer->planeHeight(0); ++row) {
        std::uint8_t* line = buffer->planeBaseAddress(0) + row * buffer->planeBytesPerRow(0);
        for (int x = 0; x < buffer->planeWidth(0); ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[x] = static_cast<std::uint8_t>(16 + state % 220);
        }
    }
    for (int row = 0; row < buffer->planeHeight(1); ++row)
        std::memset(buffer->planeBaseAddress(1) + row * buffer->planeBytesPerRow(1), 128, buffer->planeBytesPerRow(1));
    return frameOf(std::move(buffer), n);
}

bool contains(const std::vector<int>& types, int type) { return std::find(types.begin(), types.end(), type) != types.end(); }

TEST(VideoEncoder, SixtyPatternFramesDecodeBackToTheirNumbers) {
    Collector collector;
    auto encoder = VideoEncoder::make(configFor(1280, 720, 6000), collector.output());
    ASSERT_TRUE(encoder) << encoder.error().description();
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 1280, 720, 3);

    for (std::uint64_t n = 1; n <= 60; ++n) {
        ASSERT_EQ((*encoder)->encode(patternFrame(*pool, n), n == 31), VideoEncoder::Submission::submitted());
        collector.waitFor(n);
    }
    const auto results = collector.waitFor(60);
    ASSERT_EQ(results.size(), 60u);

    H264TestDecoder decoder;
    for (std::uint64_t n = 1; n <= 60; ++n) {
        ASSERT_TRUE(results[n - 1]) << "frame " << n << " failed: " << results[n - 1].error().status;
        const EncodedAccessUnit& unit = *results[n - 1];
        EXPECT_EQ(unit.frameIndex, n);
        EXPECT_EQ(unit.captureTimeNs, 5'000'000'000 + n * frameNs);
        EXPECT_EQ(unit.captureEpoch, 3u);
        EXPECT_LE(unit.submittedAtNs, unit.encodedAtNs);
        ASSERT_EQ(std::vector<std::uint8_t>(unit.data.begin(), unit.data.begin() + 4), (Bytes{0, 0, 0, 1}));

        const auto types = testing::nalTypes(unit.data);
        EXPECT_FALSE(contains(types, 7) || contains(types, 8)) << "parameter sets left in frame " << n;
        const bool keyframe = n == 1 || n == 31;
        EXPECT_EQ(unit.isKeyframe, keyframe) << "frame " << n;
        if (keyframe) {
            ASSERT_TRUE(unit.parameterSets);
            ASSERT_EQ(unit.parameterSets->size(), 2u);
            EXPECT_EQ((*unit.parameterSets)[0][0] & 0x1F, 7);
            EXPECT_EQ((*unit.parameterSets)[1][0] & 0x1F, 8);
            EXPECT_TRUE(contains(types, 5)) << "keyframe " << n << " is not an IDR";
        } else {
            EXPECT_FALSE(unit.parameterSets.has_value()) << "frame " << n;
            EXPECT_FALSE(contains(types, 5)) << "frame " << n;
        }

        const Bytes stream = keyframe ? testing::withParameterSets(*unit.parameterSets, unit.data) : unit.data;
        const auto pictures = decoder.decode(stream);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << n;
        EXPECT_EQ(pictures[0].width, 1280);
        EXPECT_EQ(pictures[0].height, 720);
        EXPECT_EQ(testing::readStrip(pictures[0]), n);
    }
    EXPECT_EQ(decoder.errors, 0);
    EXPECT_EQ((*encoder)->lastParameterSets(), *results[30]->parameterSets);
    EXPECT_EQ((*encoder)->counters(), (VideoEncoder::Counters{0, 60, 0, 60, 0, 0}));
    // Every result came on the encoder's own thread.
    for (const auto& id : collector.threads()) EXPECT_NE(id, std::this_thread::get_id());
}

// A pipeline that gives its own queue gets every frame encoded there once
// its turn ends, never inside the encode call, and the same pictures.
TEST(VideoEncoder, OnAGivenQueueEncodesAfterTheCallersTurnAndOutputsThere) {
    auto queue = std::make_shared<SerialQueue>("test.encoder.given");
    std::vector<std::string> labels;
    std::vector<VideoEncoder::Result> results;
    bool insideEncode = false;
    int outputsInsideEncode = 0;
    auto made = VideoEncoder::make(
        configFor(320, 240, 1500),
        [&](VideoEncoder::Result result) {
            // Only ever on the queue: no lock needed beside it.
            labels.push_back(SerialQueue::currentLabel());
            outputsInsideEncode += insideEncode ? 1 : 0;
            results.push_back(std::move(result));
        },
        queue);
    ASSERT_TRUE(made);
    const std::shared_ptr<VideoEncoder> encoder = *made;
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 320, 240, 3);
    for (std::uint64_t n = 1; n <= 6; ++n) {
        queue->sync([&] {
            insideEncode = true;
            EXPECT_EQ(encoder->encode(patternFrame(*pool, n), false), VideoEncoder::Submission::submitted());
            insideEncode = false;
        });
    }
    // Submitted, then invalidated in the same turn: nothing more comes out.
    queue->sync([&] {
        EXPECT_EQ(encoder->encode(patternFrame(*pool, 7), false), VideoEncoder::Submission::submitted());
        encoder->invalidate();
    });
    queue->sync([] {});

    ASSERT_EQ(results.size(), 6u);
    EXPECT_EQ(outputsInsideEncode, 0);
    H264TestDecoder decoder;
    for (std::uint64_t n = 1; n <= 6; ++n) {
        EXPECT_EQ(labels[n - 1], "test.encoder.given");
        ASSERT_TRUE(results[n - 1]);
        const EncodedAccessUnit& unit = *results[n - 1];
        const Bytes stream = n == 1 ? testing::withParameterSets(*unit.parameterSets, unit.data) : unit.data;
        const auto pictures = decoder.decode(stream);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << n;
        EXPECT_EQ(testing::readStrip(pictures[0]), n);
    }
    EXPECT_EQ(decoder.errors, 0);
}

TEST(VideoEncoder, ABitRateChangeChangesTheOutputRate) {
    Collector collector;
    auto encoder = VideoEncoder::make(configFor(640, 360, 3000), collector.output());
    ASSERT_TRUE(encoder);
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 640, 360, 3);
    auto run = [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t n = first; n <= last; ++n) {
            ASSERT_EQ((*encoder)->encode(noiseFrame(*pool, n), false).kind, Kind::submitted);
            collector.waitFor(n);
        }
    };
    run(1, 60);
    ASSERT_TRUE((*encoder)->setBitrate(300));
    EXPECT_EQ((*encoder)->config().bitrateKbps, 3000u);
    run(61, 120);

    const auto results = collector.waitFor(120);
    ASSERT_EQ(results.size(), 120u);
    // The last half second of each rate, in kbit/s.
    auto rate = [&](std::size_t from) {
        std::size_t bytes = 0;
        for (std::size_t i = from; i < from + 30; ++i) bytes += results[i]->data.size();
        return static_cast<double>(bytes) * 8 * 2 / 1000;
    };
    const double high = rate(30);
    const double low = rate(90);
    EXPECT_GT(high, 3000 * 0.6);
    EXPECT_LT(high, 3000 * 1.4);
    EXPECT_LT(low, 300 * 1.5);
    EXPECT_GT(high / low, 4);
}

TEST(VideoEncoder, RefusesFramesBeyondTheInFlightLimitUntilOneComesBack) {
    Collector collector;
    auto made = VideoEncoder::make(configFor(128, 96, 500), collector.output());
    ASSERT_TRUE(made);
    auto& encoder = *made;
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 128, 96, 3);

    // Hold the encoder's thread inside the first output.
    collector.close();
    ASSERT_EQ(encoder->encode(patternFrame(*pool, 1), false).kind, Kind::submitted);
    collector.waitFor(1);
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 2), false).kind, Kind::submitted);
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 3), false).kind, Kind::submitted);
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 4), false).kind, Kind::busy);
    EXPECT_EQ(encoder->counters(), (VideoEncoder::Counters{2, 3, 1, 1, 0, 0}));

    collector.open();
    collector.waitFor(3);
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 5), false).kind, Kind::submitted);
    const auto results = collector.waitFor(4);
    ASSERT_EQ(results.size(), 4u);
    // The refused frame took no index.
    EXPECT_EQ(results[3]->frameIndex, 4u);
    EXPECT_EQ(encoder->counters(), (VideoEncoder::Counters{0, 4, 1, 4, 0, 0}));
}

TEST(VideoEncoder, NothingComesOutAfterInvalidation) {
    Collector collector;
    auto made = VideoEncoder::make(configFor(128, 96, 500), collector.output());
    ASSERT_TRUE(made);
    auto& encoder = *made;
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 128, 96, 3);

    collector.close();
    encoder->encode(patternFrame(*pool, 1), false);
    collector.waitFor(1);
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 2), false).kind, Kind::submitted);
    encoder->invalidate();
    encoder->invalidate();
    const auto before = encoder->counters();
    EXPECT_EQ(encoder->encode(patternFrame(*pool, 3), false).kind, Kind::invalidated);
    EXPECT_FALSE(encoder->setBitrate(1000));
    EXPECT_EQ(encoder->counters(), before);
    collector.open();

    // The encoder's thread may hold the last reference for a moment; once
    // the encoder is gone, every buffer is back in the pool.
    encoder.reset();
    EXPECT_TRUE(testing::eventually([&] { return pool->freeCount() == pool->allocatedCount(); }));
    // Frame 2 never came out.
    EXPECT_EQ(collector.waitFor(1).size(), 1u);
}

TEST(VideoEncoder, RefusesBuffersItCannotTakeAndFreesTheirSlot) {
    Collector collector;
    auto made = VideoEncoder::make(configFor(128, 96, 500), collector.output());
    ASSERT_TRUE(made);
    auto& encoder = *made;

    auto wrongSize = *PixelBuffer::make(PixelFormat::nv12VideoRange, 130, 96);
    EXPECT_EQ(encoder->encode(frameOf(wrongSize, 1), false), VideoEncoder::Submission::failed(-EINVAL));
    EXPECT_EQ(encoder->encode(CapturedFrame{}, false), VideoEncoder::Submission::failed(-EINVAL));
    std::vector<std::uint8_t> luma(128 * 96);
    auto noChroma = *PixelBuffer::wrap(PixelFormat::nv12VideoRange, 128, 96,
                                      {{luma.data(), 128, 96, 128}, {nullptr, 64, 48, 128}});
    EXPECT_EQ(encoder->encode(frameOf(noChroma, 1), false), VideoEncoder::Submission::failed(-EINVAL));
    auto beingWritten = *PixelBuffer::make(PixelFormat::nv12VideoRange, 128, 96);
    beingWritten->lockBaseAddress(PixelBuffer::Lock::readWrite);
    EXPECT_EQ(encoder->encode(frameOf(beingWritten, 1), false),
              VideoEncoder::Submission::failed(PixelBufferStatus::error));
    EXPECT_EQ(encoder->counters(), (VideoEncoder::Counters{0, 4, 0, 0, 4, 0}));
    EXPECT_TRUE(collector.waitFor(0).empty());
}

TEST(VideoEncoder, ConvertsBGRAFrames) {
    Collector collector;
    auto made = VideoEncoder::make(configFor(128, 96, 2000), collector.output());
    ASSERT_TRUE(made);
    // White left half, black right half.
    auto bgra = *PixelBuffer::make(PixelFormat::bgra, 128, 96);
    for (int row = 0; row < 96; ++row) {
        std::uint8_t* line = bgra->baseAddress() + row * bgra->bytesPerRow();
        std::memset(line, 255, 64 * 4);
        std::memset(line + 64 * 4, 0, 64 * 4);
    }
    ASSERT_EQ((*made)->encode(frameOf(bgra, 1), false).kind, Kind::submitted);
    const auto results = collector.waitFor(1);
    ASSERT_TRUE(results[0]);
    H264TestDecoder decoder;
    const auto pictures = decoder.decode(testing::withParameterSets(*results[0]->parameterSets, results[0]->data));
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NEAR(pictures[0].at(10, 50), 235, 4);
    EXPECT_NEAR(pictures[0].at(110, 50), 16, 4);
    // The encoder lets go of the frame's own buffer once it has its copy.
    EXPECT_TRUE(testing::eventually(
        [&] { return bgra->lockBaseAddress(PixelBuffer::Lock::readWrite) == PixelBufferStatus::success; }));
}

TEST(VideoEncoder, RecordsElevenSettingsInOrder) {
    Collector collector;
    auto made = VideoEncoder::make(configFor(320, 240, 1500), collector.output());
    ASSERT_TRUE(made);
    const auto& properties = (*made)->properties();
    const std::vector<std::string> names{"RealTime",
                                         "AllowFrameReordering",
                                         "ProfileLevel",
                                         "MaxFrameDelayCount",
                                         "ExpectedFrameRate",
                                         "AverageBitRate",
                                         "MaxKeyFrameIntervalDuration",
                                         "MaxKeyFrameInterval",
                                         "ColorPrimaries",
                                         "TransferFunction",
                                         "YCbCrMatrix"};
    ASSERT_EQ(properties.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(properties[i].name, names[i]);
    if ((*made)->usingHardware()) GTEST_SKIP() << (*made)->hardwareEvidence();

    EXPECT_EQ(properties[0].readBack, "zerolatency");
    EXPECT_EQ(properties[1].readBack, "0");
    EXPECT_EQ(properties[4].readBack, "60/1");
    EXPECT_EQ(properties[5].readBack, "1500000");
    EXPECT_EQ(properties[6].readBack, "30");
    EXPECT_EQ(properties[7].readBack, "1800");
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_TRUE(properties[i].supported) << names[i];
        EXPECT_EQ(properties[i].status, 0) << names[i];
    }
}

TEST(VideoEncoder, FallsBackToSoftwareOnlyForH264) {
    if (!EncoderLibavcodec::renderNodes().empty()) GTEST_SKIP() << "this machine has a render node";
    Collector collector;
    auto made = VideoEncoder::make(configFor(320, 240, 1500), collector.output());
    ASSERT_TRUE(made);
    EXPECT_FALSE((*made)->usingHardware());
    EXPECT_EQ((*made)->hardwareEvidence(), "libx264 in software: no render node");

    EXPECT_FALSE(VideoEncoder::hevcHardwareAvailable());
    auto hevc = configFor(320, 240, 1500);
    hevc.codec = EncoderConfig::Codec::hevc;
    EXPECT_EQ(VideoEncoder::make(hevc, collector.output()).error(), EncoderError::codecNotQualified());
}

TEST(VideoEncoder, ReportsWhyItCannotBeMade) {
    Collector collector;
    EXPECT_EQ(VideoEncoder::make(configFor(0, 240, 1500), collector.output()).error().kind(),
              EncoderError::Kind::sessionCreation);
    // 4:2:0 needs even sides; the codec refuses to open.
    const auto odd = VideoEncoder::make(configFor(321, 240, 1500), collector.output());
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().kind(), EncoderError::Kind::prepare);
    EXPECT_LT(odd.error().status(), 0);

    EXPECT_EQ(EncoderError::sessionCreation(-12902).description(), "VTCompressionSessionCreate failed (-12902)");
    EXPECT_EQ(EncoderError::prepare(-22).description(), "VTCompressionSessionPrepareToEncodeFrames failed (-22)");
    EXPECT_EQ(EncoderError::hardwareUnavailable().description(), "hardware H.264 encoder unavailable");
    EXPECT_EQ(EncoderError::codecNotQualified().description(), "HEVC hardware encode is not available on this computer");
}

// A square moves over a still, detailed background; the encoder is told what
// changed. The decoded pictures must match the source everywhere, and a map
// that calls the square's blocks constant must show as stale pictures.
TEST(VideoEncoder, SkipsOnlyMacroblocksToldConstant) {
    enum class Told : std::uint8_t { nothing, squareMoves, squareStill };
    struct Row {
        const char* name;
        Told told;
        bool matches;
    };
    const Row rows[] = {
        {"unknown change", Told::nothing, true},
        {"the square's old and new place", Told::squareMoves, true},
        {"nothing changed (wrong)", Told::squareStill, false},
    };
    constexpr int width = 256, height = 128, side = 32, frames = 8;
    auto squareAt = [](int n) { return Rect{24.0 + 12 * n, 40, side, side}; };
    auto draw = [&](PixelBuffer& buffer, int n) {
        const Rect square = squareAt(n);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* line = buffer.planeBaseAddress(0) + y * buffer.planeBytesPerRow(0);
            for (int x = 0; x < width; ++x) {
                const bool inside = x >= square.x && x < square.x + side && y >= square.y && y < square.y + side;
                line[x] = inside ? 235 : static_cast<std::uint8_t>(40 + ((x / 4 + y / 4) % 2) * 120);
            }
        }
        for (int row = 0; row < buffer.planeHeight(1); ++row)
            std::memset(buffer.planeBaseAddress(1) + row * buffer.planeBytesPerRow(1), 128, buffer.planeBytesPerRow(1));
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Collector collector;
        auto made = VideoEncoder::make(configFor(width, height, 4000), collector.output());
        ASSERT_TRUE(made);
        auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, width, height, 3);
        H264TestDecoder decoder;
        int worstBlockError = 0;
        for (int n = 0; n < frames; ++n) {
            auto buffer = *pool->createPixelBuffer();
            draw(*buffer, n);
            std::vector<std::uint8_t> source(buffer->planeBaseAddress(0),
                                             buffer->planeBaseAddress(0) + buffer->planeBytesPerRow(0) * height);
            const std::size_t stride = buffer->planeBytesPerRow(0);
            const DirtyArea changed = row.told == Told::squareMoves ? DirtyArea::rects({squareAt(n - 1), squareAt(n)})
                                                                    : DirtyArea::rects({});
            const DirtyArea* told = row.told == Told::nothing ? nullptr : &changed;
            ASSERT_EQ((*made)->encode(frameOf(std::move(buffer), static_cast<std::uint64_t>(n)), false, told).kind,
                      Kind::submitted);
            const auto results = collector.waitFor(static_cast<std::size_t>(n) + 1);
            ASSERT_EQ(results.size(), static_cast<std::size_t>(n) + 1);
            ASSERT_TRUE(results[n]);
            const EncodedAccessUnit& unit = *results[n];
            const auto pictures =
                decoder.decode(unit.parameterSets ? testing::withParameterSets(*unit.parameterSets, unit.data) : unit.data);
            ASSERT_EQ(pictures.size(), 1u);
            // The mean error of each 16x16 block.
            for (int by = 0; by < height; by += 16) {
                for (int bx = 0; bx < width; bx += 16) {
                    int sum = 0;
                    for (int y = by; y < by + 16; ++y)
                        for (int x = bx; x < bx + 16; ++x) sum += std::abs(pictures[0].at(x, y) - source[y * stride + x]);
                    worstBlockError = std::max(worstBlockError, sum / 256);
                }
            }
        }
        EXPECT_EQ(worstBlockError <= 6, row.matches) << "worst block's mean error " << worstBlockError;
    }
}

// Small changes drive the quantizer down; the keyframe the interval brings
// must still be priced as one, not at the small changes' quantizer.
TEST(VideoEncoder, IntervalKeyframesStayWithinAKeyframesBudget) {
    constexpr int width = 256, height = 128, interval = 30;
    constexpr std::uint32_t kbps = 100;
    auto config = configFor(width, height, kbps);
    config.maxKeyframeIntervalSeconds = static_cast<double>(interval) / config.fps;
    Collector collector;
    auto made = VideoEncoder::make(config, collector.output());
    ASSERT_TRUE(made);
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, width, height, 3);
    const int frames = 2 * interval + 1;
    for (int n = 0; n < frames; ++n) {
        auto buffer = *pool->createPixelBuffer();
        const Rect dot{16.0 + 4 * (n % 40), 16, 16, 16};
        for (int y = 0; y < height; ++y) {
            std::uint8_t* line = buffer->planeBaseAddress(0) + y * buffer->planeBytesPerRow(0);
            for (int x = 0; x < width; ++x) {
                const bool inside = x >= dot.x && x < dot.x + dot.width && y >= dot.y && y < dot.y + dot.height;
                line[x] = inside ? 235 : static_cast<std::uint8_t>((x * 7 + y * 13 + (x * y) % 29) % 220 + 16);
            }
        }
        for (int row = 0; row < buffer->planeHeight(1); ++row)
            std::memset(buffer->planeBaseAddress(1) + row * buffer->planeBytesPerRow(1), 128, buffer->planeBytesPerRow(1));
        const DirtyArea changed = DirtyArea::rects({Rect{0, 0, width, 48}});
        ASSERT_EQ((*made)->encode(frameOf(std::move(buffer), static_cast<std::uint64_t>(n)), false, &changed).kind,
                  Kind::submitted);
        collector.waitFor(static_cast<std::size_t>(n) + 1);
    }
    const auto results = collector.waitFor(frames);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(frames));
    const double budgetBytes = kbps * 1000.0 / 8 / config.fps;
    std::vector<int> keyframes;
    for (int n = 0; n < frames; ++n) {
        ASSERT_TRUE(results[n]);
        if (!results[n]->isKeyframe) continue;
        keyframes.push_back(n);
        if (n > 0) {
            EXPECT_LE(results[n]->data.size(), 8 * budgetBytes) << "keyframe " << n;
        }
    }
    EXPECT_EQ(keyframes, (std::vector<int>{0, interval, 2 * interval}));
}

// Dark and light strokes two by three pixels, as dense as small text: no
// rate below a few Mbit/s codes it sharply in one frame.
CapturedFrame strokesFrame(PixelBufferPool& pool, std::uint32_t seed, std::uint64_t t) {
    auto buffer = *pool.createPixelBuffer();
    for (int y = 0; y < buffer->planeHeight(0); ++y) {
        std::uint8_t* line = buffer->planeBaseAddress(0) + y * buffer->planeBytesPerRow(0);
        for (int x = 0; x < buffer->planeWidth(0); ++x) {
            const std::uint32_t cell = (static_cast<std::uint32_t>(x / 2) * 73856093u) ^ (static_cast<std::uint32_t>(y / 3) * 19349663u) ^ seed;
            line[x] = (cell * 2654435761u) >> 31 ? 220 : 30;
        }
    }
    for (int row = 0; row < buffer->planeHeight(1); ++row)
        std::memset(buffer->planeBaseAddress(1) + row * buffer->planeBytesPerRow(1), 128, buffer->planeBytesPerRow(1));
    CapturedFrame frame = frameOf(std::move(buffer), 0);
    frame.captureTimeNs = t;
    return frame;
}

double lumaPsnr(const PixelBuffer& source, const testing::DecodedPicture& decoded) {
    double squares = 0;
    for (int y = 0; y < decoded.height; ++y) {
        for (int x = 0; x < decoded.width; ++x) {
            const double d = source.planeBaseAddress(0)[y * source.planeBytesPerRow(0) + x] - decoded.at(x, y);
            squares += d * d;
        }
    }
    const double mse = squares / (decoded.width * decoded.height);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Encodes one frame and waits for its unit.
EncodedAccessUnit encodeOne(VideoEncoder& encoder, Collector& collector, const CapturedFrame& frame,
                            const DirtyArea* changed, VideoEncoder::Purpose purpose = VideoEncoder::Purpose::content) {
    const std::size_t before = collector.waitFor(0).size();
    EXPECT_EQ(encoder.encode(frame, false, changed, purpose).kind, Kind::submitted);
    const auto results = collector.waitFor(before + 1);
    EXPECT_EQ(results.size(), before + 1);
    EXPECT_TRUE(results.back());
    return results.back() ? *results.back() : EncodedAccessUnit{};
}

// A still picture, coarse in its keyframe, is given again as refinements
// every 50 ms until the encoder says no more would help: at a high rate it
// gets as sharp as it gets and the last refinement codes nothing; at a low
// one it stops after about two seconds of the rate.
TEST(VideoEncoder, AStillPictureSharpensAndThenStops) {
    struct Row {
        std::uint32_t kbps;
        double lowestGain;   // dB over the keyframe, at least
        double finalPsnr;    // at least
        bool endsEmpty;
    };
    const Row rows[] = {{6000, 10, 50, true}, {400, 2, 0, false}};
    constexpr int width = 320, height = 192;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kbps);
        Collector collector;
        auto made = VideoEncoder::make(configFor(width, height, row.kbps), collector.output());
        ASSERT_TRUE(made);
        auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, width, height, 2);
        const CapturedFrame still = strokesFrame(*pool, 7, 5'000'000'000);
        H264TestDecoder decoder;
        EncodedAccessUnit unit = encodeOne(**made, collector, still, nullptr);
        ASSERT_TRUE(unit.isKeyframe && unit.parameterSets);
        auto pictures = decoder.decode(testing::withParameterSets(*unit.parameterSets, unit.data));
        ASSERT_EQ(pictures.size(), 1u);
        const double keyframePsnr = lumaPsnr(*still.pixelBuffer, pictures[0]);
        ASSERT_TRUE(unit.refinable) << "keyframe at " << keyframePsnr << " dB";

        const DirtyArea nothing = DirtyArea::rects({});
        double psnr = keyframePsnr;
        std::size_t refinementBytes = 0;
        int refinements = 0;
        for (; unit.refinable && refinements < 100; ++refinements) {
            CapturedFrame again = still;
            again.captureTimeNs += static_cast<std::uint64_t>(refinements + 1) * 50'000'000;
            unit = encodeOne(**made, collector, again, &nothing, VideoEncoder::Purpose::refinement);
            EXPECT_FALSE(unit.isKeyframe);
            refinementBytes += unit.data.size();
            pictures = decoder.decode(unit.data);
            ASSERT_EQ(pictures.size(), 1u);
            psnr = lumaPsnr(*still.pixelBuffer, pictures[0]);
        }
        EXPECT_FALSE(unit.refinable) << "still refining after " << refinements;
        EXPECT_GE(psnr - keyframePsnr, row.lowestGain) << keyframePsnr << " dB to " << psnr << " dB";
        EXPECT_GE(psnr, row.finalPsnr);
        EXPECT_EQ(unit.data.size() < 100, row.endsEmpty) << "last refinement " << unit.data.size() << " bytes";
        // A still spell spends about two seconds of the rate at most.
        EXPECT_LE(refinementBytes * 8, row.kbps * 1000 * 5 / 2);
        EXPECT_EQ(decoder.errors, 0);
    }
}

// Frames that change all over take the rate whatever their real interval,
// and one that changes far more than the frames before it goes within
// about three intervals' share.
TEST(VideoEncoder, EachFrameTakesTheShareOfItsRealInterval) {
    struct Row {
        const char* what;
        std::uint64_t intervalNs;
        // Frames coding only a small square before every frame changes.
        int smallFirst;
    };
    const Row rows[] = {
        {"60 frames a second", 16'666'666, 0},
        {"15 frames a second for a client allowing 60", 66'666'666, 0},
        {"small changes, then the whole screen", 16'666'666, 40},
    };
    // A bound frame leaves the buffer low: the rate takes a while to come
    // back, so only the steady rows are held to it.
    constexpr int width = 640, height = 360, kbps = 1000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Collector collector;
        auto made = VideoEncoder::make(configFor(width, height, kbps), collector.output());
        ASSERT_TRUE(made);
        auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, width, height, 3);
        const int frames = row.smallFirst + static_cast<int>(3'000'000'000 / row.intervalNs);
        const CapturedFrame background = noiseFrame(*pool, 1);
        std::vector<std::size_t> sizes;
        for (int n = 0; n < frames; ++n) {
            const bool small = n > 0 && n <= row.smallFirst;
            CapturedFrame frame = small ? background : noiseFrame(*pool, static_cast<std::uint64_t>(n) + 2);
            if (small) {
                // Copy the background and change one 32 x 32 square.
                auto buffer = *pool->createPixelBuffer();
                for (int y = 0; y < height; ++y)
                    std::memcpy(buffer->planeBaseAddress(0) + y * buffer->planeBytesPerRow(0),
                                background.pixelBuffer->planeBaseAddress(0) + y * background.pixelBuffer->planeBytesPerRow(0), width);
                for (int y = 0; y < height / 2; ++y)
                    std::memset(buffer->planeBaseAddress(1) + y * buffer->planeBytesPerRow(1), 128, width);
                for (int y = 64; y < 96; ++y) std::memset(buffer->planeBaseAddress(0) + y * buffer->planeBytesPerRow(0) + 64, n * 5, 32);
                frame = frameOf(std::move(buffer), 0);
            }
            frame.captureTimeNs = 5'000'000'000 + static_cast<std::uint64_t>(n) * row.intervalNs;
            const DirtyArea square = DirtyArea::rects({Rect{64, 64, 32, 32}});
            sizes.push_back(encodeOne(**made, collector, frame, small ? &square : nullptr).data.size());
        }
        const double budgetBytes = kbps * 1000.0 / 8 * static_cast<double>(row.intervalNs) / 1e9;
        if (row.smallFirst > 0) {
            const auto whole = static_cast<std::size_t>(row.smallFirst) + 1;
            EXPECT_LE(static_cast<double>(sizes[whole]), 3.5 * budgetBytes) << sizes[whole] << " bytes";
            continue;
        }
        // The last two seconds.
        const std::size_t last = static_cast<std::size_t>(2'000'000'000 / row.intervalNs);
        double bytes = 0;
        for (std::size_t i = sizes.size() - last; i < sizes.size(); ++i) bytes += static_cast<double>(sizes[i]);
        EXPECT_NEAR(bytes / (budgetBytes * static_cast<double>(last)), 1.0, 0.1);
    }
}

// On a slow screen the keyframe interval is a duration: the first frame
// 30 s or more after the last keyframe is one, however few came between;
// in both encoders the software and the hardware paths run on. An encoder
// that hands its packets back frames late (as hardware ones may) is asked
// once, not on every frame until the first keyframe comes out.
TEST(VideoEncoder, KeyframesComeByTimeHoweverFewFramesCame) {
    using Open = std::function<std::unique_ptr<EncoderSession>(const EncoderConfig&)>;
    const struct {
        const char* name;
        Open open;
        int held;
    } sessions[] = {
        {"x264", [](const EncoderConfig& c) -> std::unique_ptr<EncoderSession> { return std::move(*EncoderX264::open(c)); },
         0},
        {"libavcodec", [](const EncoderConfig& c) -> std::unique_ptr<EncoderSession> {
             return std::move(*EncoderLibavcodec::open(c, EncoderLibavcodec::Backend::libx264));
         }, 0},
        {"libavcodec, three frames late", [](const EncoderConfig& c) -> std::unique_ptr<EncoderSession> {
             return std::move(*EncoderLibavcodec::open(c, EncoderLibavcodec::Backend::libx264, {}, 3));
         }, 3},
    };
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, 128, 96, 3);
    std::vector<std::int64_t> times;
    for (const std::int64_t second : {0, 10, 20, 29, 30, 31, 45, 59, 61}) times.push_back(second * 1'000'000'000);
    for (const auto& [name, open, held] : sessions) {
        SCOPED_TRACE(name);
        const auto session = open(configFor(128, 96, 500));
        // Frames a few milliseconds apart after the last, until the held ones are out.
        std::vector<std::int64_t> pts = times;
        for (int n = 1; n <= held; ++n) pts.push_back(times.back() + n * 1'000'000);
        std::vector<std::int64_t> keyframes;
        std::optional<std::size_t> firstOutAfter;
        for (std::size_t n = 0; n < pts.size(); ++n) {
            const CapturedFrame frame = patternFrame(*pool, n + 1);
            ASSERT_EQ(session->encode(*frame.pixelBuffer, nullptr, pts[n], false, {}, EncoderSession::Purpose::content,
                                      [&](const EncoderSession::Packet& packet) {
                                          if (!firstOutAfter) firstOutAfter = n;
                                          if (packet.keyframe) keyframes.push_back(packet.pts / 1'000'000'000);
                                      }),
                      0);
        }
        EXPECT_EQ(firstOutAfter, static_cast<std::size_t>(held));
        EXPECT_EQ(keyframes, (std::vector<std::int64_t>{0, 30, 61}));
    }
}
} // namespace
} // namespace quillmere

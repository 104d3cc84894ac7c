// The audio stream with a real Opus encoder, on a manual queue with a fake
// clock; the encoder's own limits; the click track.

#include "TestSupport/TestValues.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Audio/AudioStream.h"
#include "QuillmereMac/Audio/ClickTrackSource.h"
#include "QuillmereMac/Tests/AudioTestSupport.h"

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <opus/opus.h>

namespace quillmere::testing {
namespace {

using testing::ms;

class AudioStreamTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>("encode");
    std::uint64_t nowNs = 1'000 * ms;
    std::shared_ptr<ScriptedAudioSource> source = std::make_shared<ScriptedAudioSource>();
    std::shared_ptr<RecordingAudioSink> sink = std::make_shared<RecordingAudioSink>();

    std::shared_ptr<AudioStream> make(bool announces = true) {
        return AudioStream::make(source, sink, {7, announces, 1, queue, [this] { return nowNs; }, {}});
    }
    // Hands a chunk over; the stream's queue takes it after a delay.
    void feed(PCMChunk chunk, std::uint64_t delayNs = 0) {
        source->deliver(std::move(chunk));
        nowNs += delayNs;
        queue->runUntilIdle();
    }
    std::vector<std::uint32_t> sequences() const {
        std::vector<std::uint32_t> result;
        for (const auto& packet : sink->packets()) result.push_back(packet.sequence);
        return result;
    }
};

TEST_F(AudioStreamTest, EachTenMillisecondsBecomeOnePacketAndLateFramesUseUpTheirNumbers) {
    auto stream = make();
    ASSERT_TRUE(stream->start());
    EXPECT_EQ(sink->configs(), (std::vector<msg::AudioConfig>{{1, 48000, 2, 10}}));
    feed(tenMilliseconds(nowNs));
    feed(tenMilliseconds(nowNs), 41 * ms);
    feed(tenMilliseconds(nowNs), 40 * ms);
    // Half a frame waits for the other half.
    PCMChunk half = tenMilliseconds(nowNs);
    half.samples.resize(480);
    feed(half);
    feed(half);
    EXPECT_EQ(sequences(), (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_EQ(sink->packets()[0].surfaceID, 7u);
    EXPECT_EQ(sink->packets()[0].hostTimeNs, 1'000 * ms - 1000);
    EXPECT_EQ(stream->stats(), (AudioStream::Stats{4, 3, 0, 1, 0}));
}

TEST_F(AudioStreamTest, FromTheEleventhSilentFrameTheTenthPacketIsSentAgainUntilSoundReturns) {
    auto stream = make(false);
    ASSERT_TRUE(stream->start());
    EXPECT_TRUE(sink->configs().empty());
    for (int i = 0; i < 12; ++i) feed(tenMilliseconds(nowNs, 0.0F));
    const auto packets = sink->packets();
    ASSERT_EQ(packets.size(), 12u);
    EXPECT_EQ(packets[10].bytes, packets[9].bytes);
    EXPECT_EQ(packets[11].bytes, packets[9].bytes);
    EXPECT_EQ(stream->stats().silentReused, 2);
    // Sound ends the run: the next silence is encoded afresh for ten frames.
    feed(tenMilliseconds(nowNs));
    for (int i = 0; i < 11; ++i) feed(tenMilliseconds(nowNs, 0.0F));
    EXPECT_EQ(stream->stats().silentReused, 3);
    // A sample of exactly the threshold is sound.
    std::vector<float> frame(960, 0.0F);
    frame[500] = -1e-6F;
    EXPECT_FALSE(SilenceReuse::isSilent(frame));
}

TEST_F(AudioStreamTest, NothingIsCountedBeforeStartOrAfterStop) {
    auto stream = make();
    stream->enqueue(tenMilliseconds(nowNs));
    queue->runUntilIdle();
    ASSERT_TRUE(stream->start());
    stream->stop();
    EXPECT_EQ(source->stops, 1);
    stream->enqueue(tenMilliseconds(nowNs));
    queue->runUntilIdle();
    EXPECT_EQ(stream->stats(), AudioStream::Stats{});
}

// A client drops what comes before the announcement: a source that delivers
// while it starts must not get ahead of it.
TEST_F(AudioStreamTest, WhatASourceDeliversWhileStartingFollowsTheAnnouncement) {
    struct EagerSource final : AudioSource {
        std::shared_ptr<ManualExecutor> queue;
        std::uint64_t nowNs = 0;
        std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override {
            handler(tenMilliseconds(nowNs));
            queue->runUntilIdle();
            return {};
        }
        void stop() override {}
    };
    struct OrderSink final : AudioSink {
        std::vector<std::string> events;
        void sendAudioConfig(const msg::AudioConfig&) override { events.push_back("config"); }
        void sendAudio(SharedBytes, std::uint32_t, std::uint32_t sequence, std::uint32_t, std::uint64_t) override {
            events.push_back(fmt::format("packet {}", sequence));
        }
    };
    auto eager = std::make_shared<EagerSource>();
    eager->queue = queue;
    eager->nowNs = nowNs;
    auto order = std::make_shared<OrderSink>();
    auto stream = AudioStream::make(eager, order, {1, true, 1, queue, [this] { return nowNs; }, {}});
    ASSERT_TRUE(stream->start());
    queue->runUntilIdle();
    EXPECT_EQ(order->events, (std::vector<std::string>{"config", "packet 1"}));
}

// A client is never told of audio that does not come.
TEST_F(AudioStreamTest, ASourceThatCannotStartFailsTheStartWithoutAnAnnouncement) {
    auto stream = AudioStream::make(std::make_shared<ScriptedAudioSource>(true), sink, {1, true, 1, queue, {}, {}});
    const auto started = stream->start();
    ASSERT_FALSE(started);
    EXPECT_NE(started.error().as<CaptureStopReason>(), nullptr);
    EXPECT_TRUE(sink->configs().empty());
}

TEST(OpusEncoder, AFrameOfAnyOtherLengthIsRefusedBeforeTheLibrarySeesIt) {
    auto encoder = OpusEncoder::make(2, 10, 128000);
    ASSERT_TRUE(encoder);
    for (const std::size_t count : {959u, 961u, 0u})
        EXPECT_EQ((*encoder)->encode(std::vector<float>(count, 0.1F)), std::unexpected(OpusError::encode(OPUS_BAD_ARG)));
    const auto packet = (*encoder)->encode(std::vector<float>(960, 0.1F));
    ASSERT_TRUE(packet);
    EXPECT_GE(packet->size(), 1u);
    EXPECT_EQ(OpusEncoder::make(3, 10, 128000).error(), OpusError::create(OPUS_BAD_ARG));
}

TEST(ClickTrackSource, ClicksEveryHalfSecondAndComesBackToTheStartAfterTwoSeconds) {
    auto queue = std::make_shared<ManualExecutor>("clicks");
    auto source = std::make_shared<ClickTrackSource>(500.0, queue);
    const std::vector<float>& track = source->track();
    ASSERT_EQ(track.size(), 192'000u);
    for (std::size_t frame : {0u, 24'000u, 48'000u, 72'000u}) {
        EXPECT_FLOAT_EQ(std::fabs(track[2 * frame]), 0.8F) << frame;
        EXPECT_EQ(track[2 * frame], track[2 * frame + 1]);
    }
    EXPECT_LT(track[0] * track[2 * 24'000], 0.0F);

    std::vector<float> heard;
    ASSERT_TRUE(source->start([&](PCMChunk chunk) { heard.insert(heard.end(), chunk.samples.begin(), chunk.samples.end()); }));
    queue->advance(1'990 * ms);
    EXPECT_EQ(heard, track);
    EXPECT_EQ(source->position(), 0);
    source->stop();
    queue->advance(100 * ms);
    EXPECT_EQ(heard.size(), 192'000u);
}

} // namespace
} // namespace quillmere::testing

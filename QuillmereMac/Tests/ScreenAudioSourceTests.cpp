// The captured-audio source against a sound server of the test's own, with
// applications playing tones under process identifiers of the test's choice;
// and how it turns what the server delivers into chunks.

#include "Platform/AudioCapture/Tests/PulseAudioServer.h"
#include "Platform/AudioCapture/Tests/ToneAnalysis.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t pidA = 424242;
constexpr std::int32_t pidB = 434343;
// The players' sine has an amplitude of 0.25 (a player starved on a loaded
// machine leaves gaps); what leaks past a filter is only numerical dust.
constexpr double heard = 0.12;
constexpr double silent = 0.002;

class ScreenAudioSourceTest : public ::testing::Test {
protected:
    PulseAudioServer server;

    // A at 440 Hz, B at 1000 Hz, and one claiming to be this process at 2500 Hz.
    void SetUp() override {
        server.play(440, pidA);
        server.play(1000, pidB);
        server.play(2500, static_cast<std::int32_t>(::getpid()));
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> samples;
    int calls = 0;

    std::shared_ptr<ScreenAudioSource> started(AudioCaptureFilter filter) {
        filter.server = server.server();
        auto source = std::make_shared<ScreenAudioSource>(filter);
        EXPECT_TRUE(source->start([this](PCMChunk chunk) {
            EXPECT_EQ(chunk.channels, 2);
            std::lock_guard lock(mutex);
            ++calls;
            samples.insert(samples.end(), chunk.samples.begin(), chunk.samples.end());
            changed.notify_all();
        }));
        return source;
    }
    // The last 0.2 s of the first 0.4 s, by frequency.
    double level(double hz) {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 20s, [&] { return samples.size() >= 38400; }));
        return toneAmplitude(std::span(samples).subspan(samples.size() - 19200), 2, hz);
    }
    int callCount() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

TEST_F(ScreenAudioSourceTest, ThisApplicationHearsOnlyItsOwnTone) {
    const auto source = started(AudioCaptureFilter::includingApplications({pidA}));
    EXPECT_GT(level(440), heard);
    EXPECT_LT(level(1000), silent);
    EXPECT_LT(level(2500), silent);
}

TEST_F(ScreenAudioSourceTest, EverythingElseHearsTheOthersButNeverThisProcessAndNothingAfterStop) {
    const auto source = started(AudioCaptureFilter::excludingApplications({pidA}));
    EXPECT_LT(level(440), silent);
    EXPECT_GT(level(1000), heard);
    // Not excluded by the filter, and still never heard.
    EXPECT_LT(level(2500), silent);
    source->stop();
    const int stoppedAt = callCount();
    // The server goes on sending: a second source hears it, the first no more.
    AudioCaptureFilter same = AudioCaptureFilter::excludingApplications({pidA});
    same.server = server.server();
    std::atomic<int> witnessed{0};
    const auto witness = std::make_shared<ScreenAudioSource>(same);
    ASSERT_TRUE(witness->start([&](PCMChunk) { ++witnessed; }));
    ASSERT_TRUE(eventually([&] { return witnessed.load() >= 5; }));
    witness->stop();
    EXPECT_EQ(callCount(), stoppedAt);
}

TEST_F(ScreenAudioSourceTest, AnApplicationThatStartsPlayingLaterIsHeard) {
    const auto source = started(AudioCaptureFilter::includingApplications({454545}));
    server.play(700, 454545);
    EXPECT_GT(level(700), heard);
    EXPECT_LT(level(440), silent);
    // A server that goes away silences the source; its stop still works.
    server.kill();
    // Time for the source to find the server gone before it is stopped.
    std::this_thread::sleep_for(50ms);
    source->stop();
}

TEST(ScreenAudioSource, NoServerMeansNoStart) {
    auto source = std::make_shared<ScreenAudioSource>(
        AudioCaptureFilter::excludingApplications({}, "unix:/nonexistent/quillmere/native"));
    const auto started = source->start([](PCMChunk) {});
    ASSERT_FALSE(started);
    ASSERT_NE(started.error().as<AudioCaptureError>(), nullptr);
    EXPECT_EQ(started.error().as<AudioCaptureError>()->kind, AudioCaptureError::Kind::connectionFailed);
}

struct ConversionCase {
    const char* name;
    AudioStreamFormat format;
    std::int64_t frames;
    std::vector<std::vector<float>> buffers;
    std::optional<std::vector<float>> samples;
    std::optional<std::uint64_t> time = std::nullopt;
    friend void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }
};

class SampleBufferConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(SampleBufferConversion, ReadsOnlyAsFarAsTheBuffersGo) {
    AudioSampleBuffer buffer{GetParam().format, GetParam().frames, {}, GetParam().time};
    for (const auto& floats : GetParam().buffers) {
        buffer.buffers.emplace_back(floats.size() * sizeof(float));
        if (!floats.empty()) std::memcpy(buffer.buffers.back().data(), floats.data(), buffer.buffers.back().size());
    }
    std::uint64_t now = 500;
    const auto chunk = ScreenAudioSource::makeChunk(buffer, [&] { return now++; });
    ASSERT_EQ(chunk.has_value(), GetParam().samples.has_value());
    if (!chunk) return;
    EXPECT_EQ(chunk->samples, *GetParam().samples);
    // Without a time of its own, the clock's; the arrival is read after.
    EXPECT_EQ(chunk->hostTimeNs, GetParam().time.value_or(500));
    EXPECT_EQ(chunk->arrivalNs, GetParam().time ? 500u : 501u);
}

const AudioStreamFormat interleaved{48000, 2, 32, true, false};
const AudioStreamFormat planar{48000, 2, 32, true, true};

INSTANTIATE_TEST_SUITE_P(
    Chunks, SampleBufferConversion,
    ::testing::Values(
        ConversionCase{"interleaved", interleaved, 2, {{1, 2, 3, 4}}, std::vector<float>{1, 2, 3, 4}, 42},
        ConversionCase{"planar", planar, 2, {{1, 3}, {2, 4}}, std::vector<float>{1, 2, 3, 4}},
        ConversionCase{"short_planar_buffer", planar, 3, {{1, 3, 5}, {2}}, std::vector<float>{1, 2, 3, 0, 5, 0}},
        ConversionCase{"extra_planar_buffer", planar, 1, {{1}, {2}, {9}}, std::vector<float>{1, 2}},
        ConversionCase{"short_interleaved_buffer", interleaved, 2, {{1, 2, 3}}, std::vector<float>{1, 2, 3, 0}},
        ConversionCase{"integer_samples", {48000, 2, 16, false, false}, 2, {{1, 2}}, std::nullopt},
        ConversionCase{"empty_buffer", interleaved, 2, {{}}, std::vector<float>{0, 0, 0, 0}},
        ConversionCase{"no_frames", interleaved, 0, {{1}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quillmere::testing

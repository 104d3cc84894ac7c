// The captured-audio source against a sound server of the test's own, with
// applications playing tones under process identifiers of the test's choice;
// and the sample-buffer conversion it applies to what the server delivers.

#include "Platform/AudioCapture/Tests/PulseAudioServer.h"
#include "Platform/AudioCapture/Tests/ToneAnalysis.h"
#include "Platform/AudioCapture/Tests/TonePlayer.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

// What a source handed over, and a wait for enough of it.
class Heard {
public:
    PCMChunkHandler handler() {
        return [this](PCMChunk chunk) {
            std::lock_guard lock(mutex_);
            ++calls_;
            channels_ = chunk.channels;
            samples_.insert(samples_.end(), chunk.samples.begin(), chunk.samples.end());
            changed_.notify_all();
        };
    }
    // The last 0.2 s of at least 0.3 s of sound (stereo, 48 kHz).
    std::vector<float> settled() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 20s, [&] { return samples_.size() >= 28800; });
        const std::size_t keep = std::min<std::size_t>(samples_.size(), 19200);
        return {samples_.end() - static_cast<std::ptrdiff_t>(keep), samples_.end()};
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::int64_t channels() {
        std::lock_guard lock(mutex_);
        return channels_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> samples_;
    std::int64_t channels_ = 0;
    int calls_ = 0;
};

constexpr std::int32_t pidA = 424242;
constexpr std::int32_t pidB = 434343;

class ScreenAudioSourceTest : public ::testing::Test {
protected:
    PulseAudioServer server;
    // A at 440 Hz, B at 1000 Hz, and this process itself at 2500 Hz.
    TonePlayer a{server.server(), 440, pidA};
    TonePlayer b{server.server(), 1000, pidB};
    TonePlayer own{server.server(), 2500};

    // Amplitudes at 440, 1000 and 2500 Hz of what a filter lets through.
    std::array<double, 3> levels(AudioCaptureFilter filter) {
        filter.server = server.server();
        auto source = std::make_shared<ScreenAudioSource>(filter);
        Heard heard;
        EXPECT_TRUE(source->start(heard.handler()));
        const std::vector<float> sound = heard.settled();
        source->stop();
        EXPECT_EQ(heard.channels(), 2);
        EXPECT_EQ(sound.size(), 19200u);
        return {toneAmplitude(sound, 2, 440), toneAmplitude(sound, 2, 1000), toneAmplitude(sound, 2, 2500)};
    }
};

// The players' sine has an amplitude of 0.25; what leaks past a filter is
// only numerical dust.
constexpr double heardLevel = 0.2;
constexpr double silentLevel = 0.002;

TEST_F(ScreenAudioSourceTest, ThisApplicationHearsOnlyItsOwnTone) {
    const auto [la, lb, lown] = levels(AudioCaptureFilter::includingApplications({pidA}));
    EXPECT_GT(la, heardLevel);
    EXPECT_LT(lb, silentLevel);
    EXPECT_LT(lown, silentLevel);
}

TEST_F(ScreenAudioSourceTest, EverythingElseHearsTheOthersButNeverThisProcess) {
    const auto [la, lb, lown] = levels(AudioCaptureFilter::excludingApplications({pidA}));
    EXPECT_LT(la, silentLevel);
    EXPECT_GT(lb, heardLevel);
    // Not excluded by the filter, and still never heard.
    EXPECT_LT(lown, silentLevel);
}

TEST_F(ScreenAudioSourceTest, AnApplicationThatStartsPlayingLaterIsHeard) {
    constexpr std::int32_t pidLate = 454545;
    auto source =
        std::make_shared<ScreenAudioSource>(AudioCaptureFilter::includingApplications({pidLate}, server.server()));
    Heard heard;
    ASSERT_TRUE(source->start(heard.handler()));
    TonePlayer late{server.server(), 700, pidLate};
    const std::vector<float> sound = heard.settled();
    source->stop();
    EXPECT_GT(toneAmplitude(sound, 2, 700), heardLevel);
    EXPECT_LT(toneAmplitude(sound, 2, 440), silentLevel);
}

TEST_F(ScreenAudioSourceTest, NothingIsHandedOverAfterStop) {
    auto source = std::make_shared<ScreenAudioSource>(AudioCaptureFilter::excludingApplications({}, server.server()));
    Heard heard;
    ASSERT_TRUE(source->start(heard.handler()));
    heard.settled();
    source->stop();
    const int calls = heard.calls();
    // Time for whatever the server had under way to arrive, if it could.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(heard.calls(), calls);
}

TEST_F(ScreenAudioSourceTest, AServerThatGoesAwaySilencesTheSourceWithoutAReport) {
    auto source = std::make_shared<ScreenAudioSource>(AudioCaptureFilter::excludingApplications({}, server.server()));
    Heard heard;
    ASSERT_TRUE(source->start(heard.handler()));
    heard.settled();
    server.kill();
    std::this_thread::sleep_for(50ms);
    const int calls = heard.calls();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(heard.calls(), calls);
    source->stop();
}

TEST(ScreenAudioSource, NoServerMeansNoStart) {
    auto source = std::make_shared<ScreenAudioSource>(
        AudioCaptureFilter::excludingApplications({}, "unix:/nonexistent/quillmere/native"));
    const auto started = source->start([](PCMChunk) {});
    ASSERT_FALSE(started);
    const auto* error = started.error().as<AudioCaptureError>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind, AudioCaptureError::Kind::connectionFailed);
    source->stop();
}

std::vector<std::uint8_t> bytesOf(std::vector<float> floats) {
    std::vector<std::uint8_t> bytes(floats.size() * sizeof(float));
    std::memcpy(bytes.data(), floats.data(), bytes.size());
    return bytes;
}

struct ConversionCase {
    const char* name;
    AudioStreamFormat format;
    std::int64_t frames;
    std::vector<std::vector<float>> buffers;
    std::optional<std::vector<float>> samples;
};

class SampleBufferConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(SampleBufferConversion, BecomesAChunkOnlyAsFarAsTheBuffersGo) {
    AudioSampleBuffer buffer;
    buffer.format = GetParam().format;
    buffer.frames = GetParam().frames;
    for (const auto& floats : GetParam().buffers) buffer.buffers.push_back(bytesOf(floats));
    const auto chunk = ScreenAudioSource::makeChunk(buffer, [] { return std::uint64_t{77}; });
    ASSERT_EQ(chunk.has_value(), GetParam().samples.has_value());
    if (!chunk) return;
    EXPECT_EQ(chunk->samples, *GetParam().samples);
    EXPECT_EQ(chunk->channels, GetParam().format.channels);
}

const AudioStreamFormat interleaved{48000, 2, 32, true, false};
const AudioStreamFormat planar{48000, 2, 32, true, true};

INSTANTIATE_TEST_SUITE_P(
    Chunks, SampleBufferConversion,
    ::testing::Values(
        ConversionCase{"interleaved", interleaved, 2, {{1, 2, 3, 4}}, std::vector<float>{1, 2, 3, 4}},
        ConversionCase{"planar_interleaves", planar, 2, {{1, 3}, {2, 4}}, std::vector<float>{1, 2, 3, 4}},
        ConversionCase{"short_planar_buffer_leaves_zeros", planar, 3, {{1, 3, 5}, {2}}, std::vector<float>{1, 2, 3, 0, 5, 0}},
        ConversionCase{"extra_planar_buffer_is_not_read", planar, 1, {{1}, {2}, {9}}, std::vector<float>{1, 2}},
        ConversionCase{"short_interleaved_buffer_leaves_zeros", interleaved, 2, {{1, 2, 3}}, std::vector<float>{1, 2, 3, 0}},
        ConversionCase{"integer_samples_give_nothing", {48000, 2, 16, false, false}, 2, {{1, 2}}, std::nullopt},
        ConversionCase{"no_frames_give_nothing", interleaved, 0, {{}}, std::nullopt},
        ConversionCase{"no_channels_give_nothing", {48000, 0, 32, true, false}, 2, {{1, 2}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SampleBufferConversion, ABufferWithoutATimeTakesTheClocks) {
    AudioSampleBuffer buffer{interleaved, 1, {bytesOf({1, 2})}, std::nullopt};
    std::uint64_t now = 500;
    const auto clock = [&] { return now++; };
    EXPECT_EQ(ScreenAudioSource::makeChunk(buffer, clock)->hostTimeNs, 500u);
    buffer.presentationTimeNs = 42;
    const auto timed = ScreenAudioSource::makeChunk(buffer, clock);
    EXPECT_EQ(timed->hostTimeNs, 42u);
    EXPECT_EQ(timed->arrivalNs, 502u);
}

} // namespace
} // namespace quillmere::testing

// The captured-audio source against a sound server of the test's own, with
// applications playing tones under process identifiers of the test's choice;
// and how it turns what the server delivers into chunks.

#include "Platform/AudioCapture/Tests/PulseAudioServer.h"
#include "Platform/AudioCapture/Tests/ToneAnalysis.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
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
    // A server that goes away silences the source with one line in the
    // log; its stop still works.
    LogCapture log;
    server.kill();
    const auto ended = [&] {
        const auto lines = log.lines("audio");
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("audio capture ended: "); });
    };
    EXPECT_TRUE(eventually([&] { return ended() > 0; }));
    source->stop();
    EXPECT_EQ(ended(), 1);
}

// What one source hears in its first 0.4 s: the last 0.2 s of it, by
// frequency.
class Listener {
public:
    explicit Listener(AudioCaptureFilter filter) : source_(std::make_shared<ScreenAudioSource>(std::move(filter))) {
        EXPECT_TRUE(source_->start([this](PCMChunk chunk) {
            std::lock_guard lock(mutex_);
            samples_.insert(samples_.end(), chunk.samples.begin(), chunk.samples.end());
            changed_.notify_all();
        }));
    }
    ~Listener() { source_->stop(); }

    double level(double hz) {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, 20s, [&] { return samples_.size() >= 38400; }));
        return toneAmplitude(std::span(samples_).subspan(samples_.size() - 19200), 2, hz);
    }

private:
    std::shared_ptr<ScreenAudioSource> source_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> samples_;
};

// A window's sound is its owner's process tree: a terminal whose shell
// plays, a browser that plays from a helper. This program's own helpers are
// heard under no route, not even one naming it.
TEST(ScreenAudioSourceProcesses, AnApplicationIsHeardWithItsDescendantsAndThisProgramsHelpersNever) {
    PulseAudioServer server;
    const pid_t terminal = server.playInChildOfAnotherApplication(600);
    server.play(2500, std::nullopt, 10);
    // Heard in every case, so that each capture delivers something.
    server.play(440, pidA, 10);
    const auto us = static_cast<std::int32_t>(::getpid());
    // With other tones mixed in, a gap in the capture (a loaded machine)
    // spreads a little of them into every bin: absent is well above that
    // and well below a tone that is heard.
    constexpr double absent = 0.02;
    struct Case {
        const char* route;
        AudioCaptureFilter filter;
        bool hearsTerminal;
    };
    const Case cases[] = {
        {"this application", AudioCaptureFilter::includingApplications({terminal, pidA}), true},
        {"everything else", AudioCaptureFilter::excludingApplications({terminal, us}), false},
        {"everything", AudioCaptureFilter::excludingApplications({}), true},
        {"this program", AudioCaptureFilter::includingApplications({us, pidA}), false},
    };
    for (const Case& c : cases) {
        AudioCaptureFilter filter = c.filter;
        filter.server = server.server();
        Listener listener(filter);
        EXPECT_GT(listener.level(440), heard) << c.route;
        if (c.hearsTerminal) EXPECT_GT(listener.level(600), heard) << c.route;
        else EXPECT_LT(listener.level(600), absent) << c.route;
        EXPECT_LT(listener.level(2500), absent) << c.route;
    }
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

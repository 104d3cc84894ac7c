// The audio path's CPU per second of stereo sound at 48 kHz: what the host
// does with captured sound (the mixer's hand-off, the sample buffer made a
// chunk, the stream's queue, chunking, silence check, Opus at 128 kbit/s)
// against libopus alone encoding the same samples with the same settings,
// in the same run. CapturedAudioPath adds the real capture: a private sound
// server, another process (pacat) playing the samples, our monitor stream
// reading them, in real time; the server's and the player's CPU are theirs,
// not ours. Each iteration is one second of sound; the time shown is this
// process's CPU time.

#include "Platform/AudioCapture/AudioMixer.h"
#include "Platform/AudioCapture/Tests/PulseAudioServer.h"
#include "Platform/Dispatch/Clock.h"
#include "QuillmereMac/Audio/AudioStream.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/RatioReporter.h"
#include "TestSupport/TemporaryFolder.h"

#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>

namespace quillmere {
namespace {

constexpr int rate = 48000;
constexpr int frameSamples = 960;

// Ten seconds of something like music: a few partials and some noise.
const std::vector<float>& music() {
    static const std::vector<float> samples = [] {
        std::vector<float> s(static_cast<std::size_t>(rate) * 2 * 10);
        std::mt19937 random(3);
        std::normal_distribution<float> noise(0.0F, 0.02F);
        for (std::size_t i = 0; i < s.size() / 2; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double tone = 0.2 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 660 * t + 1) +
                                0.05 * std::sin(2 * M_PI * 1760 * t * (1 + 0.01 * std::sin(t)));
            s[2 * i] = static_cast<float>(tone) + noise(random);
            s[2 * i + 1] = static_cast<float>(tone * 0.8) + noise(random);
        }
        return s;
    }();
    return samples;
}

void OpusAlone(benchmark::State& state) {
    int error = 0;
    ::OpusEncoder* encoder = opus_encoder_create(rate, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(AudioStream::bitrate));
    const std::vector<float>& samples = music();
    std::vector<unsigned char> packet(OpusEncoder::maxPacketBytes);
    std::size_t at = 0;
    for (auto _ : state) {
        for (int frame = 0; frame < 100; ++frame) {
            benchmark::DoNotOptimize(opus_encode_float(encoder, samples.data() + at, frameSamples / 2, packet.data(),
                                                       static_cast<opus_int32>(packet.size())));
            at = (at + frameSamples) % samples.size();
        }
    }
    opus_encoder_destroy(encoder);
}

// Counts what a stream hands its connection and lets the benchmark wait.
class CountingSink final : public AudioSink {
public:
    void sendAudioConfig(const msg::AudioConfig&) override {}
    void sendAudio(SharedBytes packet, std::uint32_t, std::uint32_t, std::uint32_t, std::uint64_t) override {
        benchmark::DoNotOptimize(packet.size());
        std::lock_guard lock(mutex_);
        // The waiting thread wakes once per wait, not once per packet.
        if (++packets_ == target_) changed_.notify_all();
    }
    void waitFor(std::int64_t packets) {
        std::unique_lock lock(mutex_);
        target_ = packets;
        changed_.wait(lock, [&] { return packets_ >= packets; });
    }
    std::int64_t packets() {
        std::lock_guard lock(mutex_);
        return packets_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t packets_ = 0;
    std::int64_t target_ = 0;
};

// Sound handed over by hand, as the capture's queue hands it.
class FedSource final : public AudioSource {
public:
    std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override {
        handler_ = std::move(handler);
        return {};
    }
    void stop() override { handler_ = nullptr; }
    void deliver(PCMChunk chunk) { handler_(std::move(chunk)); }

private:
    PCMChunkHandler handler_;
};

void AudioPath(benchmark::State& state) {
    auto source = std::make_shared<FedSource>();
    auto sink = std::make_shared<CountingSink>();
    auto stream = AudioStream::make(source, sink, {});
    if (!stream->start()) state.SkipWithError("no encoder");
    AudioMixer mixer(2, rate / 50);
    const std::vector<float>& samples = music();
    std::size_t at = 0;
    std::int64_t expected = 0;
    for (auto _ : state) {
        for (int fragment = 0; fragment < 100; ++fragment) {
            mixer.push(1, std::span<const float>(samples).subspan(at, frameSamples));
            at = (at + frameSamples) % samples.size();
            const std::vector<float> mixed = mixer.pull();
            AudioSampleBuffer buffer{{}, static_cast<std::int64_t>(mixed.size() / 2), {}, std::nullopt};
            buffer.buffers.emplace_back(mixed.size() * sizeof(float));
            std::memcpy(buffer.buffers.front().data(), mixed.data(), buffer.buffers.front().size());
            source->deliver(*ScreenAudioSource::makeChunk(buffer, &Clock::nowNs));
        }
        expected += 100;
        sink->waitFor(expected);
    }
    stream->stop();
    if (stream->stats().droppedLate > 0) state.SkipWithError("frames were late");
}

void CapturedAudioPath(benchmark::State& state) {
    testing::PulseAudioServer server;
    const testing::TemporaryFolder folder;
    const std::string file = (folder.path() / "music.raw").string();
    {
        const std::vector<float>& samples = music();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
    }
    testing::ChildProcess player(
        {"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=20",
         file},
        {.environment = testing::environmentWith("PULSE_SERVER", server.server())});
    auto sink = std::make_shared<CountingSink>();
    auto source = std::make_shared<ScreenAudioSource>(AudioCaptureFilter::includingApplications({player.pid()}, server.server()));
    auto stream = AudioStream::make(source, sink, {});
    if (auto started = stream->start(); !started) {
        state.SkipWithError(("no capture: " + started.error().description()).c_str());
        return;
    }
    sink->waitFor(20);
    std::int64_t expected = sink->packets();
    for (auto _ : state) {
        expected += 100;
        sink->waitFor(expected);
    }
    stream->stop();
    player.stop();
    std::remove(file.c_str());
}

BENCHMARK(OpusAlone)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AudioPath)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CapturedAudioPath)->MeasureProcessCPUTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    quillmere::testing::RatioReporter reporter(
        "CPU per second of audio as a multiple of libopus alone (target under 1.3)",
        quillmere::testing::RatioReporter::cpuTime);
    reporter.compare("AudioPath", "OpusAlone").compare("CapturedAudioPath", "OpusAlone");
    return reporter.run(argc, argv);
}

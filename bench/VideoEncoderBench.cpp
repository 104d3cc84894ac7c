// The video encoder at 1080p and 2160p, for the moving test pattern and for a
// still frame: time from submission to the access unit (median, p99) and CPU
// per frame, against libavcodec's own libx264 with the same settings, run in
// the same process on the same frames.

#include "Platform/PixelBuffer/PixelBufferPool.h"
#include "QuillmereMac/Encoder/VideoEncoder.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>

}

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

enum class Content { pattern, still };

constexpr int ringSize = 8;
constexpr int warmUpFrames = 5;
constexpr std::uint64_t frameNs = 16'666'666;

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double nowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Samples {
    std::vector<double> frameMs;
    double cpuMs = 0;
    std::size_t bytes = 0;

    double quantile(double q) const {
        std::vector<double> sorted = frameMs;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) return 0;
        return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())))];
    }
    double cpuPerFrame() const { return frameMs.empty() ? 0 : cpuMs / static_cast<double>(frameMs.size()); }
    void add(const Samples& other) {
        frameMs.insert(frameMs.end(), other.frameMs.begin(), other.frameMs.end());
        cpuMs += other.cpuMs;
        bytes += other.bytes;
    }
};

EncoderConfig configFor(int width, int height) {
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = 60;
    config.bitrateKbps = width > 1920 ? 25'000 : 10'000;
    config.maxKeyframeIntervalSeconds = 30;
    config.maxInFlight = 2;
    return config;
}

// Frames drawn before timing starts, so that drawing costs nothing inside it.
std::vector<PixelBufferRef> framesFor(int width, int height, Content content) {
    auto pool = *PixelBufferPool::make(PixelFormat::nv12VideoRange, width, height, ringSize);
    std::vector<PixelBufferRef> frames;
    for (int i = 0; i < (content == Content::still ? 1 : ringSize); ++i) {
        frames.push_back(*pool->createPixelBuffer());
        TestPatternSource::drawPattern(*frames.back(), content == Content::still ? 7 : static_cast<std::uint64_t>(i + 1));
    }
    return frames;
}

// libavcodec's libx264 opened by hand with the settings our encoder makes.
class BaselineX264 {
public:
    explicit BaselineX264(const EncoderConfig& config) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        context_ = avcodec_alloc_context3(codec);
        context_->width = config.width;
        context_->height = config.height;
        context_->pix_fmt = AV_PIX_FMT_NV12;
        context_->time_base = AVRational{1, 1'000'000'000};
        context_->framerate = AVRational{config.fps, 1};
        context_->color_range = AVCOL_RANGE_MPEG;
        context_->thread_type = FF_THREAD_SLICE;
        context_->thread_count = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
        const std::string bits = std::to_string(static_cast<std::int64_t>(config.bitrateKbps) * 1000);
        const std::string keyint = std::to_string(static_cast<int>(config.maxKeyframeIntervalSeconds * config.fps));
        const std::pair<const char*, std::string> options[] = {
            {"preset", "ultrafast"}, {"tune", "zerolatency"}, {"forced-idr", "1"}, {"sc_threshold", "0"},
            {"bf", "0"},             {"profile", "high"},     {"rc-lookahead", "0"}, {"g", keyint},
            {"b", bits},             {"maxrate", bits},       {"color_primaries", "bt709"},
            {"color_trc", "bt709"},  {"colorspace", "bt709"},
        };
        for (const auto& [name, value] : options) av_opt_set(context_, name, value.c_str(), AV_OPT_SEARCH_CHILDREN);
        context_->rc_buffer_size = static_cast<int>(context_->bit_rate / 2);
        opened_ = avcodec_open2(context_, codec, nullptr) >= 0;
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~BaselineX264() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    bool opened() const { return opened_; }

    // Bytes out for one frame, or -1.
    long encode(const PixelBuffer& pixels, std::int64_t pts, bool keyframe) {
        frame_->format = AV_PIX_FMT_NV12;
        frame_->width = pixels.width();
        frame_->height = pixels.height();
        for (int plane = 0; plane < 2; ++plane) {
            frame_->data[plane] = pixels.planeBaseAddress(plane);
            frame_->linesize[plane] = static_cast<int>(pixels.planeBytesPerRow(plane));
        }
        // Reference-counted, so that libavcodec does not copy the picture.
        frame_->buf[0] = av_buffer_create(frame_->data[0], 1, [](void*, std::uint8_t*) {}, nullptr, 0);
        frame_->pts = pts;
        frame_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const int sent = avcodec_send_frame(context_, frame_);
        av_frame_unref(frame_);
        if (sent < 0) return -1;
        long bytes = 0;
        while (avcodec_receive_packet(context_, packet_) == 0) {
            bytes += packet_->size;
            av_packet_unref(packet_);
        }
        return bytes;
    }

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool opened_ = false;
};

Samples runBaseline(const EncoderConfig& config, const std::vector<PixelBufferRef>& frames, int count,
                    std::uint64_t firstIndex) {
    BaselineX264 encoder(config);
    Samples samples;
    if (!encoder.opened()) return samples;
    double cpuStart = 0;
    for (int i = 0; i < warmUpFrames + count; ++i) {
        if (i == warmUpFrames) cpuStart = processCpuMs();
        const std::uint64_t index = firstIndex + static_cast<std::uint64_t>(i);
        const double start = nowMs();
        const long bytes = encoder.encode(*frames[index % frames.size()], static_cast<std::int64_t>(index * frameNs), i == 0);
        if (i >= warmUpFrames) {
            samples.frameMs.push_back(nowMs() - start);
            samples.bytes += static_cast<std::size_t>(std::max(bytes, 0L));
        }
    }
    samples.cpuMs = processCpuMs() - cpuStart;
    return samples;
}

// Ours, one frame at a time: the time runs from submission until the unit
// arrives from the encoder's thread.
Samples runOurs(const EncoderConfig& config, const std::vector<PixelBufferRef>& frames, int count,
                std::uint64_t firstIndex, std::string& error) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::size_t results = 0;
    std::size_t bytes = 0;
    auto made = VideoEncoder::make(config, [&](VideoEncoder::Result result) {
        std::lock_guard lock(mutex);
        if (result) bytes += result->data.size();
        ++results;
        arrived.notify_all();
    });
    Samples samples;
    if (!made) {
        error = made.error().description();
        return samples;
    }
    double cpuStart = 0;
    for (int i = 0; i < warmUpFrames + count; ++i) {
        if (i == warmUpFrames) cpuStart = processCpuMs();
        const std::uint64_t index = firstIndex + static_cast<std::uint64_t>(i);
        CapturedFrame frame;
        frame.pixelBuffer = frames[index % frames.size()];
        frame.width = config.width;
        frame.height = config.height;
        frame.captureTimeNs = index * frameNs;
        frame.captureEpoch = 1;
        const double start = nowMs();
        if ((*made)->encode(frame, i == 0).kind != VideoEncoder::Submission::Kind::submitted) {
            error = "frame refused";
            return samples;
        }
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return results == static_cast<std::size_t>(i + 1); });
        if (i >= warmUpFrames) samples.frameMs.push_back(nowMs() - start);
        if (i == warmUpFrames - 1) bytes = 0;
    }
    samples.cpuMs = processCpuMs() - cpuStart;
    samples.bytes = bytes;
    return samples;
}

void BM_VideoEncoder(benchmark::State& state, int width, int height, Content content) {
    // libx264's closing statistics would land between the result lines.
    av_log_set_level(AV_LOG_ERROR);
    const EncoderConfig config = configFor(width, height);
    const auto frames = framesFor(width, height, content);
    // About a second of encoding per half, for each encoder.
    const int half = width > 1920 ? 45 : 120;
    Samples ours;
    Samples baseline;
    std::string error;
    for (auto _ : state) {
        // Alternating halves, so that neither side gets the warmer machine.
        for (int round = 0; round < 2 && error.empty(); ++round) {
            baseline.add(runBaseline(config, frames, half, static_cast<std::uint64_t>(round * half)));
            ours.add(runOurs(config, frames, half, static_cast<std::uint64_t>(round * half), error));
        }
    }
    if (!error.empty() || baseline.frameMs.empty()) {
        state.SkipWithError(error.empty() ? "libx264 baseline did not open" : error.c_str());
        return;
    }
    const auto kbps = [&](const Samples& samples) {
        return static_cast<double>(samples.bytes) * 8 / 1000 / (static_cast<double>(samples.frameMs.size()) / config.fps);
    };
    state.counters["ours_med_ms"] = ours.quantile(0.5);
    state.counters["ours_p99_ms"] = ours.quantile(0.99);
    state.counters["ours_cpu_ms"] = ours.cpuPerFrame();
    state.counters["x264_med_ms"] = baseline.quantile(0.5);
    state.counters["x264_p99_ms"] = baseline.quantile(0.99);
    state.counters["x264_cpu_ms"] = baseline.cpuPerFrame();
    state.counters["ratio_med"] = ours.quantile(0.5) / baseline.quantile(0.5);
    state.counters["ratio_cpu"] = ours.cpuPerFrame() / baseline.cpuPerFrame();
    state.counters["ours_kbps"] = kbps(ours);
    state.counters["x264_kbps"] = kbps(baseline);
}

BENCHMARK_CAPTURE(BM_VideoEncoder, pattern_1080p, 1920, 1080, Content::pattern)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VideoEncoder, still_1080p, 1920, 1080, Content::still)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VideoEncoder, pattern_2160p, 3840, 2160, Content::pattern)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_VideoEncoder, still_2160p, 3840, 2160, Content::still)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();

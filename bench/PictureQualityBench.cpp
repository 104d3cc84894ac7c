// What a viewer sees of the host's video: screen-like content and full
// motion made here (ScreenScenes.h), sampled at 60, 30, 15 and 10 frames a
// second for a client that allows 60, at 3, 8 and 20 Mbit/s, encoded by
//   host: VideoEncoder as the surface pipeline drives it (only changed
//         frames, with what changed, and refinements when its FrameGate
//         asks for them), and
//   x264: libx264 with its own rate control (average bit rate, a buffer of
//         a quarter second, ultrafast, zerolatency, no lookahead, the same
//         slices and keyframe placement, real timestamps), fed every frame,
// in the same run. Both streams are decoded with libavcodec; at each sample
// the picture the viewer holds is compared with the source (PSNR-Y, SSIM-Y).
// Per row: achieved rate, the largest P frame against the budget of its real
// interval, the largest keyframe, the worst quality in the quarter second
// after a window opens or closes, the quality one second into a still
// spell, and the encoder's CPU per second of content. The table at the end
// is the measure; its ratios are host against x264 in the same run.

#include "Platform/SystemInfo/UsableProcessors.h"
#include "QuillmereMac/Capture/DirtyArea.h"
#include "QuillmereMac/Encoder/EncoderThreading.h"
#include "QuillmereMac/Encoder/VideoEncoder.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereMacCore/FrameGate.h"
#include "ScreenScenes.h"

extern "C" {
#include <x264.h>
}

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cmath>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace quillmere {
namespace {

using bench::Canvas;
using bench::GlyphAtlas;
using bench::MotionScene;
using bench::ScreenScene;
using testing::DecodedPicture;
using testing::H264TestDecoder;

constexpr std::uint64_t second = 1'000'000'000;
constexpr int clientFps = 60;
// The start of the uptime clock the samples are stamped on.
constexpr std::uint64_t origin = 100 * second;

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// PSNR of the luma, and SSIM over 8x8 windows.
struct Quality {
    double psnr = 0;
    double ssim = 0;
};

Quality compare(const PixelBuffer& source, const DecodedPicture& decoded) {
    const int w = source.width(), h = source.height();
    const std::uint8_t* s = source.planeBaseAddress(0);
    const std::size_t stride = source.planeBytesPerRow(0);
    double squares = 0, ssim = 0;
    int windows = 0;
    for (int by = 0; by + 8 <= h; by += 8) {
        for (int bx = 0; bx + 8 <= w; bx += 8) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int y = by; y < by + 8; ++y) {
                const std::uint8_t* a = s + static_cast<std::size_t>(y) * stride + bx;
                const std::uint8_t* b = decoded.luma.data() + static_cast<std::size_t>(y) * w + bx;
                for (int x = 0; x < 8; ++x) {
                    const double va = a[x], vb = b[x];
                    sa += va;
                    sb += vb;
                    saa += va * va;
                    sbb += vb * vb;
                    sab += va * vb;
                }
            }
            squares += saa + sbb - 2 * sab;
            const double ma = sa / 64, mb = sb / 64;
            const double va = saa / 64 - ma * ma, vb = sbb / 64 - mb * mb, cov = sab / 64 - ma * mb;
            constexpr double c1 = 6.5025, c2 = 58.5225;
            ssim += (2 * ma * mb + c1) * (2 * cov + c2) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++windows;
        }
    }
    const double mse = squares / (static_cast<double>(windows) * 64);
    return {mse <= 0 ? 100.0 : std::min(100.0, 10 * std::log10(255.0 * 255.0 / mse)), ssim / std::max(windows, 1)};
}

struct Case {
    std::string scene;
    int width = 1920;
    int height = 1080;
    int kbps = 8000;
    int fps = 60;
};

// One encoder's run over one case.
struct Outcome {
    double psnr = 0;
    double ssim = 0;
    double kbps = 0;
    // Over the second half, once the rate control has settled.
    double steadyKbps = 0;
    double largestP = 0;       // in budgets of the frame's real interval
    double largestKeyKB = 0;
    double afterChange = 100;  // worst PSNR within 250 ms of a window change
    double stillPsnr = 0;      // one second into the still spell
    double cpuMsPerSecond = 0;
    int frames = 0;
    int refinements = 0;
};

// Accumulates what an encoder emitted and what the viewer holds.
class Viewer {
public:
    Viewer(const Case& c, double duration, std::vector<double> changes, double stillFrom)
        : case_(c), duration_(duration), changes_(std::move(changes)), stillFrom_(stillFrom) {}

    void frame(const Bytes& stream, bool keyframe, std::uint64_t pts, bool refinement) {
        const auto pictures = decoder_.decode(stream);
        if (!pictures.empty()) held_ = pictures.back();
        const double bits = static_cast<double>(stream.size()) * 8;
        bytes_ += stream.size();
        if (static_cast<double>(pts - origin) / 1e9 >= duration_ / 2) steadyBytes_ += stream.size();
        ++outcome_.frames;
        if (refinement) ++outcome_.refinements;
        if (keyframe) {
            outcome_.largestKeyKB = std::max(outcome_.largestKeyKB, static_cast<double>(stream.size()) / 1000);
        } else if (lastPts_) {
            const double interval = static_cast<double>(pts - *lastPts_) / 1e9;
            outcome_.largestP = std::max(outcome_.largestP, bits / (case_.kbps * 1000.0 * interval));
        }
        lastPts_ = pts;
    }
    // The viewer looks at time t (seconds into the scene).
    void sample(double t, const PixelBuffer& source) {
        if (!held_) return;
        const Quality q = compare(source, *held_);
        psnr_ += q.psnr;
        ssim_ += q.ssim;
        ++samples_;
        for (const double change : changes_) {
            if (t >= change && t < change + 0.25) outcome_.afterChange = std::min(outcome_.afterChange, q.psnr);
        }
        if (t <= stillFrom_ + 1.0 + 1e-9) outcome_.stillPsnr = q.psnr;
    }
    Outcome finish(double cpuMs) {
        outcome_.psnr = psnr_ / std::max(samples_, 1);
        outcome_.ssim = ssim_ / std::max(samples_, 1);
        outcome_.kbps = static_cast<double>(bytes_) * 8 / 1000 / duration_;
        outcome_.steadyKbps = static_cast<double>(steadyBytes_) * 8 / 1000 / (duration_ / 2);
        outcome_.cpuMsPerSecond = cpuMs / duration_;
        return outcome_;
    }
    int decodeErrors() const { return decoder_.errors; }

private:
    Case case_;
    double duration_;
    std::vector<double> changes_;
    double stillFrom_;
    H264TestDecoder decoder_;
    std::optional<DecodedPicture> held_;
    std::optional<std::uint64_t> lastPts_;
    std::size_t bytes_ = 0;
    std::size_t steadyBytes_ = 0;
    double psnr_ = 0, ssim_ = 0;
    int samples_ = 0;
    Outcome outcome_;
};

// The frames of a case, drawn ahead of the runs: sample i at i / fps.
struct Frames {
    std::vector<PixelBufferRef> pictures;
    // What changed since the sample before; none: unknown, all of it.
    std::vector<std::optional<std::vector<Rect>>> changed;
    double duration = 0;
    std::vector<double> changes;
    double stillFrom = 1e9;
};

std::optional<GlyphAtlas>& font(int size, std::string& error) {
    static std::map<int, std::optional<GlyphAtlas>> atlases;
    auto& atlas = atlases[size];
    if (!atlas) atlas = GlyphAtlas::load(size, error);
    return atlas;
}

std::optional<Frames> framesFor(const Case& c, std::string& error) {
    Frames frames;
    auto newPicture = [&] { return *PixelBuffer::make(PixelFormat::nv12VideoRange, c.width, c.height); };
    Canvas canvas(c.width, c.height);
    if (c.scene == "motion") {
        auto scene = MotionScene::load(c.width, c.height, error);
        if (!scene) return std::nullopt;
        frames.duration = scene->duration();
        for (int i = 0; i < static_cast<int>(frames.duration * c.fps); ++i) {
            scene->draw(canvas, static_cast<double>(i) / c.fps);
            frames.pictures.push_back(newPicture());
            canvas.toNV12(*frames.pictures.back());
            frames.changed.emplace_back(std::nullopt);
        }
        return frames;
    }
    auto& atlas = font(c.width > 1920 ? 30 : 15, error);
    if (!atlas) return std::nullopt;
    const ScreenScene scene(c.scene == "recording" ? ScreenScene::Kind::recording : ScreenScene::Kind::still, c.width,
                            c.height, *atlas);
    frames.duration = scene.duration();
    frames.changes = scene.sceneChanges();
    frames.stillFrom = scene.stillFrom();
    std::optional<ScreenScene::State> last;
    for (int i = 0; i < static_cast<int>(frames.duration * c.fps); ++i) {
        const ScreenScene::State state = scene.stateAt(static_cast<double>(i) / c.fps);
        if (last && *last == state) {
            frames.pictures.push_back(frames.pictures.back());
            frames.changed.emplace_back(std::vector<Rect>{});
            continue;
        }
        scene.draw(canvas, state);
        frames.pictures.push_back(newPicture());
        canvas.toNV12(*frames.pictures.back());
        if (last) frames.changed.emplace_back(scene.changed(*last, state));
        else frames.changed.emplace_back(std::nullopt);
        last = state;
    }
    return frames;
}

std::uint64_t stamp(int i, int fps) { return origin + static_cast<std::uint64_t>(i) * second / static_cast<std::uint64_t>(fps); }

EncoderConfig configFor(const Case& c) {
    EncoderConfig config;
    config.width = c.width;
    config.height = c.height;
    config.fps = clientFps;
    config.bitrateKbps = static_cast<std::uint32_t>(c.kbps);
    config.maxKeyframeIntervalSeconds = 30;
    config.maxInFlight = 2;
    return config;
}

// The host's encoder, one frame at a time, waiting for each unit.
class HostEncoder {
public:
    // What the viewer gets of a unit: its stream with the parameter sets in
    // front of keyframes.
    struct Unit {
        Bytes stream;
        bool keyframe = false;
        bool refinable = false;
    };

    explicit HostEncoder(const EncoderConfig& config, std::string& error) {
        auto made = VideoEncoder::make(config, [this](VideoEncoder::Result result) {
            Unit unit;
            if (result) {
                unit.stream = result->parameterSets ? testing::withParameterSets(*result->parameterSets, result->data)
                                                    : result->data;
                unit.keyframe = result->isKeyframe;
                unit.refinable = result->refinable;
            }
            std::lock_guard lock(mutex_);
            results_.push_back(std::move(unit));
            arrived_.notify_all();
        });
        if (!made) error = made.error().description();
        else encoder_ = *made;
    }
    bool ready() const { return encoder_ != nullptr; }

    // None when the frame was refused or failed.
    std::optional<Unit> encode(const PixelBufferRef& picture, std::uint64_t t, bool keyframe,
                               const std::optional<std::vector<Rect>>& changed, bool refinement, double& cpuMs) {
        CapturedFrame frame;
        frame.pixelBuffer = picture;
        frame.width = picture->width();
        frame.height = picture->height();
        frame.captureTimeNs = t;
        frame.captureEpoch = 1;
        const DirtyArea area = changed ? DirtyArea::rects(*changed) : DirtyArea::all();
        const double start = processCpuMs();
        const auto purpose = refinement ? VideoEncoder::Purpose::refinement : VideoEncoder::Purpose::content;
        if (encoder_->encode(frame, keyframe, &area, purpose).kind != VideoEncoder::Submission::Kind::submitted)
            return std::nullopt;
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [&] { return !results_.empty(); });
        cpuMs += processCpuMs() - start;
        Unit unit = std::move(results_.front());
        results_.pop_front();
        if (unit.stream.empty()) return std::nullopt;
        return unit;
    }

private:
    std::shared_ptr<VideoEncoder> encoder_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Unit> results_;
};

Outcome runHost(const Case& c, const Frames& frames, std::string& error) {
    HostEncoder encoder(configFor(c), error);
    Viewer viewer(c, frames.duration, frames.changes, frames.stillFrom);
    if (!encoder.ready()) return {};
    FrameGate gate;
    double cpuMs = 0;
    const PixelBufferRef* lastPicture = nullptr;
    auto emit = [&](const HostEncoder::Unit& unit, std::uint64_t t, bool refinement) {
        gate.noteOutput(unit.refinable);
        viewer.frame(unit.stream, unit.keyframe, t, refinement);
    };
    // Refinements the gate asks for before time t.
    auto refineUntil = [&](std::uint64_t t) {
        while (lastPicture) {
            const auto due = gate.refinementDue(false);
            if (!due || *due >= t) return;
            if (gate.refine(*due, false).action != FrameGate::Action::encode) return;
            const auto unit = encoder.encode(*lastPicture, *due, false, std::vector<Rect>{}, true, cpuMs);
            if (!unit) return;
            emit(*unit, *due, true);
        }
    };
    const int count = static_cast<int>(frames.pictures.size());
    for (int i = 0; i < count; ++i) {
        const std::uint64_t t = stamp(i, c.fps);
        refineUntil(t);
        const auto& changed = frames.changed[i];
        if (i == 0 || !changed || !changed->empty()) {
            gate.noteEncoded(t);
            const auto unit = encoder.encode(frames.pictures[i], t, i == 0, changed, false, cpuMs);
            if (!unit) {
                error = "frame refused";
                return {};
            }
            lastPicture = &frames.pictures[i];
            emit(*unit, t, false);
        }
        viewer.sample(static_cast<double>(i) / c.fps, *frames.pictures[i]);
    }
    refineUntil(stamp(count, c.fps));
    if (viewer.decodeErrors() != 0) error = "the host's stream did not decode";
    return viewer.finish(cpuMs);
}

// libx264 with its own rate control, every sample a frame.
Outcome runX264(const Case& c, const Frames& frames, std::string& error) {
    x264_param_t param;
    x264_param_default_preset(&param, "ultrafast", "zerolatency");
    param.i_log_level = X264_LOG_ERROR;
    param.i_csp = X264_CSP_NV12;
    param.i_width = c.width;
    param.i_height = c.height;
    param.i_fps_num = clientFps;
    param.i_fps_den = 1;
    param.b_vfr_input = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = static_cast<std::uint32_t>(second);
    param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    param.i_scenecut_threshold = 0;
    const auto threads = EncoderThreading::choose(UsableProcessors::count(), c.width, c.height, clientFps);
    param.i_threads = threads.sliceThreads;
    param.b_sliced_threads = 1;
    param.i_lookahead_threads = threads.lookaheadThreads;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = c.kbps;
    param.rc.i_vbv_max_bitrate = c.kbps;
    param.rc.i_vbv_buffer_size = c.kbps / 4;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    x264_param_apply_profile(&param, "high");
    x264_t* encoder = x264_encoder_open(&param);
    if (encoder == nullptr) {
        error = "libx264 did not open";
        return {};
    }
    Viewer viewer(c, frames.duration, frames.changes, frames.stillFrom);
    double cpuMs = 0;
    // x264 holds each frame until the next one shows how long it lasts.
    std::deque<int> waiting;
    auto take = [&](int size, const x264_nal_t* nals, const x264_picture_t& out) {
        if (size <= 0 || waiting.empty()) return;
        const int i = waiting.front();
        waiting.pop_front();
        viewer.frame(Bytes(nals[0].p_payload, nals[0].p_payload + size), out.b_keyframe != 0,
                     static_cast<std::uint64_t>(out.i_pts), false);
        viewer.sample(static_cast<double>(i) / c.fps, *frames.pictures[static_cast<std::size_t>(i)]);
    };
    const int count = static_cast<int>(frames.pictures.size());
    for (int i = 0; i < count; ++i) {
        const PixelBuffer& pixels = *frames.pictures[static_cast<std::size_t>(i)];
        x264_picture_t picture;
        x264_picture_init(&picture);
        picture.img.i_csp = X264_CSP_NV12;
        picture.img.i_plane = 2;
        for (int plane = 0; plane < 2; ++plane) {
            picture.img.plane[plane] = pixels.planeBaseAddress(static_cast<std::size_t>(plane));
            picture.img.i_stride[plane] = static_cast<int>(pixels.planeBytesPerRow(static_cast<std::size_t>(plane)));
        }
        picture.i_pts = static_cast<std::int64_t>(stamp(i, c.fps));
        picture.i_type = i == 0 ? X264_TYPE_IDR : X264_TYPE_AUTO;
        waiting.push_back(i);
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t out;
        const double start = processCpuMs();
        const int size = x264_encoder_encode(encoder, &nals, &nalCount, &picture, &out);
        cpuMs += processCpuMs() - start;
        take(size, nals, out);
    }
    while (x264_encoder_delayed_frames(encoder) > 0) {
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t out;
        const double start = processCpuMs();
        const int size = x264_encoder_encode(encoder, &nals, &nalCount, nullptr, &out);
        cpuMs += processCpuMs() - start;
        if (size < 0) break;
        take(size, nals, out);
    }
    x264_encoder_close(encoder);
    if (viewer.decodeErrors() != 0) error = "x264's stream did not decode";
    return viewer.finish(cpuMs);
}

struct Row {
    Case c;
    Outcome host;
    Outcome x264;
};

std::vector<Row>& table() {
    static std::vector<Row> rows;
    return rows;
}

void BM_PictureQuality(benchmark::State& state, Case c) {
    std::string error;
    const auto frames = framesFor(c, error);
    if (!frames) {
        state.SkipWithError(error.c_str());
        return;
    }
    Row row{c, {}, {}};
    for (auto _ : state) {
        row.x264 = runX264(c, *frames, error);
        if (error.empty()) row.host = runHost(c, *frames, error);
    }
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    state.counters["host_psnr"] = row.host.psnr;
    state.counters["x264_psnr"] = row.x264.psnr;
    state.counters["host_kbps"] = row.host.kbps;
    state.counters["x264_kbps"] = row.x264.kbps;
    state.counters["ratio_cpu"] = row.host.cpuMsPerSecond / std::max(row.x264.cpuMsPerSecond, 1e-9);
    table().push_back(row);
}

void registerCases() {
    for (const char* scene : {"recording", "motion"}) {
        for (const int kbps : {3000, 8000, 20000}) {
            for (const int fps : {60, 30, 15, 10}) {
                const Case c{scene, 1920, 1080, kbps, fps};
                benchmark::RegisterBenchmark(fmt::format("{}/1080p/{}k/{}fps", scene, kbps, fps).c_str(),
                                             BM_PictureQuality, c)
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    // Full motion that needs more than its rate, encoded at a quarter of
    // what the client allows.
    benchmark::RegisterBenchmark("motion/1080p/4000k/15fps", BM_PictureQuality, Case{"motion", 1920, 1080, 4000, 15})
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        for (const int kbps : {3000, 20000}) {
            benchmark::RegisterBenchmark(fmt::format("still/{}p/{}k/60fps", h, kbps).c_str(), BM_PictureQuality,
                                         Case{"still", w, h, kbps, 60})
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

void printTable() {
    fmt::print("\n| case | encoder | PSNR-Y dB | SSIM | kbit/s | 2nd half kbit/s | largest P / budget | largest key KB | worst after "
               "change dB | still +1 s dB | CPU ms/s | frames (refinements) |\n");
    fmt::print("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& row : table()) {
        const std::string name =
            fmt::format("{} {}p {}k {}fps", row.c.scene, row.c.height, row.c.kbps / 1000, row.c.fps);
        for (const auto& [label, o] : {std::pair{"host", row.host}, std::pair{"x264", row.x264}}) {
            const bool screen = row.c.scene != "motion";
            fmt::print("| {} | {} | {:.2f} | {:.4f} | {:.0f} | {:.0f} | {:.2f} | {:.1f} | {} | {} | {:.1f} | {} ({}) |\n",
                       name, label, o.psnr, o.ssim, o.kbps, o.steadyKbps, o.largestP, o.largestKeyKB,
                       row.c.scene == "recording" ? fmt::format("{:.2f}", o.afterChange) : "-",
                       screen ? fmt::format("{:.2f}", o.stillPsnr) : "-", o.cpuMsPerSecond, o.frames,
                       o.refinements);
        }
        fmt::print("| {} | host/x264 | {:+.2f} | {:+.4f} | {:.2f}x | {:.2f}x | | | | | {:.2f}x | |\n", name,
                   row.host.psnr - row.x264.psnr, row.host.ssim - row.x264.ssim,
                   row.host.kbps / std::max(row.x264.kbps, 1e-9),
                   row.host.steadyKbps / std::max(row.x264.steadyKbps, 1e-9),
                   row.host.cpuMsPerSecond / std::max(row.x264.cpuMsPerSecond, 1e-9));
    }
}

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    quillmere::registerCases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    quillmere::printTable();
    return 0;
}

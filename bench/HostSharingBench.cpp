// The host as a user runs it, shared by the composed host to the
// command-line viewer (paired through an invitation, streaming display:0 over
// loopback QUIC) from a 1920x1080 Xvfb.
//
// A live desktop: an X client slides a block across the screen at 60 fps
// (MovingDesktopSource.h, a process of its own on processors 0-1), once a
// large one and once one that changes under half a per cent of the screen a
// frame. Over 30 s, from the viewer's own timing log: the frames it received
// a second against those the client showed in the same run, and the longest
// wait between two received frames (with how far apart those two were
// captured, so a gap made before sending is told from one made on the way)
// against the client's own longest wait.
//
// Full motion: every pixel changes at 60 fps (FullMotionSource.h: frames
// replayed from server-side pixmaps by a process of its own, on processors
// 0-1, so the picture keeps its rate beside the measurement and no damage or
// macroblock map helps). Against ffmpeg grabbing the same display in the same
// run:
//   ffmpeg -f x11grab -framerate 60 -video_size 1920x1080 -i :N -c:v libx264
//          -preset ultrafast -tune zerolatency -pix_fmt yuv420p
//          -f mpegts udp://127.0.0.1:P          (sends to a sink of ours)
// The rate the source kept is reported beside each run. The host's CPU is
// this process's (the host's threads only: the viewer, the source and Xvfb
// are other processes); ffmpeg's is its own.

#include "FullMotionSource.h"
#include "MovingDesktopSource.h"
#include "ProcessCpu.h"
#include "ReceivedFrames.h"

#include "Platform/Dispatch/Clock.h"
#include "QuillmereMac/Media/SurfacePipeline.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/RatioReporter.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/XvfbServer.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

constexpr int width = 1920;
constexpr int height = 1080;
constexpr int fps = 60;
constexpr auto warmUp = 3s;
constexpr auto measured = 8s;
constexpr auto liveMeasured = 30s;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// What moves on the display: the full-motion picture, or a striped block an
// X client slides across it (MovingDesktopSource.h) of this size.
struct Source {
    int blockWidth = 0;
    int blockHeight = 0;
    bool fullMotion() const { return blockWidth == 0; }
    bool operator==(const Source&) const = default;
};
constexpr Source fullMotion{};
// Each frame changes about 6 % of the screen.
constexpr Source movingBlock{480, 270};
// Each frame changes about a quarter of a per cent of the screen.
constexpr Source smallBlock{64, 64};

// The display with the moving picture on it, kept while the benchmarks that
// share it run.
struct Screen {
    testing::XvfbServer server{{.screens = {{width, height}}}};
    testing::TemporaryFolder folder;
    const std::filesystem::path counter = folder.path() / "shown";
    const Source kind;
    testing::ChildProcess source;

    explicit Screen(Source kind) : kind(kind) {
        if (!server.ready()) return;
        // Off the processors the measurement is pinned to, so that the
        // picture keeps its rate however busy those are.
        std::vector<std::string> arguments{std::filesystem::read_symlink("/proc/self/exe").string(),
                                           std::string(kind.fullMotion() ? bench::sourceFlag : bench::movingSourceFlag),
                                           server.displayName(), counter.string(), "0,1"};
        if (!kind.fullMotion())
            arguments.insert(arguments.end(), {std::to_string(kind.blockWidth), std::to_string(kind.blockHeight)});
        source = testing::ChildProcess(arguments, {.output = folder.path() / "source.txt"});
        // Rendering the frames into the server takes a few seconds.
        testing::eventually([&] { return shown() > 0; }, 60s);
    }
    std::uint64_t shown() const {
        return kind.fullMotion() ? bench::framesShown(counter) : bench::moverCount(counter).shown;
    }
    bool playing() const { return source.running() && shown() > 0; }
};

// Frames the source showed a second and its CPU a second, over a stretch.
struct SourceRate {
    explicit SourceRate(const Screen& screen)
        : screen_(screen), shown_(screen.shown()), cpu_(bench::childCpuSeconds(screen.source.pid())),
          started_(std::chrono::steady_clock::now()) {}
    void finish(double& fps, double& cpuPerSecond) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        fps = static_cast<double>(screen_.shown() - shown_) / seconds;
        cpuPerSecond = (bench::childCpuSeconds(screen_.source.pid()) - cpu_) / seconds;
    }

private:
    const Screen& screen_;
    std::uint64_t shown_;
    double cpu_;
    std::chrono::steady_clock::time_point started_;
};

// One display at a time: asking for another picture ends the last one.
Screen& screen(Source kind) {
    static std::unique_ptr<Screen> shared;
    if (!shared || !(shared->kind == kind)) {
        shared.reset();
        shared = std::make_unique<Screen>(kind);
    }
    return *shared;
}

struct Figures {
    double cpuPerSecond = 0;
    double fps = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double bytesPerSecond = 0;
    double targetBytesPerSecond = 0;
    double sourceFps = 0;
    double sourceCpuPerSecond = 0;
    // What the viewer received over the stretch measured (live desktop).
    std::optional<bench::ReceivedFrames> received;
    double sourceLongestGapMs = 0;
    // Frames the host captured a second, and those its gate let go.
    double capturedFps = 0;
    std::int64_t gateDropped = 0;
};

std::optional<Figures> runHost(const Screen& screen, std::chrono::seconds measured, bool timed) {
    const std::string& display = screen.server.displayName();
    testing::TestHost host(testing::TestHost::Options{.pipelineDisplay = display});
    const std::uint16_t port = host.start();
    testing::TemporaryFolder folder;
    const std::string state = (folder.path() / "viewer").string();
    const std::string invitation = host.showInvitation();
    testing::ChildProcess pairing({QUILLMERE_VIEWER_PROGRAM, "--state", state, "pair", "--name", "Bench viewer",
                                   invitation},
                                  {.output = folder.path() / "pairing.txt"});
    if (!host.approvePairing() || pairing.wait(30s) != 0) return std::nullopt;

    const auto streaming = std::chrono::duration_cast<std::chrono::seconds>(warmUp + measured) + 2s;
    const auto summary = folder.path() / "summary.json";
    const auto timing = folder.path() / "timing.jsonl";
    std::vector<std::string> arguments{QUILLMERE_VIEWER_PROGRAM, "--state", state, "connect", "--host", "127.0.0.1",
                                       "--port", std::to_string(port), "--select", "display:0", "--duration",
                                       std::to_string(streaming.count())};
    if (timed) arguments.insert(arguments.end(), {"--timing-log", timing.string()});
    testing::ChildProcess viewer(arguments, {.output = summary, .errors = folder.path() / "viewer.txt"});
    std::this_thread::sleep_for(warmUp);
    // Frames and bytes the host encoded, and the rate asked of its encoder,
    // by its own count.
    const auto snapshot = [&] {
        SurfacePipeline::PerfSnapshot taken;
        if (const auto surface = host.pipeline->lowestSurface())
            surface->second->queue().sync([&] { taken = surface->second->perfSnapshot(); });
        return taken;
    };
    const auto first = snapshot();
    const SourceRate source(screen);
    if (!screen.kind.fullMotion()) bench::resetMoverGap(screen.counter);
    const double before = bench::processCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t windowStart = Clock::nowNs();
    std::this_thread::sleep_for(measured);
    const std::uint64_t windowEnd = Clock::nowNs();
    const double cpu = bench::processCpuSeconds() - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Figures figures;
    source.finish(figures.sourceFps, figures.sourceCpuPerSecond);
    if (!screen.kind.fullMotion())
        figures.sourceLongestGapMs = static_cast<double>(bench::moverCount(screen.counter).longestGapNs) / 1e6;
    const auto last = snapshot();
    if (viewer.wait(streaming + 20s).value_or(-1) != 0) return std::nullopt;

    const auto report = nlohmann::json::parse(readAll(summary), nullptr, false);
    if (report.is_discarded() || !report["latencyMs"].is_object()) return std::nullopt;
    figures.cpuPerSecond = cpu / seconds;
    figures.fps = static_cast<double>(last.stats.sent - first.stats.sent) / seconds;
    figures.bytesPerSecond = static_cast<double>(last.stats.encodedBytes - first.stats.encodedBytes) / seconds;
    figures.targetBytesPerSecond = static_cast<double>(last.bitrateKbps) * 1000 / 8;
    figures.p50Ms = report["latencyMs"]["p50"].get<double>();
    figures.p99Ms = report["latencyMs"]["p99"].get<double>();
    figures.capturedFps = static_cast<double>(last.stats.captured - first.stats.captured) / seconds;
    figures.gateDropped = (last.stats.tierSkipped - first.stats.tierSkipped) +
                          (last.stats.quietSkipped - first.stats.quietSkipped) +
                          (last.stats.unchanged - first.stats.unchanged) +
                          (last.stats.encoderDrops - first.stats.encoderDrops);
    if (timed) {
        figures.received = bench::ReceivedFrames::from(readAll(timing), windowStart, windowEnd);
        if (!figures.received) return std::nullopt;
    }
    return figures;
}

std::optional<Figures> runFfmpeg(const Screen& screen) {
    const std::string& display = screen.server.displayName();
    bench::UdpSink sink;
    if (sink.port() == 0) return std::nullopt;
    testing::TemporaryFolder folder;
    const auto progress = folder.path() / "progress.txt";
    const std::string duration = std::to_string(std::chrono::duration<double>(measured).count());
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const SourceRate source(screen);
    const auto started = std::chrono::steady_clock::now();
    testing::ChildProcess ffmpeg(
        {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "fatal", "-f", "x11grab", "-framerate", std::to_string(fps),
         "-video_size", fmt::format("{}x{}", width, height), "-i", display, "-t", duration, "-c:v", "libx264",
         "-preset", "ultrafast", "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-progress", progress.string(),
         "-f", "mpegts", fmt::format("udp://127.0.0.1:{}?pkt_size=1316", sink.port())});
    if (ffmpeg.wait() != 0) return std::nullopt;
    Figures figures;
    source.finish(figures.sourceFps, figures.sourceCpuPerSecond);
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.cpuPerSecond = (bench::cpuSeconds(after) - bench::cpuSeconds(before)) / seconds;
    // MPEG-TS packets: a few per cent over the H.264 they carry.
    figures.bytesPerSecond = static_cast<double>(sink.bytes()) / seconds;
    std::istringstream lines(readAll(progress));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("frame=")) figures.fps = std::stod(line.substr(6)) / std::stod(duration);
    }
    return figures;
}

void sharing(benchmark::State& state, bool host) {
    Screen& shared = screen(fullMotion);
    if (!shared.server.ready() || !shared.playing()) {
        state.SkipWithError("Xvfb or the moving picture did not start");
        return;
    }
    for (auto _ : state) {
        const auto figures = host ? runHost(shared, measured, false) : runFfmpeg(shared);
        if (!figures) {
            state.SkipWithError(host ? "the host did not stream to the viewer" : "ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(measured).count());
        state.counters["cpu_per_s"] = figures->cpuPerSecond;
        state.counters[host ? "sent_fps" : "encoded_fps"] = figures->fps;
        state.counters["source_fps"] = figures->sourceFps;
        state.counters["source_cpu_per_s"] = figures->sourceCpuPerSecond;
        state.counters[host ? "encoded_bytes_per_s" : "sent_bytes_per_s"] = figures->bytesPerSecond;
        if (host) {
            state.counters["capture_to_decoded_p50_ms"] = figures->p50Ms;
            state.counters["capture_to_decoded_p99_ms"] = figures->p99Ms;
            state.counters["target_bytes_per_s"] = figures->targetBytesPerSecond;
        }
    }
}

// A desktop an X client redraws at 60 fps, watched for 30 s: the frames
// the viewer received a second against those the client showed, and the
// longest wait between two received frames against the client's own.
void liveDesktop(benchmark::State& state, Source kind) {
    Screen& shared = screen(kind);
    if (!shared.server.ready() || !shared.playing()) {
        state.SkipWithError("Xvfb or the mover did not start");
        return;
    }
    for (auto _ : state) {
        const auto figures = runHost(shared, liveMeasured, true);
        if (!figures || !figures->received) {
            state.SkipWithError("the host did not stream to the viewer");
            return;
        }
        const bench::ReceivedFrames& received = *figures->received;
        state.SetIterationTime(std::chrono::duration<double>(liveMeasured).count());
        state.counters["received_fps"] = received.fps;
        state.counters["source_fps"] = figures->sourceFps;
        state.counters["received_of_shown"] = received.fps / std::max(figures->sourceFps, 1.0);
        state.counters["longest_gap_ms"] = received.longestGapMs;
        state.counters["longest_gap_captured_ms"] = received.longestGapCapturedMs;
        state.counters["source_longest_gap_ms"] = figures->sourceLongestGapMs;
        state.counters["gaps_over_34ms"] = static_cast<double>(received.longGaps);
        state.counters["missing_frames"] = static_cast<double>(received.missing);
        state.counters["captured_fps"] = figures->capturedFps;
        state.counters["gate_dropped"] = static_cast<double>(figures->gateDropped);
        state.counters["cpu_per_s"] = figures->cpuPerSecond;
        state.counters["capture_to_decoded_p99_ms"] = figures->p99Ms;
    }
}

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    if (const auto played = quillmere::bench::playFullMotionIfAsked(argc, argv)) return *played;
    if (const auto played = quillmere::bench::playMovingDesktopIfAsked(argc, argv)) return *played;
    for (const auto& [name, kind] : {std::pair{"Host/liveDesktop1080p60", quillmere::movingBlock},
                                     std::pair{"Host/smallMotion1080p60", quillmere::smallBlock}}) {
        benchmark::RegisterBenchmark(name, [kind](benchmark::State& state) { quillmere::liveDesktop(state, kind); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    }
    for (const bool host : {true, false}) {
        benchmark::RegisterBenchmark(host ? "Host/fullMotion1080p60" : "FfmpegSending/fullMotion1080p60",
                                     [host](benchmark::State& state) { quillmere::sharing(state, host); })
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    }
    quillmere::testing::RatioReporter reporter("CPU per second as a multiple of ffmpeg's (1.0 = as costly)",
                                               "cpu_per_s");
    reporter.compare("Host/", "FfmpegSending/");
    return reporter.run(argc, argv);
}

// The host as a user runs it, on a full-motion picture: a 1920x1080 Xvfb on
// which every pixel changes at 60 fps (FullMotionSource.h: frames replayed
// from server-side pixmaps by a process of its own, on processors 0-1, so
// the picture keeps its rate beside the measurement and no damage or
// macroblock map helps), shared by the composed host to the command-line
// viewer (paired through an invitation, streaming display:0 over loopback
// QUIC). Against ffmpeg grabbing the same display in the same run:
//   ffmpeg -f x11grab -framerate 60 -video_size 1920x1080 -i :N -c:v libx264
//          -preset ultrafast -tune zerolatency -pix_fmt yuv420p
//          -f mpegts udp://127.0.0.1:P          (sends to a sink of ours)
// The rate the source kept is reported beside each run. The host's CPU is
// this process's (the host's threads only: the viewer, the source and Xvfb
// are other processes); ffmpeg's is its own.

#include "FullMotionSource.h"
#include "ProcessCpu.h"

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

std::string readAll(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The display with the moving picture on it, kept for the whole run.
struct Screen {
    testing::XvfbServer server{{.screens = {{width, height}}}};
    testing::TemporaryFolder folder;
    const std::filesystem::path counter = folder.path() / "shown";
    testing::ChildProcess source;

    Screen() {
        if (!server.ready()) return;
        // Off the processors the measurement is pinned to, so that the
        // picture keeps its rate however busy those are.
        source = testing::ChildProcess({std::filesystem::read_symlink("/proc/self/exe").string(),
                                        std::string(bench::sourceFlag), server.displayName(), counter.string(), "0,1"},
                                       {.output = folder.path() / "source.txt"});
        // Rendering the frames into the server takes a few seconds.
        testing::eventually([&] { return bench::framesShown(counter) > 0; }, 60s);
    }
    bool playing() const { return source.running() && bench::framesShown(counter) > 0; }
};

// Frames the source showed a second and its CPU a second, over a stretch.
struct SourceRate {
    explicit SourceRate(const Screen& screen)
        : screen_(screen), shown_(bench::framesShown(screen.counter)), cpu_(bench::childCpuSeconds(screen.source.pid())),
          started_(std::chrono::steady_clock::now()) {}
    void finish(double& fps, double& cpuPerSecond) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        fps = static_cast<double>(bench::framesShown(screen_.counter) - shown_) / seconds;
        cpuPerSecond = (bench::childCpuSeconds(screen_.source.pid()) - cpu_) / seconds;
    }

private:
    const Screen& screen_;
    std::uint64_t shown_;
    double cpu_;
    std::chrono::steady_clock::time_point started_;
};

Screen& screen() {
    static Screen shared;
    return shared;
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
};

std::optional<Figures> runHost(const Screen& screen) {
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
    testing::ChildProcess viewer({QUILLMERE_VIEWER_PROGRAM, "--state", state, "connect", "--host", "127.0.0.1",
                                  "--port", std::to_string(port), "--select", "display:0", "--duration",
                                  std::to_string(streaming.count())},
                                 {.output = summary, .errors = folder.path() / "viewer.txt"});
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
    const double before = bench::processCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(measured);
    const double cpu = bench::processCpuSeconds() - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Figures figures;
    source.finish(figures.sourceFps, figures.sourceCpuPerSecond);
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
    Screen& shared = screen();
    if (!shared.server.ready() || !shared.playing()) {
        state.SkipWithError("Xvfb or the moving picture did not start");
        return;
    }
    for (auto _ : state) {
        const auto figures = host ? runHost(shared) : runFfmpeg(shared);
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

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    if (const auto played = quillmere::bench::playFullMotionIfAsked(argc, argv)) return *played;
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

// The whole host pipeline at 1080p60 on a private Xvfb: the media pipeline
// makes the display's capture source, the surface pipeline decides and
// encodes, and a media sender cuts every frame into datagrams on a
// connection queue. Measured over a moving desktop and a still one: CPU per
// second of this process (without the thread that moves the picture) and
// capture-to-sent latency, against
//   ffmpeg -f x11grab -framerate 60 -i :N -c:v libx264 -preset ultrafast
//          -tune zerolatency -pix_fmt yuv420p -f null -
// on the same display in the same run. The Xvfb server's own CPU is reported
// beside each.

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Media/MediaSender.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

constexpr int width = 1920;
constexpr int height = 1080;
constexpr auto warmUp = 1500ms;
constexpr auto measured = 6s;

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return cpuSeconds(usage);
}

// The Xvfb this process started: the child named Xvfb.
pid_t xvfbPid() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (line.find("(Xvfb)") == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == getpid()) found = pid;
    }
    closedir(proc);
    return found;
}

double childCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

struct Desktop {
    testing::XvfbServer server{{.screens = {{width, height}}, .windowManager = false}};
    pid_t serverPid = -1;

    Desktop() {
        if (!server.ready()) return;
        serverPid = xvfbPid();
        testing::X11TestClient client(server.displayName());
        for (int i = 0; i < 24; ++i) {
            client.fill(client.root(), (i * 173) % (width - 300), (i * 97) % (height - 200), 300, 200,
                        0x203040u + 0x0B0705u * static_cast<std::uint32_t>(i));
        }
        client.sync();
    }
};

Desktop& desktop() {
    static Desktop shared;
    return shared;
}

// Moves a textured block across the desktop at 60 frames a second, on its
// own connection and thread, and keeps count of its own CPU.
class Mover {
public:
    explicit Mover(const std::string& display) : client_(display), thread_([this] { run(); }) {}
    ~Mover() {
        stop_ = true;
        thread_.join();
    }
    double cpuSeconds() const { return cpu_.load(); }

private:
    void run() {
        const double start = threadCpuSeconds();
        std::uint64_t frame = 0;
        auto next = std::chrono::steady_clock::now();
        int lastX = 0;
        while (!stop_) {
            const int x = static_cast<int>((frame * 12) % (width - 480));
            const int y = 300 + static_cast<int>((frame * 5) % 400);
            client_.fill(client_.root(), lastX, 0, 480 + 12, height, 0x181818);
            for (int band = 0; band < 9; ++band) {
                client_.fill(client_.root(), x, y + band * 30, 480, 30,
                             0x406080u + 0x101010u * static_cast<std::uint32_t>((band + frame) % 8));
            }
            client_.sync();
            lastX = x;
            ++frame;
            cpu_ = threadCpuSeconds() - start;
            next += std::chrono::microseconds(16'667);
            std::this_thread::sleep_until(next);
        }
        cpu_ = threadCpuSeconds() - start;
    }

    testing::X11TestClient client_;
    std::atomic<bool> stop_{false};
    std::atomic<double> cpu_{0};
    std::thread thread_;
};

// Counts datagrams as a network stack would take them.
class CountingPeer final : public DatagramPeer {
public:
    explicit CountingPeer(Executor& queue) : queue_(queue) {}
    Executor& queue() override { return queue_; }
    void sendDatagram(SharedBytes datagram, Completion completion) override {
        bytes += datagram.size();
        if (completion) completion(true);
    }
    std::int64_t usableDatagramSize() const override { return 1200; }
    std::size_t bytes = 0;

private:
    Executor& queue_;
};

// A connection that admits and cuts every frame as the host connection
// does, and notes when each frame's datagrams left.
class SendingConnection final : public MediaConnection {
public:
    SendingConnection()
        : queue_(std::make_shared<SerialQueue>("com.ornbeck.quillmeretransport.bench")), peer_(*queue_),
          sender_(MediaSender::make(1, SendAdmission(AdmissionLimits(3, 50'000'000)), &Clock::nowNs,
                                    [](const EncodedFrame&) { return true; })) {}

    std::optional<Capabilities> capabilitiesCopy() const override {
        return Capabilities{{}, width, height, 60, 1, {}, 1200};
    }
    void announceStreamConfig(StreamConfig) override { configs_ += 1; }
    void sendFrame(EncodedFrame frame) override {
        queue_->async([this, frame = std::move(frame)]() mutable {
            const std::uint64_t captured = frame.captureTimeNs;
            sender_->offer(std::move(frame));
            sender_->send(peer_, 1200, {});
            const std::uint64_t now = Clock::nowNs();
            std::lock_guard lock(mutex_);
            if (recording_) latenciesMs_.push_back(static_cast<double>(now - captured) / 1e6);
            ++frames_;
        });
    }
    void noteContentChanged(std::uint32_t) override {}
    void endSurface(std::uint32_t) override { ended_ = true; }
    std::optional<std::uint32_t> keyframeIssued(std::uint32_t) override { return std::nullopt; }
    DatagramPacer::Metrics pacerMetrics() override { return {}; }

    bool configured() const { return configs_ > 0; }
    bool ended() const { return ended_; }
    void record(bool on) {
        std::lock_guard lock(mutex_);
        recording_ = on;
        if (on) {
            latenciesMs_.clear();
            frames_ = 0;
        }
    }
    std::vector<double> latencies() {
        std::lock_guard lock(mutex_);
        return latenciesMs_;
    }
    std::int64_t frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    void drain() { queue_->sync([] {}); }

private:
    std::shared_ptr<SerialQueue> queue_;
    CountingPeer peer_;
    std::shared_ptr<MediaSender> sender_;
    std::atomic<int> configs_{0};
    std::atomic<bool> ended_{false};
    std::mutex mutex_;
    bool recording_ = false;
    std::vector<double> latenciesMs_;
    std::int64_t frames_ = 0;
};

struct Run {
    double cpuPerSecond = 0;
    double xvfbPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double fps = 0;
};

std::optional<Run> runOurs(const std::string& display, pid_t server, Mover* mover) {
    auto mainActor = std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.bench.main");
    MediaPipeline::Services services;
    services.catalog = std::make_shared<WindowCatalog>(display);
    services.displays = DisplayQueries::x11(display);
    services.mainActor = mainActor.get();
    services.pipelines.normalRateControl = [] { return false; };
    auto media = MediaPipeline::make(std::move(services));
    auto connection = std::make_shared<SendingConnection>();

    mainActor->sync([&] { media->captureList(); });
    media->startSurface(1, CaptureChoice::displayIDBase, connection);
    testing::eventually([&] { return connection->configured() || connection->ended(); }, 10s);
    if (!connection->configured()) return std::nullopt;
    media->beginMedia(1, CaptureChoice::displayIDBase, connection);
    std::this_thread::sleep_for(warmUp);

    connection->record(true);
    const double moverBefore = mover ? mover->cpuSeconds() : 0;
    const double cpuBefore = processCpuSeconds();
    const double xvfbBefore = childCpuSeconds(server);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(measured);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The picture's motion is the desktop's work, not the pipeline's.
    const double cpu = processCpuSeconds() - cpuBefore - ((mover ? mover->cpuSeconds() : 0) - moverBefore);
    const double xvfb = childCpuSeconds(server) - xvfbBefore;
    connection->record(false);

    media->stopSurface(1, connection);
    std::this_thread::sleep_for(200ms);
    connection->drain();

    Run run;
    run.cpuPerSecond = cpu / seconds;
    run.xvfbPerSecond = xvfb / seconds;
    const auto latencies = connection->latencies();
    run.p50Ms = quantile(latencies, 0.5);
    run.p99Ms = quantile(latencies, 0.99);
    run.fps = static_cast<double>(latencies.size()) / seconds;
    return run;
}

std::optional<Run> runFfmpeg(const std::string& display, pid_t server) {
    const std::string duration = std::to_string(std::chrono::duration<double>(measured).count());
    std::vector<std::string> arguments{"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "fatal", "-f", "x11grab",
                                       "-framerate", "60", "-video_size", std::to_string(width) + "x" + std::to_string(height),
                                       "-i", display, "-t", duration, "-c:v", "libx264", "-preset", "ultrafast",
                                       "-tune", "zerolatency", "-pix_fmt", "yuv420p", "-f", "null", "-"};
    // ffmpeg is the only child reaped meanwhile: the children's use grows by its own.
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const double xvfbBefore = childCpuSeconds(server);
    const auto started = std::chrono::steady_clock::now();
    if (testing::ChildProcess(arguments).wait() != 0) return std::nullopt;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Run run;
    run.cpuPerSecond = (cpuSeconds(after) - cpuSeconds(before)) / seconds;
    run.xvfbPerSecond = (childCpuSeconds(server) - xvfbBefore) / seconds;
    return run;
}

void hostPipeline(benchmark::State& state, bool moving) {
    Desktop& shared = desktop();
    if (!shared.server.ready()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    if (access("/usr/bin/ffmpeg", X_OK) != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<Mover> mover;
        if (moving) mover = std::make_unique<Mover>(shared.server.displayName());
        auto ours = runOurs(shared.server.displayName(), shared.serverPid, mover.get());
        auto baseline = runFfmpeg(shared.server.displayName(), shared.serverPid);
        mover.reset();
        if (!ours || !baseline) {
            state.SkipWithError(!ours ? "the host pipeline did not stream" : "ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(measured).count());
        state.counters["cpu_per_s"] = ours->cpuPerSecond;
        state.counters["ffmpeg_cpu_per_s"] = baseline->cpuPerSecond;
        state.counters["cpu_ratio"] = baseline->cpuPerSecond > 0 ? ours->cpuPerSecond / baseline->cpuPerSecond : 0;
        state.counters["xvfb_cpu_per_s"] = ours->xvfbPerSecond;
        state.counters["ffmpeg_xvfb_cpu_per_s"] = baseline->xvfbPerSecond;
        state.counters["sent_fps"] = ours->fps;
        state.counters["capture_to_sent_p50_ms"] = ours->p50Ms;
        state.counters["capture_to_sent_p99_ms"] = ours->p99Ms;
    }
}

BENCHMARK_CAPTURE(hostPipeline, movingDesktop1080p60, true)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(hostPipeline, stillDesktop1080p60, false)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();

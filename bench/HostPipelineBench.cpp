// The whole host pipeline on a private Xvfb, at 1080p60, 2160p30 and
// 2160p60: the media pipeline makes the display's capture source, the
// surface pipeline decides and encodes, and a media sender cuts every frame
// into datagrams on a connection queue. Measured over a moving desktop (and a
// still one at 1080p): CPU per second of this process (without the thread
// that moves the picture), the frames sent per second and capture-to-sent
// latency, against two references on the same display in the same run:
//   ffmpeg -f x11grab -framerate F -video_size WxH -i :N -c:v libx264
//          -preset ultrafast -tune zerolatency -pix_fmt yuv420p
//          -f mpegts udp://127.0.0.1:P          (sends to a sink of ours)
//   ... -f null -                               (encodes only)
// The Xvfb server's own CPU is reported beside each. The "Load4" case runs
// both beside four busy threads of this process (copying memory, on the same
// CPUs), whose CPU is not counted, so capture-to-sent is also known on a
// machine that has other work.

#include "ProcessCpu.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Sending/MediaSender.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/RatioReporter.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

struct Shape {
    int width = 1920;
    int height = 1080;
    int fps = 60;
    bool moving = true;
    int loadThreads = 0;
};

constexpr auto warmUp = 1500ms;
constexpr auto measured = 6s;

using bench::childCpuSeconds;
using bench::cpuSeconds;
using bench::processCpuSeconds;
using bench::threadCpuSeconds;

// The Xvfb this process started last: its child named Xvfb that no earlier
// call returned.
pid_t xvfbPid() {
    static std::vector<pid_t> claimed;
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
        if (parent == getpid() && std::find(claimed.begin(), claimed.end(), pid) == claimed.end()) found = pid;
    }
    closedir(proc);
    if (found > 0) claimed.push_back(found);
    return found;
}

// Context switches (voluntary and not) of this process's threads, summed
// by thread name; the bench's own mover and load threads left out.
std::map<std::string, std::int64_t> switchesByKind() {
    std::map<std::string, std::int64_t> kinds;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return kinds;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm") >> std::ws, name);
        if (name.starts_with("bench-")) name = "bench";
        std::ifstream status(task + "/status");
        std::int64_t count = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) count += std::stoll(line.substr(line.find(':') + 1));
        }
        if (!name.starts_with("quill-") && name != "bench") name = "other";
        kinds[name] += count;
    }
    closedir(tasks);
    // Threads that ended took their own counts along; the process's count keeps them.
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    kinds["process"] = self.ru_nvcsw + self.ru_nivcsw;
    return kinds;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

struct Desktop {
    testing::XvfbServer server;
    pid_t serverPid = -1;

    Desktop(int width, int height) : server({.screens = {{width, height}}, .windowManager = false}) {
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

// One server per size, kept for the whole run.
Desktop& desktop(int width, int height) {
    static std::map<std::pair<int, int>, std::unique_ptr<Desktop>> shared;
    auto& slot = shared[{width, height}];
    if (!slot) slot = std::make_unique<Desktop>(width, height);
    return *slot;
}

// Moves a textured block across the desktop at 60 frames a second, on its
// own connection and thread, and keeps count of its own CPU.
class Mover {
public:
    Mover(const std::string& display, Shape shape) : shape_(shape), client_(display), thread_([this] { run(); }) {}
    ~Mover() {
        stop_ = true;
        thread_.join();
    }
    double cpuSeconds() const { return cpu_.load(); }

private:
    void run() {
        pthread_setname_np(pthread_self(), "bench-mover");
        const double start = threadCpuSeconds();
        std::uint64_t frame = 0;
        auto next = std::chrono::steady_clock::now();
        int lastX = 0;
        const int width = shape_.width;
        const int height = shape_.height;
        const auto period = std::chrono::nanoseconds(1'000'000'000 / shape_.fps);
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
            next += period;
            std::this_thread::sleep_until(next);
        }
        cpu_ = threadCpuSeconds() - start;
    }

    const Shape shape_;
    testing::X11TestClient client_;
    std::atomic<bool> stop_{false};
    std::atomic<double> cpu_{0};
    std::thread thread_;
};

// Threads that copy memory until destroyed: other work on the same CPUs,
// competing for them and for the caches. Keeps count of its own CPU.
class BackgroundLoad {
public:
    explicit BackgroundLoad(int threads) : cpu_(static_cast<std::size_t>(threads)) {
        for (std::atomic<double>& cpu : cpu_) threads_.emplace_back([this, &cpu] { run(cpu); });
    }
    ~BackgroundLoad() {
        stop_ = true;
        for (std::thread& thread : threads_) thread.join();
    }
    double cpuSeconds() const {
        double sum = 0;
        for (const std::atomic<double>& cpu : cpu_) sum += cpu.load();
        return sum;
    }

private:
    void run(std::atomic<double>& cpu) {
        pthread_setname_np(pthread_self(), "bench-load");
        // Larger than a core's share of the last-level cache.
        std::vector<char> from(8 << 20, 1);
        std::vector<char> to(from.size());
        const double start = threadCpuSeconds();
        while (!stop_) {
            std::memcpy(to.data(), from.data(), from.size());
            benchmark::DoNotOptimize(to.data());
            std::swap(from, to);
            cpu = threadCpuSeconds() - start;
        }
    }

    std::atomic<bool> stop_{false};
    std::vector<std::atomic<double>> cpu_;
    std::vector<std::thread> threads_;
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
    explicit SendingConnection(Shape shape)
        : shape_(shape), queue_(std::make_shared<SerialQueue>("com.ornbeck.quillmeretransport.bench")), peer_(*queue_),
          sender_(MediaSender::make(1, SendAdmission(AdmissionLimits(3, 50'000'000)), &Clock::nowNs,
                                    [](const EncodedFrame&) { return true; })) {}

    std::optional<Capabilities> capabilitiesCopy() const override {
        return Capabilities{{},
                            static_cast<std::uint16_t>(shape_.width),
                            static_cast<std::uint16_t>(shape_.height),
                            static_cast<std::uint16_t>(shape_.fps),
                            1,
                            {},
                            1200};
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
    std::size_t bytesSent() {
        std::size_t bytes = 0;
        queue_->sync([&] { bytes = peer_.bytes; });
        return bytes;
    }

private:
    const Shape shape_;
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
    double sentBytesPerSecond = 0;
    // Means over the run: capture to the pipeline's pickup, and the encoder's
    // own time (handed over to encoded).
    double pickupMs = 0;
    double encoderMs = 0;
    // The share of the macroblocks encoded that the encoder was told are constant.
    double constant = 0;
    // The rate the encoder was asked for at the end, in bytes a second.
    double targetBytesPerSecond = 0;
    // Context switches per frame sent, by thread kind.
    std::map<std::string, double> switchesPerFrame;
};

std::optional<Run> runOurs(const std::string& display, pid_t server, Shape shape, Mover* mover,
                           const BackgroundLoad* load) {
    auto mainActor = std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.bench.main");
    MediaPipeline::Services services = testing::x11Services(display);
    services.mainActor = mainActor.get();
    services.pipelines.normalRateControl = [] { return false; };
    auto media = MediaPipeline::make(std::move(services));
    auto connection = std::make_shared<SendingConnection>(shape);

    mainActor->sync([&] { media->captureList(); });
    media->startSurface(1, CaptureChoice::displayIDBase, connection);
    testing::eventually([&] { return connection->configured() || connection->ended(); }, 10s);
    if (!connection->configured()) return std::nullopt;
    media->beginMedia(1, CaptureChoice::displayIDBase, connection);
    std::this_thread::sleep_for(warmUp);

    const auto pipeline = media->pipeline(1, connection);
    const auto stages = [&] {
        SurfacePipeline::Stats stats;
        if (pipeline) pipeline->queue().sync([&] { stats = pipeline->perfSnapshot().stats; });
        return stats;
    };
    const SurfacePipeline::Stats stagesBefore = stages();
    connection->record(true);
    const std::size_t bytesBefore = connection->bytesSent();
    const double moverBefore = mover ? mover->cpuSeconds() : 0;
    const double loadBefore = load ? load->cpuSeconds() : 0;
    const auto switchesBefore = switchesByKind();
    const double cpuBefore = processCpuSeconds();
    const double xvfbBefore = childCpuSeconds(server);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(measured);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The picture's motion and the background load are the machine's work,
    // not the pipeline's.
    const double cpu = processCpuSeconds() - cpuBefore - ((mover ? mover->cpuSeconds() : 0) - moverBefore) -
                       ((load ? load->cpuSeconds() : 0) - loadBefore);
    const double xvfb = childCpuSeconds(server) - xvfbBefore;
    const auto switchesAfter = switchesByKind();
    connection->record(false);
    const SurfacePipeline::Stats stagesAfter = stages();
    std::uint32_t targetKbps = 0;
    if (pipeline) pipeline->queue().sync([&] { targetKbps = pipeline->perfSnapshot().bitrateKbps; });
    const std::size_t bytesSent = connection->bytesSent() - bytesBefore;

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
    if (!latencies.empty()) {
        const auto frames = static_cast<double>(latencies.size());
        std::map<std::string, double> change;
        for (const auto& [kind, after] : switchesAfter) {
            const auto before = switchesBefore.find(kind);
            // Threads that ended meanwhile took their counts along: never below zero.
            change[kind] =
                std::max<double>(0, static_cast<double>(after - (before != switchesBefore.end() ? before->second : 0)));
        }
        // All of this process's, less the mover's and the load's.
        change["total"] = std::max(0.0, change["process"] - change["bench"]);
        change.erase("process");
        change.erase("bench");
        for (const auto& [kind, count] : change) run.switchesPerFrame[kind] = count / frames;
    }
    run.sentBytesPerSecond = static_cast<double>(bytesSent) / seconds;
    // Over the measured stretch only: the first frame waits for the start.
    const auto mean = [](std::int64_t totalNs, std::int64_t count) {
        return count > 0 ? static_cast<double>(totalNs) / 1e6 / static_cast<double>(count) : 0.0;
    };
    run.targetBytesPerSecond = static_cast<double>(targetKbps) * 1000 / 8;
    run.pickupMs = mean(stagesAfter.pickupNs - stagesBefore.pickupNs, stagesAfter.pickups - stagesBefore.pickups);
    run.encoderMs = mean(stagesAfter.encoderNs - stagesBefore.encoderNs,
                         stagesAfter.encoderSamples - stagesBefore.encoderSamples);
    const auto macroblocks = static_cast<double>(stagesAfter.macroblocks - stagesBefore.macroblocks);
    if (macroblocks > 0)
        run.constant = static_cast<double>(stagesAfter.constantMacroblocks - stagesBefore.constantMacroblocks) / macroblocks;
    return run;
}

std::optional<Run> runFfmpeg(const std::string& display, pid_t server, Shape shape, bool sending) {
    const std::string duration = std::to_string(std::chrono::duration<double>(measured).count());
    std::unique_ptr<bench::UdpSink> sink;
    std::vector<std::string> output{"-f", "null", "-"};
    if (sending) {
        sink = std::make_unique<bench::UdpSink>();
        if (sink->port() == 0) return std::nullopt;
        output = {"-f", "mpegts", fmt::format("udp://127.0.0.1:{}?pkt_size=1316", sink->port())};
    }
    std::vector<std::string> arguments{"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "fatal", "-f", "x11grab",
                                       "-framerate", std::to_string(shape.fps), "-video_size",
                                       fmt::format("{}x{}", shape.width, shape.height), "-i", display, "-t", duration,
                                       "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                                       "-pix_fmt", "yuv420p"};
    // ffmpeg's own count of the frames it encoded, read back after the run.
    const testing::TemporaryFolder folder;
    const std::string progress = (folder.path() / "progress.txt").string();
    arguments.insert(arguments.end(), {"-progress", progress});
    arguments.insert(arguments.end(), output.begin(), output.end());
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
    if (sink) run.sentBytesPerSecond = static_cast<double>(sink->bytes()) / seconds;
    std::ifstream lines(progress);
    double frames = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("frame=")) frames = std::stod(line.substr(6));
    }
    run.fps = frames / std::chrono::duration<double>(measured).count();
    return run;
}

enum class Runner { host, ffmpegSending, ffmpegEncodeOnly };

void hostPipeline(benchmark::State& state, Runner runner, Shape shape) {
    Desktop& shared = desktop(shape.width, shape.height);
    if (!shared.server.ready()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    if (runner != Runner::host && access("/usr/bin/ffmpeg", X_OK) != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<Mover> mover;
        if (shape.moving) mover = std::make_unique<Mover>(shared.server.displayName(), shape);
        std::unique_ptr<BackgroundLoad> load;
        if (shape.loadThreads > 0) load = std::make_unique<BackgroundLoad>(shape.loadThreads);
        const auto run = runner == Runner::host
                             ? runOurs(shared.server.displayName(), shared.serverPid, shape, mover.get(), load.get())
                             : runFfmpeg(shared.server.displayName(), shared.serverPid, shape,
                                         runner == Runner::ffmpegSending);
        load.reset();
        mover.reset();
        if (!run) {
            state.SkipWithError(runner == Runner::host ? "the host pipeline did not stream" : "ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(measured).count());
        state.counters["cpu_per_s"] = run->cpuPerSecond;
        state.counters["xvfb_cpu_per_s"] = run->xvfbPerSecond;
        state.counters[runner == Runner::host ? "sent_fps" : "encoded_fps"] = run->fps;
        // ffmpeg falls behind a 4K source on a busy machine: per frame, the
        // costs still compare.
        if (run->fps > 0) state.counters["cpu_ms_per_frame"] = run->cpuPerSecond * 1000 / run->fps;
        if (runner == Runner::host) {
            state.counters["capture_to_sent_p50_ms"] = run->p50Ms;
            state.counters["capture_to_sent_p99_ms"] = run->p99Ms;
            state.counters["pickup_ms"] = run->pickupMs;
            state.counters["encoder_ms"] = run->encoderMs;
            state.counters["constant_mb"] = run->constant;
            state.counters["target_bytes_per_s"] = run->targetBytesPerSecond;
            for (const auto& [kind, perFrame] : run->switchesPerFrame) state.counters["cs_" + kind] = perFrame;
        }
        if (runner != Runner::ffmpegEncodeOnly) state.counters["sent_bytes_per_s"] = run->sentBytesPerSecond;
    }
}

// Each case's three runs one after another, so that the machine's drift
// touches them alike.
void registerCases() {
    const std::pair<const char*, Shape> cases[] = {
        {"movingDesktop1080p60", {1920, 1080, 60, true}},
        {"movingDesktop1080p60Load4", {1920, 1080, 60, true, 4}},
        {"movingDesktop2160p30", {3840, 2160, 30, true}},
        {"movingDesktop2160p60", {3840, 2160, 60, true}},
        {"stillDesktop1080p60", {1920, 1080, 60, false}},
    };
    const std::pair<const char*, Runner> runners[] = {
        {"Host/", Runner::host},
        {"FfmpegSending/", Runner::ffmpegSending},
        {"FfmpegEncodeOnly/", Runner::ffmpegEncodeOnly},
    };
    for (const auto& [name, shape] : cases) {
        for (const auto& [prefix, runner] : runners) {
            benchmark::RegisterBenchmark((std::string(prefix) + name).c_str(),
                                         [runner, shape](benchmark::State& state) { hostPipeline(state, runner, shape); })
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kSecond);
        }
    }
}

} // namespace
} // namespace quillmere

int main(int argc, char** argv) {
    quillmere::registerCases();
    quillmere::testing::RatioReporter reporter("CPU per second as a multiple of ffmpeg's (1.0 = as costly)",
                                               "cpu_per_s");
    reporter.compare("Host/", "FfmpegSending/").compare("Host/", "FfmpegEncodeOnly/");
    return reporter.run(argc, argv);
}

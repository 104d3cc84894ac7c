// A long run of the real host streaming the 1080p60 test pattern to an
// in-process viewer through the lossy relay. Not run by CI: see --help.

#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/XvfbServer.h"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace quillmere;
using namespace quillmere::testing;
using namespace std::chrono_literals;

constexpr const char* usage = R"(usage: LossySoak [--minutes N] [--loss PERCENT] [--seed N]

Streams the host's 1920x1080 test pattern at 60 fps to a paired viewer in
the same process, through a relay on loopback that loses PERCENT of the
packets each way (default 2) and reorders as many, for N minutes (default
30). Every 10 s it prints the process's resident memory, its threads and
the frames per second the viewer assembled; at the end, a summary line.
Host and viewer share the process, so the memory includes the viewer's.
Without $DISPLAY it starts a private Xvfb. Exits 0 when the session lasted
the whole run, 1 otherwise.

  LossySoak --minutes 30 > soak.txt   # the documented 30-minute run
  LossySoak --minutes 1               # a quick look
)";

double residentMB() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
}

std::size_t threadCount() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

struct Settings {
    double minutes = 30;
    double lossPercent = 2;
    std::uint64_t seed = 5;
};

std::optional<Settings> parse(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool valued = i + 1 < argc;
        if (argument == "--minutes" && valued) {
            settings.minutes = std::atof(argv[++i]);
        } else if (argument == "--loss" && valued) {
            settings.lossPercent = std::atof(argv[++i]);
        } else if (argument == "--seed" && valued) {
            settings.seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            return std::nullopt;
        }
    }
    if (settings.minutes <= 0 || settings.lossPercent < 0 || settings.lossPercent > 100) return std::nullopt;
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    const auto settings = parse(argc, argv);
    if (!settings) {
        std::cout << usage;
        return argc > 1 && std::string(argv[1]) == "--help" ? 0 : 2;
    }
    std::optional<XvfbServer> xvfb;
    if (std::getenv("DISPLAY") == nullptr) {
        xvfb.emplace();
        if (!xvfb->ready()) {
            std::cerr << "no X server: " << xvfb->failure() << "\n";
            return 1;
        }
        ::setenv("DISPLAY", xvfb->displayName().c_str(), 1);
    }

    TestHost host(TestHost::Options{.pipelineDisplay = ""});
    const std::uint16_t port = host.start();
    const LocalIdentity phone = host.pairThroughInvitation();
    LossyRelay relay(port, settings->seed);
    LossyRelay::Conditions lossy;
    lossy.loss = settings->lossPercent / 100;
    lossy.reorder = settings->lossPercent / 100;
    relay.setConditions(lossy);

    TestViewer::Options options;
    options.width = 1920;
    options.height = 1080;
    options.fps = 60;
    TestViewer viewer(phone, host.identity.fingerprint, relay.port(), host.defaults.defaults(), std::move(options));
    if (!viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s)) {
        std::cerr << "the viewer never got ready\n";
        return 1;
    }
    viewer.requestCaptureList();
    viewer.waitUntil([](const TestViewer& v) { return v.windows().has_value(); }, 20s);
    viewer.select(CaptureChoice::testPatternID);

    const auto frames = [&] {
        std::size_t count = 0;
        viewer.waitUntil([&](const TestViewer& v) {
            count = v.counts().framesAtNs.size();
            return true;
        });
        return count;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double, std::ratio<60>>(settings->minutes));
    double memoryFirst = 0;
    double memoryMost = 0;
    std::size_t threadsLeast = SIZE_MAX;
    std::size_t threadsMost = 0;
    double fpsLeast = 1e9;
    double fpsTotal = 0;
    int samples = 0;
    std::size_t framesBefore = frames();
    auto sampleAt = start;
    auto intervalStart = start;
    while (std::chrono::steady_clock::now() < end && !viewer.closed()) {
        sampleAt += 10s;
        std::this_thread::sleep_until(std::min(sampleAt, end));
        const std::size_t framesNow = frames();
        const auto now = std::chrono::steady_clock::now();
        const double interval = std::chrono::duration<double>(now - intervalStart).count();
        intervalStart = now;
        const double fps = static_cast<double>(framesNow - framesBefore) / interval;
        framesBefore = framesNow;
        const double memory = residentMB();
        const std::size_t threads = threadCount();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cout << fmt::format("{:7.0f} s  rss {:6.1f} MB  threads {:3}  fps {:5.1f}\n", elapsed, memory, threads,
                                 fps)
                  << std::flush;
        if (samples == 0) memoryFirst = memory;
        memoryMost = std::max(memoryMost, memory);
        threadsLeast = std::min(threadsLeast, threads);
        threadsMost = std::max(threadsMost, threads);
        fpsLeast = std::min(fpsLeast, fps);
        fpsTotal += fps;
        ++samples;
    }
    const bool lasted = !viewer.closed();
    const auto counts = viewer.countsCopy();
    const auto relayCounts = relay.counts(LossyRelay::Direction::toClient);
    std::cout << fmt::format(
        "summary: {:.1f} min at {} % loss, session {}; rss {:.1f} MB after 10 s, at most {:.1f} MB; threads {}-{}; "
        "fps mean {:.1f}, lowest {:.1f}; {} frames, {} keyframes, {} recovery requests; relay dropped {} of {} "
        "packets to the viewer\n",
        settings->minutes, settings->lossPercent, lasted ? "lasted" : "ended early", memoryFirst, memoryMost,
        threadsLeast, threadsMost, samples > 0 ? fpsTotal / samples : 0.0, samples > 0 ? fpsLeast : 0.0,
        counts.framesAtNs.size(), counts.keyframes, counts.recoveryRequests, relayCounts.dropped,
        relayCounts.dropped + relayCounts.forwarded);
    viewer.leave(1.0);
    viewer.waitUntil([](const TestViewer& v) { return v.closed(); }, 5s);
    return lasted ? 0 : 1;
}

// Capture time per frame through the X11 capture path (damage, MIT-SHM image,
// BT.709 NV12 written into a pooled buffer) for a 1080p display, a 2160p display
// and a 1280x720 window, against a bare MIT-SHM GetImage of the same area (what
// ffmpeg's x11grab does per frame, the pixels left in the shared segment)
// timed in the same run on the same private Xvfb. Then displays of 30, 16 and
// 15 bits, whose pixels are converted to B, G, R, X first, against a 24-bit
// display of the same size, each frame of one taken beside one of the other;
// and a DirectColor window whose colour map is no identity, each pixel looked
// up, against a TrueColor window of the same size.

#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/ScreenCapture/FrameGrabberX11.h"
#include "Platform/X11/XcbConnection.h"
#include "Platform/X11/XcbOpening.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <benchmark/benchmark.h>
#include <xcb/shm.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {
namespace {

constexpr int warmUpFrames = 5;

struct Desktop {
    testing::XvfbServer server{{.screens = {{1920, 1080}, {3840, 2160}}, .windowManager = false}};
    std::unique_ptr<testing::X11TestClient> client;
    xcb_window_t window = XCB_NONE;

    Desktop() {
        if (!server.ready()) return;
        client = std::make_unique<testing::X11TestClient>(server.displayName());
        // Something other than one flat colour on every target.
        for (int screen = 0; screen < 2; ++screen) {
            for (int i = 0; i < 16; ++i) {
                client->fill(client->root(screen), i * 240, i * 130, 400, 300, 0x102030u * static_cast<std::uint32_t>(i + 1));
            }
        }
        window = client->createWindow(testing::X11TestClient::NewWindow().at(100, 100).sized(1280, 720).filled(0x336699));
        for (int i = 0; i < 12; ++i) client->fill(window, i * 100, i * 55, 200, 120, 0x0A1B2Cu * static_cast<std::uint32_t>(i + 1));
        client->waitUntilViewable(window);
        client->sync();
    }
};

Desktop& desktop() {
    static Desktop shared;
    return shared;
}

constexpr int deepDepths[] = {30, 16, 15};

// The same picture at the other depths, 1080p and 2160p screens for each.
struct DeepDesktop {
    testing::XvfbServer server{{.screens = {{1920, 1080, 30}, {3840, 2160, 30}, {1920, 1080, 16}, {3840, 2160, 16},
                                            {1920, 1080, 15}, {3840, 2160, 15}},
                                .windowManager = false}};
    std::unique_ptr<testing::X11TestClient> client;

    DeepDesktop() {
        if (!server.ready()) return;
        client = std::make_unique<testing::X11TestClient>(server.displayName());
        for (int screen = 0; screen < 6; ++screen) {
            for (int i = 0; i < 16; ++i) {
                client->fill(client->root(screen), i * 240, i * 130, 400, 300, 0x102030u * static_cast<std::uint32_t>(i + 1));
            }
        }
        client->sync();
    }

    static int screenOf(int depth, bool uhd) {
        const int index = static_cast<int>(std::find(std::begin(deepDepths), std::end(deepDepths), depth) -
                                           std::begin(deepDepths));
        return 2 * index + (uhd ? 1 : 0);
    }
};

DeepDesktop& deepDesktop() {
    static DeepDesktop shared;
    return shared;
}

// Windows of both screen sizes in TrueColor and in DirectColor, whose map
// inverts each channel.
struct MappedDesktop {
    testing::XvfbServer server{{.screens = {{1920, 1080}, {3840, 2160}}, .windowManager = false}};
    std::unique_ptr<testing::X11TestClient> client;
    // By size (2160p second), then TrueColor and DirectColor.
    xcb_window_t windows[2][2] = {};

    MappedDesktop() {
        if (!server.ready()) return;
        client = std::make_unique<testing::X11TestClient>(server.displayName());
        for (int uhd = 0; uhd < 2; ++uhd) {
            for (int mapped = 0; mapped < 2; ++mapped) {
                auto wanted = testing::X11TestClient::NewWindow().onScreen(uhd).sized(1920 << uhd, 1080 << uhd);
                if (mapped != 0) wanted.ofClass(XCB_VISUAL_CLASS_DIRECT_COLOR);
                const xcb_window_t window = client->createWindow(wanted);
                if (mapped != 0) client->storeRamp(window, [](double v) { return 1 - v; });
                for (int i = 0; i < 16; ++i) {
                    client->fill(window, i * 240, i * 130, 400, 300, 0x102030u * static_cast<std::uint32_t>(i + 1));
                }
                client->waitUntilViewable(window);
                windows[uhd][mapped] = window;
            }
        }
        client->sync();
    }
};

MappedDesktop& mappedDesktop() {
    static MappedDesktop shared;
    return shared;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

// Median and p99 of ours and of the baseline timed in the same run, and
// their ratios.
void reportRatios(benchmark::State& state, const std::vector<double>& ours, const std::vector<double>& baseline,
                  const std::string& baselineName) {
    const double median = quantile(ours, 0.5);
    const double p99 = quantile(ours, 0.99);
    const double baseMedian = quantile(baseline, 0.5);
    const double baseP99 = quantile(baseline, 0.99);
    state.counters["median_ms"] = median;
    state.counters["p99_ms"] = p99;
    state.counters[baselineName + "_median_ms"] = baseMedian;
    state.counters[baselineName + "_p99_ms"] = baseP99;
    state.counters["ratio_median"] = baseMedian > 0 ? median / baseMedian : 0;
    state.counters["ratio_p99"] = baseP99 > 0 ? p99 / baseP99 : 0;
}

double sinceMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A shared-memory GetImage of an area into a segment of its own (SHM 1.2, the
// segment passed as a file descriptor), as a consumer of raw pixels would do.
class ShmGetImage {
public:
    ShmGetImage(const std::string& display, xcb_drawable_t drawable, ScreenRect area)
        : connection_(XcbOpening::connect(display.c_str(), nullptr)), drawable_(drawable), area_(area),
          bytes_(static_cast<std::size_t>(area.width) * area.height * 4) {
        segment_ = xcb_generate_id(connection_);
        auto* reply = xcb_shm_create_segment_reply(
            connection_, xcb_shm_create_segment(connection_, segment_, static_cast<std::uint32_t>(bytes_), 0), nullptr);
        if (reply == nullptr) return;
        const int fd = xcb_shm_create_segment_reply_fds(connection_, reply)[0];
        void* mapped = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        std::free(reply);
        if (mapped != MAP_FAILED) memory_ = static_cast<std::uint8_t*>(mapped);
    }
    ~ShmGetImage() {
        if (memory_ != nullptr) munmap(memory_, bytes_);
        xcb_disconnect(connection_);
    }

    bool grab() {
        if (memory_ == nullptr) return false;
        auto cookie = xcb_shm_get_image(connection_, drawable_, static_cast<std::int16_t>(area_.x),
                                        static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(area_.width),
                                        static_cast<std::uint16_t>(area_.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                        segment_, 0);
        auto* reply = xcb_shm_get_image_reply(connection_, cookie, nullptr);
        if (reply == nullptr) return false;
        std::free(reply);
        benchmark::DoNotOptimize(memory_[0]);
        return true;
    }

private:
    xcb_connection_t* connection_;
    xcb_drawable_t drawable_;
    ScreenRect area_;
    std::size_t bytes_;
    xcb_shm_seg_t segment_ = 0;
    std::uint8_t* memory_ = nullptr;
};

enum class Target { display1080, display2160, window };

void captureFrame(benchmark::State& state, Target which) {
    Desktop& shared = desktop();
    if (!shared.server.ready()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    auto connection = XcbConnection::open(shared.server.displayName());
    if (!connection) {
        state.SkipWithError("no X connection");
        return;
    }
    ContentFilter filter;
    xcb_drawable_t shmDrawable = XCB_NONE;
    ScreenRect shmArea;
    if (which == Target::window) {
        filter = ContentFilter::window(shared.window);
        shmDrawable = shared.window;
        shmArea = {0, 0, 1280, 720};
    } else {
        const int screen = which == Target::display1080 ? 0 : 1;
        const auto displays = DisplayListX11::fetch(**connection);
        const auto found = std::find_if(displays->begin(), displays->end(),
                                        [screen](const ContentDisplay& d) { return d.screen == screen; });
        filter = ContentFilter::display(found->displayID);
        shmDrawable = shared.client->root(screen);
        shmArea = found->frame;
    }
    auto target = CaptureTargetX11::open(**connection, filter);
    if (!target) {
        state.SkipWithError(target.error().description().c_str());
        return;
    }
    FrameGrabberX11 grabber(**connection, **target);
    ScreenCaptureStreamConfiguration configuration;
    configuration.width = (*target)->width();
    configuration.height = (*target)->height();
    configuration.showsCursor = false;
    ShmGetImage shm(shared.server.displayName(), shmDrawable, shmArea);

    // The first grabs touch fresh shared memory and pool buffers.
    for (int i = 0; i < warmUpFrames; ++i) {
        (void)grabber.grab(configuration, true, 0);
        shm.grab();
    }
    std::vector<double> ours;
    std::vector<double> baseline;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        // Written whole, as when all of it changed: a still picture would
        // convert nothing.
        auto sample = grabber.grab(configuration, true, 0);
        const double oursMs = sinceMs(start);
        if (!sample || !*sample) {
            state.SkipWithError("grab failed");
            return;
        }
        benchmark::DoNotOptimize((*sample)->pixelBuffer.get());
        sample->reset();
        const auto shmStart = std::chrono::steady_clock::now();
        if (!shm.grab()) {
            state.SkipWithError("shared-memory GetImage failed");
            return;
        }
        baseline.push_back(sinceMs(shmStart));
        ours.push_back(oursMs);
        state.SetIterationTime(oursMs / 1e3);
    }
    reportRatios(state, ours, baseline, "shm_getimage");
}

// Whole frames of one screen of a display, or of a window, through the
// capture path.
class DisplayGrabs {
public:
    DisplayGrabs(const std::string& display, int screen) {
        if (!connect(display)) return;
        const auto displays = DisplayListX11::fetch(*connection_);
        const auto found = std::find_if(displays->begin(), displays->end(),
                                        [screen](const ContentDisplay& d) { return d.screen == screen; });
        open(ContentFilter::display(found->displayID));
    }
    DisplayGrabs(const std::string& display, xcb_window_t window) {
        if (connect(display)) open(ContentFilter::window(window));
    }

    const std::string& failure() const { return failure_; }

    // Milliseconds for one whole frame; nothing when it failed.
    std::optional<double> grab() {
        const auto start = std::chrono::steady_clock::now();
        auto sample = grabber_->grab(configuration_, true, 0);
        const double ms = sinceMs(start);
        if (!sample || !*sample) return std::nullopt;
        benchmark::DoNotOptimize((*sample)->pixelBuffer.get());
        return ms;
    }

private:
    bool connect(const std::string& display) {
        auto connection = XcbConnection::open(display);
        if (!connection) failure_ = "no X connection";
        if (connection) connection_ = std::move(*connection);
        return connection_ != nullptr;
    }

    void open(const ContentFilter& filter) {
        auto target = CaptureTargetX11::open(*connection_, filter);
        if (!target) {
            failure_ = target.error().description();
            return;
        }
        target_ = std::move(*target);
        grabber_ = std::make_unique<FrameGrabberX11>(*connection_, *target_);
        configuration_.width = target_->width();
        configuration_.height = target_->height();
        configuration_.showsCursor = false;
    }

    std::string failure_;
    std::unique_ptr<XcbConnection> connection_;
    std::unique_ptr<CaptureTargetX11> target_;
    std::unique_ptr<FrameGrabberX11> grabber_;
    ScreenCaptureStreamConfiguration configuration_;
};

// Ours against the 24-bit path, frame by frame.
void timeAgainst(benchmark::State& state, DisplayGrabs& deep, DisplayGrabs& plain) {
    if (!deep.failure().empty() || !plain.failure().empty()) {
        state.SkipWithError((deep.failure() + plain.failure()).c_str());
        return;
    }
    for (int i = 0; i < warmUpFrames; ++i) {
        (void)deep.grab();
        (void)plain.grab();
    }
    std::vector<double> ours;
    std::vector<double> baseline;
    for (auto _ : state) {
        const auto converted = deep.grab();
        const auto direct = plain.grab();
        if (!converted || !direct) {
            state.SkipWithError("grab failed");
            return;
        }
        ours.push_back(*converted);
        baseline.push_back(*direct);
        state.SetIterationTime(*converted / 1e3);
    }
    reportRatios(state, ours, baseline, "depth24");
}

void convertedFrame(benchmark::State& state, int depth, bool uhd) {
    if (!desktop().server.ready() || !deepDesktop().server.ready()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    DisplayGrabs deep(deepDesktop().server.displayName(), DeepDesktop::screenOf(depth, uhd));
    DisplayGrabs plain(desktop().server.displayName(), uhd ? 1 : 0);
    timeAgainst(state, deep, plain);
}

void mappedFrame(benchmark::State& state, bool uhd) {
    MappedDesktop& shared = mappedDesktop();
    if (!shared.server.ready()) {
        state.SkipWithError("Xvfb did not start");
        return;
    }
    DisplayGrabs mapped(shared.server.displayName(), shared.windows[uhd][1]);
    DisplayGrabs plain(shared.server.displayName(), shared.windows[uhd][0]);
    timeAgainst(state, mapped, plain);
}

BENCHMARK_CAPTURE(captureFrame, display1080p, Target::display1080)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(captureFrame, display2160p, Target::display2160)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(captureFrame, window720p, Target::window)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth30_1080p, 30, false)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth30_2160p, 30, true)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth16_1080p, 16, false)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth16_2160p, 16, true)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth15_1080p, 15, false)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertedFrame, depth15_2160p, 15, true)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mappedFrame, directColour_1080p, false)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mappedFrame, directColour_2160p, true)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();

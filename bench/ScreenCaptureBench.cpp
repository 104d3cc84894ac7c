// Capture time per frame through the X11 capture path (damage, MIT-SHM image,
// BT.709 NV12 written into a pooled buffer) for a 1080p display, a 2160p display
// and a 1280x720 window, against a plain xcb_get_image of the same area (its
// pixels copied out) timed in the same run on the same private Xvfb.

#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/ScreenCapture/FrameGrabberX11.h"
#include "Platform/X11/XcbConnection.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
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

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

double sinceMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A plain GetImage of an area, copied out of the reply as a consumer would.
class PlainGetImage {
public:
    PlainGetImage(const std::string& display, xcb_drawable_t drawable, ScreenRect area)
        : connection_(xcb_connect(display.c_str(), nullptr)), drawable_(drawable), area_(area),
          copy_(static_cast<std::size_t>(area.width) * area.height * 4) {}
    ~PlainGetImage() { xcb_disconnect(connection_); }

    bool grab() {
        auto cookie = xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable_, static_cast<std::int16_t>(area_.x),
                                    static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(area_.width),
                                    static_cast<std::uint16_t>(area_.height), ~0u);
        xcb_get_image_reply_t* reply = xcb_get_image_reply(connection_, cookie, nullptr);
        if (reply == nullptr) return false;
        const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply));
        std::memcpy(copy_.data(), xcb_get_image_data(reply), std::min(length, copy_.size()));
        std::free(reply);
        return true;
    }

private:
    xcb_connection_t* connection_;
    xcb_drawable_t drawable_;
    ScreenRect area_;
    std::vector<std::uint8_t> copy_;
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
    xcb_drawable_t plainDrawable = XCB_NONE;
    ScreenRect plainArea;
    if (which == Target::window) {
        filter = ContentFilter::window(shared.window);
        plainDrawable = shared.window;
        plainArea = {0, 0, 1280, 720};
    } else {
        const int screen = which == Target::display1080 ? 0 : 1;
        const auto displays = DisplayListX11::fetch(**connection);
        const auto found = std::find_if(displays->begin(), displays->end(),
                                        [screen](const ContentDisplay& d) { return d.screen == screen; });
        filter = ContentFilter::display(found->displayID);
        plainDrawable = shared.client->root(screen);
        plainArea = found->frame;
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
    PlainGetImage plain(shared.server.displayName(), plainDrawable, plainArea);

    // The first grabs touch fresh shared memory and pool buffers.
    for (int i = 0; i < warmUpFrames; ++i) {
        (void)grabber.grab(configuration, true, 0);
        plain.grab();
    }
    std::vector<double> ours;
    std::vector<double> baseline;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto sample = grabber.grab(configuration, false, 0);
        const double oursMs = sinceMs(start);
        if (!sample || !*sample) {
            state.SkipWithError("grab failed");
            return;
        }
        benchmark::DoNotOptimize((*sample)->pixelBuffer.get());
        sample->reset();
        const auto plainStart = std::chrono::steady_clock::now();
        if (!plain.grab()) {
            state.SkipWithError("plain GetImage failed");
            return;
        }
        baseline.push_back(sinceMs(plainStart));
        ours.push_back(oursMs);
        state.SetIterationTime(oursMs / 1e3);
    }
    const double median = quantile(ours, 0.5);
    const double p99 = quantile(ours, 0.99);
    const double baseMedian = quantile(baseline, 0.5);
    const double baseP99 = quantile(baseline, 0.99);
    state.counters["median_ms"] = median;
    state.counters["p99_ms"] = p99;
    state.counters["getimage_median_ms"] = baseMedian;
    state.counters["getimage_p99_ms"] = baseP99;
    state.counters["ratio_median"] = baseMedian > 0 ? median / baseMedian : 0;
    state.counters["ratio_p99"] = baseP99 > 0 ? p99 / baseP99 : 0;
}

BENCHMARK_CAPTURE(captureFrame, display1080p, Target::display1080)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(captureFrame, display2160p, Target::display2160)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(captureFrame, window720p, Target::window)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();

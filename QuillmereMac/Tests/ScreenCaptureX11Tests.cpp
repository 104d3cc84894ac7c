#include "Platform/Dispatch/Clock.h"
#include "Platform/ScreenCapture/ScreenCaptureStreamX11.h"
#include "Platform/WindowList/ShareableContent.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Capture/ScreenCaptureSource.h"
#include "QuillmereMac/Tests/CaptureRecorder.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::CaptureRecorder;
using testing::eventually;
using testing::X11TestClient;
using testing::XvfbServer;
using Window = X11TestClient::NewWindow;

double expectedLuma(std::uint32_t rgb) {
    const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    return 16.0 + 219.0 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0;
}

int lumaAt(const CapturedFrame& frame, int x, int y) {
    PixelBuffer& buffer = *frame.pixelBuffer;
    EXPECT_EQ(buffer.lockBaseAddress(PixelBuffer::Lock::readOnly), PixelBufferStatus::success);
    const int value = buffer.planeBaseAddress(0)[static_cast<std::size_t>(y) * buffer.planeBytesPerRow(0) + x];
    buffer.unlockBaseAddress(PixelBuffer::Lock::readOnly);
    return value;
}

// Every pixel of the area lies in one of the rectangles.
bool covers(const std::vector<Rect>& rects, int x, int y, int width, int height) {
    for (int py = y; py < y + height; ++py) {
        for (int px = x; px < x + width; ++px) {
            bool inside = false;
            for (const Rect& r : rects) {
                if (px >= r.minX() && px + 1 <= r.maxX() && py >= r.minY() && py + 1 <= r.maxY()) {
                    inside = true;
                    break;
                }
            }
            if (!inside) return false;
        }
    }
    return true;
}

CaptureSettings settingsOf(int width, int height, bool cursor = false, int boxWidth = 0, int boxHeight = 0) {
    return {width, height, 60, cursor, 3, boxWidth, boxHeight};
}

std::shared_ptr<ScreenCaptureSource> x11Source(ContentFilter filter, CaptureSettings settings, std::string label) {
    // The stream's connection goes to the display the filter names.
    auto streams = ScreenCaptureStreamX11::factory(XcbConnection::opener(filter.displayName));
    return ScreenCaptureSource::make(std::move(filter), settings, std::move(label), std::move(streams), &Clock::nowNs);
}

class ScreenCaptureX11 : public ::testing::Test {
protected:
    void startServer(XvfbServer::Options options) {
        server_ = std::make_unique<XvfbServer>(std::move(options));
        ASSERT_TRUE(server_->ready()) << server_->failure();
        client_ = std::make_unique<X11TestClient>(server_->displayName());
        ASSERT_TRUE(client_->ok());
    }

    std::uint32_t mainDisplay() {
        ShareableContent::Options options;
        auto content = ShareableContent::fetch(XcbConnection::opener(server_->displayName()), options);
        EXPECT_TRUE(content.has_value());
        return content ? content->mainDisplayID : 0;
    }

    ContentFilter displayFilter() { return ContentFilter::display(mainDisplay(), server_->displayName()); }
    ContentFilter windowFilter(xcb_window_t window) { return ContentFilter::window(window, server_->displayName()); }

    // Waits for frames until one shows the colour at (x, y); gathers the
    // dirty rectangles of every frame on the way (absent: everything).
    struct Seen {
        long index = -1;
        std::vector<Rect> dirty;
        bool whole = false;
    };
    Seen waitForColour(std::size_t from, int x, int y, std::uint32_t rgb) {
        Seen seen;
        eventually([&] {
            const long index = recorder_.waitForFrame(from, 1s);
            if (index < 0) return false;
            const CaptureEvent event = recorder_.at(static_cast<std::size_t>(index));
            const CapturedFrame& frame = *event.capturedFrame();
            if (frame.dirtyRects) {
                seen.dirty.insert(seen.dirty.end(), frame.dirtyRects->begin(), frame.dirtyRects->end());
            } else {
                seen.whole = true;
            }
            from = static_cast<std::size_t>(index) + 1;
            if (std::abs(lumaAt(frame, x, y) - expectedLuma(rgb)) > 2.0) return false;
            seen.index = index;
            return true;
        });
        return seen;
    }

    std::vector<CaptureStopReason> stops() {
        std::vector<CaptureStopReason> reasons;
        for (const auto& entry : recorder_.entries()) {
            if (entry.event.stopReason()) reasons.push_back(*entry.event.stopReason());
        }
        return reasons;
    }

    void TearDown() override {
        if (source_) source_->stop();
    }

    std::unique_ptr<XvfbServer> server_;
    std::unique_ptr<X11TestClient> client_;
    std::shared_ptr<ScreenCaptureSource> source_;
    CaptureRecorder recorder_;
};

TEST_F(ScreenCaptureX11, DisplayShowsAFilledRectangleInItsLumaCoveredByDirtyRectangles) {
    startServer({.screens = {{640, 480}}, .windowManager = false});
    source_ = x11Source(displayFilter(), settingsOf(640, 480), "display 0");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    const long first = recorder_.waitForFrame();
    ASSERT_GE(first, 0);
    const CaptureEvent firstFrame = recorder_.at(static_cast<std::size_t>(first));
    EXPECT_EQ(firstFrame.capturedFrame()->width, 640);
    EXPECT_FALSE(firstFrame.capturedFrame()->dirtyRects.has_value());

    const auto from = recorder_.size();
    client_->fill(client_->root(), 100, 80, 120, 90, 0x3366CC);
    const Seen seen = waitForColour(from, 160, 125, 0x3366CC);
    ASSERT_GE(seen.index, 0);
    const CapturedFrame frame = *recorder_.at(static_cast<std::size_t>(seen.index)).capturedFrame();
    for (auto [x, y] : {std::pair{100, 80}, {219, 80}, {100, 169}, {219, 169}}) {
        EXPECT_NEAR(lumaAt(frame, x, y), expectedLuma(0x3366CC), 2.0) << x << "," << y;
    }
    EXPECT_FALSE(seen.whole);
    EXPECT_TRUE(covers(seen.dirty, 100, 80, 120, 90));
}

TEST_F(ScreenCaptureX11, NothingDrawnGivesIdleAndNoFrames) {
    startServer({.screens = {{320, 240}}, .windowManager = false});
    source_ = x11Source(displayFilter(), settingsOf(320, 240), "display 0");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    const long first = recorder_.waitForFrame();
    ASSERT_GE(first, 0);
    const long idle = recorder_.waitFor(static_cast<std::size_t>(first) + 1,
                                        [](const CaptureEvent& event) { return event.isIdle(); });
    ASSERT_GE(idle, 0);
    // Time passes with nothing drawn; then a window is: every frame since
    // the first, up to the one that shows the window, was taken after it.
    std::this_thread::sleep_for(300ms);
    const std::uint64_t drawn = Clock::nowNs();
    client_->createWindow(Window().at(100, 80).sized(40, 40).filled(0xC03020));
    const Seen seen = waitForColour(static_cast<std::size_t>(first) + 1, 120, 100, 0xC03020);
    ASSERT_GE(seen.index, 0);
    for (auto index = static_cast<std::size_t>(first) + 1; index <= static_cast<std::size_t>(seen.index); ++index) {
        const CaptureEvent event = recorder_.at(index);
        if (const CapturedFrame* frame = event.capturedFrame()) {
            EXPECT_GE(frame->captureTimeNs, drawn) << "frame " << index << " came while nothing was drawn";
        }
    }
}

TEST_F(ScreenCaptureX11, ACoveredWindowIsCapturedWhole) {
    startServer({.screens = {{640, 480}}, .windowManager = true});
    const xcb_window_t window = client_->createWindow(Window().at(40, 40).sized(200, 150).filled(0x208040));
    ASSERT_TRUE(client_->waitUntilViewable(window));
    source_ = x11Source(windowFilter(window), settingsOf(200, 150), "window");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);

    // Something else covers the whole screen; the window keeps drawing.
    const xcb_window_t cover = client_->createWindow(Window().sized(640, 480).filled(0xFFFFFF).overriding());
    ASSERT_TRUE(client_->waitUntilViewable(cover));
    const auto from = recorder_.size();
    client_->fill(window, 20, 30, 60, 40, 0xC03020);
    const Seen seen = waitForColour(from, 50, 50, 0xC03020);
    ASSERT_GE(seen.index, 0);
    const CapturedFrame frame = *recorder_.at(static_cast<std::size_t>(seen.index)).capturedFrame();
    EXPECT_EQ(frame.width, 200);
    EXPECT_EQ(frame.height, 150);
    EXPECT_TRUE(covers(seen.dirty, 20, 30, 60, 40) || seen.whole);
    // The rest is the window's own background, not the cover's white.
    for (auto [x, y] : {std::pair{0, 0}, {199, 149}, {150, 20}, {10, 140}}) {
        EXPECT_NEAR(lumaAt(frame, x, y), expectedLuma(0x208040), 2.0) << x << "," << y;
    }
}

TEST_F(ScreenCaptureX11, DestroyingTheWindowStopsOnceWithWindowClosed) {
    startServer({.screens = {{320, 240}}, .windowManager = true});
    const xcb_window_t window = client_->createWindow(Window().sized(160, 120).filled(0x404040));
    ASSERT_TRUE(client_->waitUntilViewable(window));
    source_ = x11Source(windowFilter(window), settingsOf(160, 120), "window");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);
    client_->destroy(window);
    ASSERT_GE(recorder_.waitFor(0, [](const CaptureEvent& event) { return event.stopReason() != nullptr; }), 0);
    // Time for a second report to come; stop() then drains the source.
    std::this_thread::sleep_for(300ms);
    source_->stop();
    EXPECT_EQ(stops(), (std::vector<CaptureStopReason>{CaptureStopReason::windowClosed()}));
    EXPECT_FALSE(source_->isStreaming());
}

TEST_F(ScreenCaptureX11, AnUnmappedWindowIsIdleAndComesBack) {
    startServer({.screens = {{320, 240}}, .windowManager = false});
    const xcb_window_t window = client_->createWindow(Window().sized(160, 120).filled(0x404040));
    ASSERT_TRUE(client_->waitUntilViewable(window));
    source_ = x11Source(windowFilter(window), settingsOf(160, 120), "window");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);
    client_->unmap(window);
    const long idle = recorder_.waitFor(0, [](const CaptureEvent& event) { return event.isIdle(); });
    ASSERT_GE(idle, 0);
    client_->map(window);
    client_->fill(window, 0, 0, 160, 120, 0x808080);
    EXPECT_GE(waitForColour(static_cast<std::size_t>(idle), 80, 60, 0x808080).index, 0);
    EXPECT_TRUE(stops().empty());
}

// Passes everything to an X11 stream and notes when the raster was changed.
class RasterLog final : public ScreenCaptureStream {
public:
    explicit RasterLog(std::shared_ptr<ScreenCaptureStream> inner) : inner_(std::move(inner)) {}

    void startCapture(Completion completion) override { inner_->startCapture(std::move(completion)); }
    void stopCapture(Completion completion) override { inner_->stopCapture(std::move(completion)); }
    void updateConfiguration(ScreenCaptureStreamConfiguration configuration, Completion completion) override {
        {
            std::lock_guard lock(mutex_);
            changes_.push_back(std::chrono::steady_clock::now());
        }
        inner_->updateConfiguration(configuration, std::move(completion));
    }
    std::vector<std::chrono::steady_clock::time_point> changes() {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    std::shared_ptr<ScreenCaptureStream> inner_;
    std::mutex mutex_;
    std::vector<std::chrono::steady_clock::time_point> changes_;
};

TEST_F(ScreenCaptureX11, TheRasterFollowsAResizedWindowAtMostOncePer400ms) {
    startServer({.screens = {{800, 600}}, .windowManager = false});
    const xcb_window_t window = client_->createWindow(Window().sized(400, 300).filled(0x606060));
    ASSERT_TRUE(client_->waitUntilViewable(window));
    std::shared_ptr<RasterLog> log;
    source_ = ScreenCaptureSource::make(
        windowFilter(window), settingsOf(640, 480, false, 640, 480), "window",
        [&log](const ContentFilter& filter, const ScreenCaptureStreamConfiguration& configuration,
               std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> queue)
            -> std::expected<std::shared_ptr<ScreenCaptureStream>, ScreenCaptureError> {
            const auto streams = ScreenCaptureStreamX11::factory(XcbConnection::opener(filter.displayName));
            auto inner = streams(filter, configuration, std::move(output), std::move(queue));
            if (!inner) return std::unexpected(inner.error());
            log = std::make_shared<RasterLog>(*inner);
            return log;
        },
        &Clock::nowNs);
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);

    // Flip between 2:1 and 1:2 every 50 ms for a second.
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        client_->resize(window, i % 2 == 0 ? 400 : 200, i % 2 == 0 ? 200 : 400);
        client_->fill(window, 0, 0, 10, 10, 0x101010 * static_cast<std::uint32_t>(i % 8));
        std::this_thread::sleep_for(50ms);
    }
    const auto elapsed = std::chrono::steady_clock::now() - began;
    // Settles on the last shape (1:2 into 640 x 480: 240 x 480), even though
    // nothing is drawn after the last resize.
    ASSERT_GE(recorder_.waitFor(0,
                                [](const CaptureEvent& event) {
                                    const auto* change = event.epochChange();
                                    return change != nullptr && change->width == 240 && change->height == 480;
                                }),
              0);
    const auto changes = log->changes();
    ASSERT_GE(changes.size(), 2u);
    EXPECT_LE(changes.size(), static_cast<std::size_t>(elapsed / 400ms) + 2);
    for (std::size_t i = 1; i < changes.size(); ++i) EXPECT_GE(changes[i] - changes[i - 1], 390ms) << "refit " << i;
}

// At 16 bits the cursor is drawn into the converted copy: where it was is
// converted again once it moves.
TEST_F(ScreenCaptureX11, TheCursorIsDrawnInWhenAskedAndItsMovesAreDirty) {
    for (const int depth : {24, 16}) {
        if (source_) source_->stop();
        startServer({.screens = {{320, 240, depth}}, .windowManager = false});
        client_->fill(client_->root(), 0, 0, 320, 240, 0x808080);
        xcb_warp_pointer(client_->connection(), XCB_NONE, client_->root(), 0, 0, 0, 0, 100, 100);
        client_->sync();
        const auto start = recorder_.size();
        source_ = x11Source(displayFilter(), settingsOf(320, 240, true), "display 0");
        ASSERT_TRUE(source_->start(recorder_.handler())) << depth;
        const long first = recorder_.waitForFrame(start);
        ASSERT_GE(first, 0) << depth;
        // The grey as the depth keeps it, far from the cursor.
        const int grey = lumaAt(*recorder_.at(static_cast<std::size_t>(first)).capturedFrame(), 300, 10);
        const auto differs = [&](const CapturedFrame& frame, int cx, int cy) {
            int count = 0;
            for (int y = std::max(cy - 16, 0); y < std::min(cy + 16, 240); ++y) {
                for (int x = std::max(cx - 16, 0); x < std::min(cx + 16, 320); ++x) {
                    if (std::abs(lumaAt(frame, x, y) - grey) > 2) ++count;
                }
            }
            return count;
        };
        EXPECT_GT(differs(*recorder_.at(static_cast<std::size_t>(first)).capturedFrame(), 100, 100), 10) << depth;

        const auto from = recorder_.size();
        xcb_warp_pointer(client_->connection(), XCB_NONE, client_->root(), 0, 0, 0, 0, 250, 180);
        client_->sync();
        const long moved = recorder_.waitForFrame(from);
        ASSERT_GE(moved, 0) << depth;
        const CapturedFrame frame = *recorder_.at(static_cast<std::size_t>(moved)).capturedFrame();
        EXPECT_EQ(differs(frame, 100, 100), 0) << depth;
        EXPECT_GT(differs(frame, 250, 180), 10) << depth;
        ASSERT_TRUE(frame.dirtyRects.has_value()) << depth;
        EXPECT_TRUE(covers(*frame.dirtyRects, 98, 98, 4, 4)) << depth;
        EXPECT_TRUE(covers(*frame.dirtyRects, 248, 178, 4, 4)) << depth;
    }
}

TEST_F(ScreenCaptureX11, AMonitorIsCapturedFromItsOwnPartOfTheScreen) {
    startServer({.screens = {{640, 240}}, .windowManager = false});
    ASSERT_TRUE(client_->setMonitor("LEFT", 0, 0, 320, 240, true, true));
    ASSERT_TRUE(client_->setMonitor("RIGHT", 320, 0, 320, 240, false));
    ShareableContent::Options options;
    const auto content = ShareableContent::fetch(XcbConnection::opener(server_->displayName()), options);
    ASSERT_TRUE(content);
    std::uint32_t right = 0;
    for (const auto& display : content->displays) {
        if (display.name == "RIGHT") right = display.displayID;
    }
    ASSERT_NE(right, 0u);
    source_ = x11Source(ContentFilter::display(right, server_->displayName()), settingsOf(320, 240),
                                        "display 1");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);
    const auto from = recorder_.size();
    client_->fill(client_->root(), 300, 100, 100, 50, 0xE0E0E0);
    const Seen seen = waitForColour(from, 50, 120, 0xE0E0E0);
    ASSERT_GE(seen.index, 0);
    EXPECT_TRUE(covers(seen.dirty, 0, 100, 80, 50));
    for (const Rect& rect : seen.dirty) EXPECT_GE(rect.minX(), 0.0);
}

TEST_F(ScreenCaptureX11, AMonitorThatGoesAwayEndsItsCapture) {
    startServer({.screens = {{640, 240}}, .windowManager = false});
    ASSERT_TRUE(client_->setMonitor("LEFT", 0, 0, 320, 240, true, true));
    ASSERT_TRUE(client_->setMonitor("RIGHT", 320, 0, 320, 240, false));
    ShareableContent::Options options;
    const auto content = ShareableContent::fetch(XcbConnection::opener(server_->displayName()), options);
    ASSERT_TRUE(content);
    std::uint32_t right = 0;
    for (const auto& display : content->displays) {
        if (display.name == "RIGHT") right = display.displayID;
    }
    source_ = x11Source(ContentFilter::display(right, server_->displayName()), settingsOf(320, 240),
                                        "display 1");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    ASSERT_GE(recorder_.waitForFrame(), 0);
    ASSERT_TRUE(client_->deleteMonitor("RIGHT"));
    ASSERT_GE(recorder_.waitFor(0, [](const CaptureEvent& event) { return event.stopReason() != nullptr; }), 0);
    EXPECT_EQ(stops(), (std::vector<CaptureStopReason>{CaptureStopReason::windowClosed()}));
}

TEST_F(ScreenCaptureX11, AScaledCaptureKeepsTheAspectBehindBlackBars) {
    startServer({.screens = {{640, 480}}, .windowManager = false});
    client_->fill(client_->root(), 0, 0, 640, 480, 0xFFFFFF);
    source_ = x11Source(displayFilter(), settingsOf(320, 320), "display 0");
    ASSERT_TRUE(source_->start(recorder_.handler()));
    const long first = recorder_.waitForFrame();
    ASSERT_GE(first, 0);
    const CapturedFrame frame = *recorder_.at(static_cast<std::size_t>(first)).capturedFrame();
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 320);
    // 640 x 480 into 320 x 320: 320 x 240 from row 40.
    EXPECT_EQ(lumaAt(frame, 160, 10), 16);
    EXPECT_EQ(lumaAt(frame, 160, 310), 16);
    EXPECT_NEAR(lumaAt(frame, 160, 160), 235, 2);
}

TEST_F(ScreenCaptureX11, MissingTargetsAndServersMapToStopReasons) {
    startServer({.screens = {{320, 240}}, .windowManager = false});
    auto gone = x11Source(windowFilter(0x1FFFFF), settingsOf(64, 64), "window");
    auto started = gone->start(recorder_.handler());
    ASSERT_FALSE(started);
    EXPECT_EQ(*started.error().as<CaptureStopReason>(), CaptureStopReason::windowClosed());

    auto noServer = x11Source(ContentFilter::display(1, ":65000"), settingsOf(64, 64), "display 0");
    started = noServer->start(recorder_.handler());
    ASSERT_FALSE(started);
    EXPECT_EQ(*started.error().as<CaptureStopReason>(), CaptureStopReason::interrupted("capture error -3804"));
    noServer->stop();
    EXPECT_EQ(recorder_.size(), 0u);
}

} // namespace
} // namespace quillmere

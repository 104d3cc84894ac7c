#pragma once

// A media pipeline over a catalog of made-up content, a main actor of its
// own and capture sources the test chooses (the test pattern unless told
// otherwise), with connections that record what reaches them.

#include "Platform/Dispatch/ManualExecutor.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Capture/ResizableCaptureSource.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace quillmere::testing {

// A source that runs nothing: it writes down its starts and stops and may
// hold a start until the test lets it go.
class ScriptedSource final : public ResizableCaptureSource {
public:
    const std::string& label() const override { return label_; }
    std::expected<void, CaptureStartError> start(CaptureEventHandler) override {
        if (gate.valid()) {
            startEntered.set_value();
            gate.wait();
        }
        std::lock_guard lock(mutex_);
        ++starts;
        running = !failStart;
        if (failStart) return std::unexpected(CaptureStartError(CaptureStopReason::failed("no screen")));
        return {};
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        ++stops;
        running = false;
    }
    void resize(int width, int height) override {
        std::lock_guard lock(mutex_);
        boxes.emplace_back(width, height);
    }
    void setMaxFPS(int) override {}

    bool isRunning() const {
        std::lock_guard lock(mutex_);
        return running;
    }
    std::vector<std::pair<int, int>> resized() const {
        std::lock_guard lock(mutex_);
        return boxes;
    }

    bool failStart = false;
    // Set both before the start to hold it.
    std::shared_future<void> gate;
    std::promise<void> startEntered;
    int starts = 0;
    int stops = 0;

private:
    mutable std::mutex mutex_;
    bool running = false;
    std::vector<std::pair<int, int>> boxes;
    std::string label_ = "scripted";
};

inline Capabilities capabilities(std::uint16_t width, std::uint16_t height, std::uint16_t fps,
                                 FeatureSet features = {}) {
    return Capabilities{{}, width, height, fps, 4, features, 1200};
}

inline ContentDisplay contentDisplay(std::uint32_t id, int width, int height) {
    ContentDisplay display;
    display.displayID = id;
    display.frame = {0, 0, width, height};
    return display;
}

inline ContentWindow contentWindow(std::uint32_t id, std::string title, std::string app, int width, int height) {
    ContentWindow window;
    window.windowID = id;
    window.title = std::move(title);
    window.owningApplication = ContentApplication{static_cast<std::int32_t>(4000 + id), std::move(app), "some.app"};
    window.frame = {10, 20, width, height};
    window.isOnScreen = true;
    return window;
}

// Made-up content and the window catalog that lists it.
struct ListedContent {
    ListedContent() = default;
    ListedContent(const ListedContent&) = delete; // the catalog reads this one
    ShareableContent content;
    std::shared_ptr<WindowCatalog> catalog = std::make_shared<WindowCatalog>(
        ":99", 1, "com.ornbeck.quillmere.mac",
        [this](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
            return content;
        });
};

class MediaPipelineTest : public ::testing::Test, protected ListedContent {
protected:
    static constexpr std::uint32_t displayZero = CaptureChoice::displayIDBase;
    static constexpr std::uint32_t testPattern = CaptureChoice::testPatternID;

    LogCapture log;
    std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("main");
    std::atomic<std::uint64_t> clockNs{100'000'000'000};
    std::optional<DisplayQueries::PixelSize> nativeSize;
    bool testPatternOn = true;

    std::mutex madeMutex;
    std::vector<std::pair<CaptureChoice, RequestedStream>> made;
    // What the next sources are; the test pattern when empty.
    std::function<std::shared_ptr<CaptureSource>(CaptureChoice, RequestedStream)> sourceFor;

    std::shared_ptr<MediaPipeline> media;

    void SetUp() override { media = MediaPipeline::make(services()); }
    // Capture starts still queued on the main actor use this fixture: they
    // finish before it goes.
    void TearDown() override {
        settleMain();
        media.reset();
        settleMain();
    }

    MediaPipeline::Services services() {
        MediaPipeline::Services services;
        services.catalog = catalog;
        services.mainActor = main.get();
        services.testPatternEnabled = [this] { return testPatternOn; };
        services.permission = [] { return true; };
        services.displays.pixelSize = [this](int) { return nativeSize; };
        services.displays.isOnline = [](std::uint32_t) { return true; };
        services.makeSource = [this](CaptureChoice choice, RequestedStream requested) -> std::shared_ptr<CaptureSource> {
            {
                std::lock_guard lock(madeMutex);
                made.emplace_back(choice, requested);
            }
            if (sourceFor) return sourceFor(choice, requested);
            return std::make_shared<TestPatternSource>(requested.width, requested.height, requested.fps);
        };
        services.clock = [this] { return clockNs.load(); };
        services.pipelines.normalRateControl = [] { return false; };
        return services;
    }

    std::shared_ptr<RecordingConnection> connection(std::optional<Capabilities> caps = capabilities(320, 180, 30)) {
        return std::make_shared<RecordingConnection>(caps);
    }

    // Lets the main actor finish what it was given so far.
    void settleMain() { main->sync([] {}); }

    template <class F>
    static auto onQueue(const std::shared_ptr<SurfacePipeline>& pipeline, F f) {
        decltype(f(*pipeline)) result{};
        pipeline->queue().sync([&] { result = f(*pipeline); });
        return result;
    }

    std::vector<std::string> controlLines() const { return log.lines("control"); }
    bool logged(const std::string& category, const std::string& line) const {
        const auto lines = log.lines(category);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

// The surface table alone, over the same made-up content: its stops and
// delayed re-captures wait on a manual executor until the test runs them.
class SurfaceTableTest : public MediaPipelineTest {
protected:
    std::shared_ptr<ManualExecutor> tasks = std::make_shared<ManualExecutor>("tasks");
    std::shared_ptr<SurfaceTable> table;

    void SetUp() override {
        const MediaPipeline::Services s = services();
        table = SurfaceTable::make({main.get(), tasks, s.clock, s.pipelines, s.makeSource, s.displays});
        table->setHooks({{}, [weak = std::weak_ptr(table)](std::uint32_t surfaceID, std::uint32_t captureID,
                                                             std::shared_ptr<MediaConnection> connection) {
                             if (const auto self = weak.lock()) {
                                 self->start(surfaceID, captureID, connection);
                                 self->beginSending(surfaceID, connection);
                             }
                         }});
    }
    void TearDown() override {
        settleMain();
        tasks->runUntilIdle();
        table.reset();
        settleMain();
    }
};

} // namespace quillmere::testing

// Display geometry on an X server whose main output really changes modes:
// a client's text size while its display streams, healing after a host was
// killed at a larger text size, and the RandR virtual displays.

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Display/RandrVirtualDisplayMaker.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/RandrTestServer.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/Host/X11Desktop.h"

// Qt after our logger: Qt's emit keyword would rename Logger::emit.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace quillmere::testing {
namespace {

bool has(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

class DisplayGeometryX11Test : public ::testing::Test {
protected:
    RandrTestServer server;
    TemporaryFolder folder;
    std::filesystem::path file = folder.path() / "quillmere.ini";

    void SetUp() override { ASSERT_TRUE(server.ready()) << server.failure(); }

    bool saved() const { return Defaults(file).dictionaryForKey(DisplayTextSize::savedModeKey).has_value(); }
};

// Each step's stream is worked out from the display as it is then: no
// rounding carries over from one raster to the next.
TEST_F(DisplayGeometryX11Test, TextSizesAndBudgetsStreamTheDisplayAtItsOwnSizeAndBack) {
    // A monitor's 1366x768, a hair off 16:9.
    server.addMode({1366, 768, 85500, 1436, 1579, 1792, 771, 774, 798,
                    XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE},
                   "1366x768");
    Defaults defaults(file);
    const auto main = std::make_shared<SerialQueue>("main");
    MediaPipeline::Services services = x11Services(server.displayName());
    services.mainActor = main.get();
    services.pipelines.normalRateControl = [] { return false; };
    services.textSize =
        std::make_shared<DisplayTextSize>(x11Desktop(server.displayName())->textSizeDisplays(), defaults);
    auto media = MediaPipeline::make(std::move(services));

    // A stripe that moves keeps the desktop changing.
    std::atomic<bool> painting{true};
    std::thread painter([&, display = server.displayName()] {
        X11TestClient brush(display);
        for (int i = 0; painting; ++i) {
            brush.fill(brush.root(), 0, 0, 1920, 1080, 0x202020);
            brush.fill(brush.root(), (i * 40) % 1800, 0, 120, 1080, 0xE0E0E0);
            brush.sync();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    const auto client = std::make_shared<RecordingConnection>(Capabilities{{}, 1920, 1080, 30, 1, {}, 1200});
    // Configured at that size, and frames of that configuration keep coming.
    const auto streamsAt = [&](int width, int height) {
        return client->waitUntil([&](const RecordingConnection& c) {
            const auto configs = c.configs();
            if (configs.empty() || configs.back().width != width || configs.back().height != height) return false;
            const std::uint32_t generation = configs.back().configGeneration;
            const auto frames = c.frames();
            return std::count_if(frames.begin(), frames.end(),
                                 [&](const EncodedFrame& f) { return f.configGeneration == generation; }) >= 3;
        });
    };

    main->sync([&] { media->captureList(); });
    media->startSurface(1, CaptureChoice::displayIDBase, client);
    media->beginMedia(1, CaptureChoice::displayIDBase, client);
    EXPECT_TRUE(streamsAt(1920, 1080));

    struct Step {
        const char* what;
        std::function<void()> act;
        std::pair<int, int> stream;
        std::pair<int, int> shown;
        bool saved;
    };
    const auto textSize = [&](std::uint8_t level) { return [&, level] { media->setTextSize(level); }; };
    const auto budget = [&](std::int64_t width, std::int64_t height) {
        return [&, width, height] { media->setSurfaceBudget(1, RequestedBox{width, height}, client); };
    };
    const Step steps[] = {
        {"text size 1", textSize(1), {1600, 900}, {1600, 900}, true},
        {"text size 2", textSize(2), {1366, 768}, {1366, 768}, true},
        {"text size 0", textSize(0), {1920, 1080}, {1920, 1080}, false},
        {"a small budget", budget(640, 360), {640, 360}, {1920, 1080}, false},
        {"a budget beyond the display", budget(8192, 8192), {1920, 1080}, {1920, 1080}, false},
    };
    for (const Step& step : steps) {
        main->async(step.act);
        EXPECT_TRUE(streamsAt(step.stream.first, step.stream.second)) << step.what;
        EXPECT_EQ(server.shownMode(), step.shown) << step.what;
        // A removal of the record is not waited for.
        EXPECT_TRUE(eventually([&] { return saved() == step.saved; })) << step.what;
    }
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));

    painting = false;
    painter.join();
    media->stopSurface(1, client);
    EXPECT_TRUE(client->ended().empty());
    main->sync([] {});
}

TEST_F(DisplayGeometryX11Test, AHostKilledAtLevelOneHealsAtItsNextStart) {
    ASSERT_TRUE(runThenKill([&] {
        Defaults defaults(file);
        return DisplayTextSize(x11Desktop(server.displayName())->textSizeDisplays(), defaults).setLevel(1);
    }));
    EXPECT_EQ(server.shownMode(), std::make_pair(1600, 900)) << "X keeps the mode of a process that is gone";

    LogCapture log;
    Defaults defaults(file);
    DisplayTextSize next(x11Desktop(server.displayName())->textSizeDisplays(), defaults);
    EXPECT_TRUE(next.heal());
    EXPECT_EQ(server.shownMode(), std::make_pair(1920, 1080));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_TRUE(eventually([&] { return !saved(); }));
    EXPECT_FALSE(next.heal());
    EXPECT_EQ(log.lines("display"), std::vector<std::string>{"heal: restored 1920x1080 from 1600x900 ok=true"});
}

TEST_F(DisplayGeometryX11Test, TheRandrMakerLaysTheDesktopOutOnAWideMonitorAndTakesItAway) {
    LogCapture log;
    VirtualDisplayController unreachable(std::make_shared<RandrVirtualDisplayMaker>(XcbConnection::opener(":65000")));
    EXPECT_FALSE(unreachable.apply(ScreenShape::wide));
    EXPECT_EQ(log.lines("display").back(), "screen shape Wide 21:9: virtual display unavailable");

    const auto maker = std::make_shared<RandrVirtualDisplayMaker>(XcbConnection::opener(server.displayName()),
                                                                [] { return 1000u; });
    VirtualDisplayController controller(maker);
    ASSERT_TRUE(controller.apply(ScreenShape::wide));
    const auto connection = XcbConnection::open(server.displayName());
    ASSERT_TRUE(connection.has_value());
    const auto displays = DisplayListX11::fetch(**connection);
    ASSERT_TRUE(displays.has_value());
    const auto listed = DisplayListX11::find(*displays, controller.liveDisplayID().value_or(0));
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(listed->name, "Quillmere Wide 21:9");
    EXPECT_EQ(listed->frame, (ScreenRect{0, 0, 3440, 1440}));
    EXPECT_EQ(server.screenSize(), std::make_pair(3440, 1440));
    EXPECT_EQ(server.shownMode(), std::make_pair(3440, 1440)) << "mirrored";

    // The wide one goes before the next is made, whose serial is one more.
    ASSERT_TRUE(controller.apply(ScreenShape::ultrawide));
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Wide 21:9"));
    EXPECT_TRUE(has(server.monitorNames(), "Quillmere Ultrawide 32:9"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Wide 21:9 1001"));
    EXPECT_TRUE(has(server.modeNames(), "Quillmere Ultrawide 32:9 1002"));
    EXPECT_EQ(server.shownMode(), std::make_pair(5120, 1440));

    ASSERT_TRUE(controller.apply(ScreenShape::standard));
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Ultrawide 32:9"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Ultrawide 32:9 1002"));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_EQ(server.shownMode(), std::make_pair(1920, 1080));
    EXPECT_EQ(maker->removeLeftovers(), 0);
}

} // namespace
} // namespace quillmere::testing

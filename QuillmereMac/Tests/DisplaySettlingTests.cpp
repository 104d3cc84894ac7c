// The display settling over made-up displays and a surface table, with the
// main actor's clock in the test's hands: text size and screen shape tasks
// wait for the displays to settle, then refit or restart display surfaces.

#include "TestSupport/TestValues.h"
#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Catalog/PreferredDisplay.h"
#include "QuillmereMac/Tests/DisplayFakes.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"

// Qt after our logger: Qt's emit keyword would rename Logger::emit.

namespace quillmere::testing {
namespace {

using testing::ms;

class DisplaySettlingTest : public MediaPipelineTest {
protected:
    ManualExecutor mainActor{"main actor"};
    TemporaryFolder folder;
    Defaults defaults{folder.path() / "quillmere.ini"};
    FakeDisplays fake;
    std::shared_ptr<FakeVirtualDisplayMaker> maker = std::make_shared<FakeVirtualDisplayMaker>();
    std::atomic<bool> online{true};
    std::map<CaptureChoice::Kind, std::shared_ptr<ScriptedSource>> sources;
    std::shared_ptr<RecordingConnection> client = connection(capabilities(1920, 1080, 30));
    std::shared_ptr<SurfaceTable> table;
    std::shared_ptr<DisplaySettling> settling;

    void SetUp() override {
        fake.modes[1] = {liveMode(1920, 1080), liveMode(1600, 900)};
        fake.shown[1] = fake.modes[1][0];
        sourceFor = [this](CaptureChoice choice, RequestedStream) {
            return sources[choice.kind] = std::make_shared<ScriptedSource>();
        };
        auto s = services();
        s.displays.pixelSize = [this](int) -> std::optional<DisplayQueries::PixelSize> {
            return DisplayQueries::PixelSize{static_cast<int>(fake.shown[1].width), static_cast<int>(fake.shown[1].height)};
        };
        s.displays.isOnline = [this](std::uint32_t) { return online.load(); };
        table = SurfaceTable::make({&mainActor, std::make_shared<SerialQueue>("tasks"), s.clock, s.pipelines,
                                    s.makeSource, s.displays});
        table->setHooks({{}, [weak = std::weak_ptr(table)](std::uint32_t surfaceID, std::uint32_t captureID,
                                                             std::shared_ptr<MediaConnection> connection) {
                             if (const auto self = weak.lock()) {
                                 self->start(surfaceID, captureID, connection);
                                 self->beginSending(surfaceID, connection);
                             }
                         }});
        settling = std::make_shared<DisplaySettling>(
            mainActor, std::make_shared<DisplayTextSize>(fake.displays(), defaults),
            std::make_shared<VirtualDisplayController>(maker),
            DisplaySettling::Hooks{[this] { table->refitDisplaySurfaces(); }, [this] { table->restartDisplaySurfaces(); },
                                   {}, [this](std::uint32_t id) { return table->isDisplayOnline(id); }});
    }
    void TearDown() override {
        mainActor.runUntilIdle();
        settling.reset();
        table.reset();
        setPreferredDisplayID(std::nullopt);
    }

    void startBoth() {
        table->start(1, displayZero, client);
        table->beginSending(1, client);
        table->start(2, 0x77, client);
        mainActor.runUntilIdle();
    }
    std::vector<std::pair<int, int>> resized(CaptureChoice::Kind kind) {
        table->pipeline(SurfaceKey{client, kind == CaptureChoice::Kind::display ? 1u : 2u})->queue().sync([] {});
        return sources[kind]->resized();
    }
    std::vector<std::string> takeEvents() { return std::exchange(*maker->events, {}); }
};

// The display changes once its original mode is saved, which another
// program's lock on the settings file holds up, but not the main actor.
TEST_F(DisplaySettlingTest, TextSizeRefitsDisplaySurfacesOnceTheDisplaySettled) {
    using enum CaptureChoice::Kind;
    startBoth();
    const std::string lock = defaults.file().string() + ".lock";
    std::optional<ChildProcess> holder = ChildProcess::holdingLock(lock);
    const auto asked = std::chrono::steady_clock::now();
    settling->setTextSize(1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(100));
    // Its new file stands beside the lock before it waits.
    ASSERT_TRUE(eventually([&] { return std::distance(std::filesystem::directory_iterator(folder.path()), {}) == 2; }));
    EXPECT_EQ(mainActor.pendingCount(), 0u);
    holder.reset();
    std::filesystem::remove(lock);
    ASSERT_TRUE(eventually([&] { return mainActor.pendingCount() == 1; }));
    EXPECT_EQ(fake.switches, std::vector<std::string>{"1 1600x900@60 app"});
    mainActor.advance(DisplaySettling::textSizeSettleNs - 1);
    EXPECT_TRUE(resized(display).empty());
    mainActor.advance(1);
    EXPECT_EQ(resized(display), (std::vector<std::pair<int, int>>{{1600, 900}}));
    EXPECT_TRUE(resized(window).empty());
    EXPECT_EQ(table->budget(SurfaceKey{client, 1}), (RequestedBox{1920, 1080})) << "the client's default, kept";

    settling->setTextSize(1);
    settling->setTextSize(0);
    ASSERT_TRUE(eventually([&] { return mainActor.pendingCount() > 0; }));
    EXPECT_EQ(fake.switches.size(), 2u) << "at the current level nothing is switched";
    mainActor.advance(DisplaySettling::textSizeSettleNs);
    EXPECT_EQ(mainActor.pendingCount(), 0u) << "nor refitted";
    EXPECT_EQ(resized(display).back(), std::make_pair(1920, 1080));
}

TEST_F(DisplaySettlingTest, ScreenShapesSettleBeforeDisplaySurfacesRestart) {
    using enum ScreenShape;
    startBoth();
    const auto window = table->pipeline(SurfaceKey{client, 2});
    const auto restartedAfter = [&](std::uint64_t settleNs) {
        const auto before = table->pipeline(SurfaceKey{client, 1});
        mainActor.advance(settleNs - 1);
        if (table->pipeline(SurfaceKey{client, 1}) != before) return false;
        mainActor.advance(1);
        return table->pipeline(SurfaceKey{client, 1}) != before;
    };
    settling->setScreenShape(wide);
    settling->setScreenShape(ultrawide);
    settling->setScreenShape(standard);
    mainActor.runUntilIdle();
    EXPECT_EQ(controlLines(), (std::vector<std::string>{"screen shape Wide 21:9 ignored: Wide/Ultrawide is turned off",
                                                        "screen shape Ultrawide 32:9 ignored: Wide/Ultrawide is turned off"}));
    EXPECT_TRUE(takeEvents().empty()) << "no virtual display to remove";

    // The task as a wide shape runs it: made, pointed at, restarted.
    settling->runVirtualDisplayTask(wide);
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"make Quillmere Wide 21:9 3440x1440", "mirror 40"}));
    EXPECT_EQ(preferredDisplayID(), 40u);
    EXPECT_TRUE(restartedAfter(DisplaySettling::virtualDisplaySettleNs));
    EXPECT_TRUE(logged("control", "screen shape: restarting surface 1"));
    EXPECT_TRUE(onQueue(table->pipeline(SurfaceKey{client, 1}), [](SurfacePipeline& p) { return p.sending(); }));

    // To the other wide shape by way of the standard one; the new display
    // vanishes while the displays settle.
    settling->runVirtualDisplayTask(ultrawide);
    EXPECT_EQ(takeEvents(), std::vector<std::string>{"release Quillmere Wide 21:9"});
    EXPECT_EQ(preferredDisplayID(), std::nullopt);
    mainActor.advance(DisplaySettling::shapeDetourSettleNs);
    EXPECT_EQ(takeEvents(), (std::vector<std::string>{"make Quillmere Ultrawide 32:9 5120x1440", "mirror 41"}));
    online = false;
    mainActor.advance(DisplaySettling::virtualDisplaySettleNs);
    EXPECT_EQ(takeEvents(), std::vector<std::string>{"release Quillmere Ultrawide 32:9"});
    EXPECT_TRUE(logged("control", "screen shape Ultrawide 32:9: virtual display disappeared, back to standard"));
    EXPECT_EQ(preferredDisplayID(), std::nullopt);
    EXPECT_TRUE(restartedAfter(DisplaySettling::standardShapeSettleNs));

    // The standard shape a client asks for removes a virtual display.
    online = true;
    settling->runVirtualDisplayTask(wide);
    mainActor.advance(DisplaySettling::virtualDisplaySettleNs);
    takeEvents();
    settling->setScreenShape(standard);
    mainActor.runUntilIdle();
    EXPECT_EQ(takeEvents(), std::vector<std::string>{"release Quillmere Wide 21:9"});
    EXPECT_EQ(preferredDisplayID(), std::nullopt);
    EXPECT_TRUE(restartedAfter(DisplaySettling::standardShapeSettleNs));
    EXPECT_EQ(table->pipeline(SurfaceKey{client, 2}), window) << "window surfaces are left alone";
}

TEST_F(DisplaySettlingTest, EachDisplaySurfaceRestartsForItsOwnClient) {
    const auto other = connection(capabilities(1280, 720, 30));
    table->start(1, displayZero, other);
    table->beginSending(1, other);
    table->start(1, displayZero, client);
    table->beginSending(1, client);
    mainActor.runUntilIdle();
    const auto othersBefore = table->pipeline(SurfaceKey{other, 1});
    const auto clientsBefore = table->pipeline(SurfaceKey{client, 1});

    table->restartDisplaySurfaces();
    mainActor.runUntilIdle();
    EXPECT_EQ(table->count(), 2u);
    for (const auto& [owner, before] : {std::pair{other, othersBefore}, std::pair{client, clientsBefore}}) {
        const auto now = table->pipeline(SurfaceKey{owner, 1});
        ASSERT_NE(now, nullptr);
        EXPECT_NE(now.get(), before.get());
        EXPECT_EQ(now->connection(), owner);
        EXPECT_TRUE(onQueue(now, [](SurfacePipeline& p) { return p.sending(); }));
    }
    EXPECT_EQ(table->lastConnection(), client) << "the newest session stays the newest";
}

} // namespace
} // namespace quillmere::testing

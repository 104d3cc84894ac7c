// Remote control over a surface list the test keeps: how control moves when
// surfaces stop, focus hints, and refreshing the controlled frame.

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Control/RemoteControl.h"
#include "QuillmereMac/Tests/ListedControlSurfaces.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillmere::testing {
namespace {

constexpr std::uint32_t windowID = 77;
const Rect displayFrame{0, 0, 1920, 1080};
const Rect windowFrame{10, 20, 300, 200};

class RemoteControlTest : public ::testing::Test, protected ListedContent {
protected:
    LogCapture log;
    // The window listing behind control runs on the main queue too, so that
    // a few rounds of it see every hop through.
    std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("main");
    std::shared_ptr<ListedControlSurfaces> surfaces = std::make_shared<ListedControlSurfaces>();
    std::shared_ptr<RemoteControl> control;
    std::shared_ptr<RecordingConnection> client = std::make_shared<RecordingConnection>();

    void SetUp() override {
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(windowID, "Notes", "Editor", 300, 200)};
        main->sync([&] { catalog->refresh(false); });
        control = RemoteControl::make({main.get(), std::make_shared<SerialQueue>("control"), surfaces,
                                       std::make_shared<ControlFrames>(catalog, *main, main), {}, nullptr, nullptr,
                                       [] { return std::uint64_t{100'000'000'000}; }});
    }
    void TearDown() override {
        settleControl();
        control.reset();
    }

    // Surfaces of the client: odd ones show the display, even ones the window.
    void start(const std::vector<std::uint32_t>& ids, const std::shared_ptr<RecordingConnection>& owner) {
        for (const std::uint32_t id : ids)
            surfaces->add(SurfaceKey{owner, id}, id % 2 == 1 ? CaptureChoice::display(0) : CaptureChoice::window(windowID));
    }
    void stop(std::uint32_t id, const std::shared_ptr<RecordingConnection>& owner) {
        const SurfaceKey key{owner, id};
        control->surfaceStopped(key, surfaces->remove(key));
    }
    void take(std::uint32_t surface) {
        control->takeControl(SurfaceKey{client, surface}, std::make_shared<InputInjector>(nullptr, Rect{}));
    }
    void settleMain() { main->sync([] {}); }
    // A hint's retarget, or a refresh, goes through the main queue three
    // times: to start, to list the windows, to take the listing.
    void settleControl() {
        for (int round = 0; round < 3; ++round) settleMain();
    }
    std::optional<std::uint32_t> controlled() {
        settleControl();
        const auto key = control->controlledSurface();
        if (!key) return std::nullopt;
        EXPECT_TRUE(key->belongsTo(client));
        return key->surfaceID;
    }
    bool logged(const std::string& category, const std::string& line) const {
        const auto lines = log.lines(category);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST_F(RemoteControlTest, StoppingTheControlledSurfaceMovesControlToSurfaceOneElseTheLowestElseDropsIt) {
    const struct Case {
        const char* what;
        std::vector<std::uint32_t> ids;
        std::uint32_t stopped;
        std::optional<std::uint32_t> next;
        std::optional<Rect> frame;
    } cases[] = {{"to surface one", {1, 3}, 3, 1, displayFrame},
                 {"to the lowest remaining", {2, 3, 4}, 4, 2, windowFrame},
                 {"the last surface drops the injector", {1}, 1, std::nullopt, std::nullopt}};
    for (const Case& c : cases) {
        client = std::make_shared<RecordingConnection>();
        start(c.ids, client);
        take(c.stopped);
        stop(c.stopped, client);
        EXPECT_EQ(controlled(), c.next) << c.what;
        const auto injector = control->injector();
        EXPECT_EQ(injector ? std::optional(injector->windowFrame) : std::nullopt, c.frame) << c.what;
    }
    EXPECT_TRUE(logged("control", "control moves surface=3 \u2192 1: stopped"));
}

TEST_F(RemoteControlTest, StoppingAnotherSurfaceChangesNothingAboutControl) {
    start({1, 3}, client);
    take(1);
    const auto injector = control->injector();
    stop(3, client);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(control->injector(), injector);
    EXPECT_TRUE(std::ranges::none_of(log.lines("control"),
                                     [](const std::string& line) { return line.starts_with("control moves"); }));

    // Nor does another client's surface of the same number.
    const auto other = std::make_shared<RecordingConnection>();
    start({1}, other);
    stop(1, other);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(control->injector(), injector);
}

TEST_F(RemoteControlTest, FocusHintsMoveControlOnlyToControllableSurfacesOfTheClientHoldingIt) {
    start({1, 2}, client);
    surfaces->add(SurfaceKey{client, 5}, CaptureChoice::testPattern());

    control->focusHint(msg::FocusHint{2, 250}, client);
    EXPECT_TRUE(logged("control", "focus ignored surface=2: no control granted"));
    EXPECT_EQ(controlled(), std::nullopt);

    take(1);
    log.clear();
    control->focusHint(msg::FocusHint{1, 250}, client);
    EXPECT_EQ(log.lines("control"), (std::vector<std::string>{"focus hint surface=1 controlled=1 injector=true"}));

    control->focusHint(msg::FocusHint{5, 250}, client);
    control->focusHint(msg::FocusHint{9, 250}, client);
    EXPECT_TRUE(logged("control", "focus ignored surface=5: not a controllable surface"));
    EXPECT_TRUE(logged("control", "focus ignored surface=9: not a controllable surface"));

    const auto other = std::make_shared<RecordingConnection>();
    start({2}, other);
    control->focusHint(msg::FocusHint{2, 250}, other);
    EXPECT_EQ(controlled(), 1u) << "another client's hint";

    control->focusHint(msg::FocusHint{2, 250}, client);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(control->injector()->windowFrame, windowFrame);
}

TEST_F(RemoteControlTest, ARefreshReadsTheControlledWindowsFrameAnew) {
    start({2}, client);
    take(2);
    content.windows = {contentWindow(windowID, "Notes", "Editor", 640, 480)};
    main->sync([&] { control->refreshControl(SurfaceKey{client, 2}); });
    settleControl();
    EXPECT_EQ(control->injector()->windowFrame, (Rect{10, 20, 640, 480}));
}

} // namespace
} // namespace quillmere::testing

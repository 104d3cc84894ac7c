// Control of windows end to end: under openbox, windows of three made-up
// applications; a paired viewer over loopback QUIC is granted control of a
// covered window hanging off the screen, sees it brought forward whole and
// types into it, then moves control with focus hints to a display, another
// window and back, which hands the front back to the application that had it.
// A window that draws its own shadow is sent and pointed at as the user sees it.

#include "Platform/Accessibility/WindowSystemEwmh.h"
#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/X11/XcbOpening.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t editor = 6001;
constexpr std::int32_t mail = 6002;
constexpr std::int32_t browser = 6003;
constexpr std::uint8_t keyA = 38;

// Key presses and pointer moves as the windows receive them, read on a
// connection of the test's own.
class InputWatcher {
public:
    InputWatcher(const std::string& display, std::initializer_list<xcb_window_t> windows)
        : c_(XcbOpening::connect(display.c_str(), nullptr)) {
        const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_POINTER_MOTION;
        for (const xcb_window_t window : windows) xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c_);
    }
    ~InputWatcher() { xcb_disconnect(c_); }

    // Waits until the window got a press of the key; earlier events go.
    bool pressed(xcb_window_t window, std::uint8_t key) {
        return received(XCB_KEY_PRESS, window, [&](const xcb_key_press_event_t& press) { return press.detail == key; });
    }
    // Waits until the pointer came to (x, y) of the window.
    bool movedTo(xcb_window_t window, int x, int y, std::chrono::milliseconds limit = patience) {
        return received(
            XCB_MOTION_NOTIFY, window,
            [&](const xcb_key_press_event_t& move) { return move.event_x == x && move.event_y == y; }, limit);
    }

private:
    // Key and motion events share one layout.
    bool received(std::uint8_t type, xcb_window_t window,
                  const std::function<bool(const xcb_key_press_event_t&)>& wanted,
                  std::chrono::milliseconds limit = patience) {
        const auto arrived = [&] {
            bool found = false;
            while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
                const auto* input = reinterpret_cast<xcb_key_press_event_t*>(event);
                found = found || ((event->response_type & 0x7F) == type && input->event == window && wanted(*input));
                std::free(event);
            }
            return found;
        };
        return eventually(arrived, limit);
    }

    xcb_connection_t* c_;
};

// The generation of the control the viewer was granted.
std::optional<std::uint32_t> grantedControl(TestViewer& viewer) {
    viewer.sendControl(msg::InputControlRequest{});
    std::optional<std::uint32_t> generation;
    viewer.waitUntil([&](const TestViewer& v) {
        for (const ClientAction& action : v.notices())
            if (const auto* control = action.as<client::InputControl>();
                control && control->state == InputControlStateValue::granted)
                generation = control->generation;
        return generation.has_value();
    });
    return generation;
}

TEST(WindowControlEndToEnd, ControlFollowsTheViewerBetweenWindowsAndTheDisplay) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient apps(server.displayName());
    const auto panel =
        apps.createWindow(X11TestClient::NewWindow().sized(800, 30).typed("_NET_WM_WINDOW_TYPE_DOCK").ownedBy(7000));
    apps.setCardinals(panel, "_NET_WM_STRUT_PARTIAL", {0, 0, 30, 0, 0, 0, 0, 0, 0, 799, 0, 0});
    const auto notes = apps.createWindow(
        X11TestClient::NewWindow().at(500, 380).sized(400, 300).titled("Notes").classed("editor", "Editor").ownedBy(editor));
    const auto inbox = apps.createWindow(
        X11TestClient::NewWindow().at(20, 60).sized(300, 200).titled("Inbox").classed("mail", "Mail").ownedBy(mail));
    const auto page = apps.createWindow(
        X11TestClient::NewWindow().at(250, 200).sized(520, 380).titled("Page").classed("web", "Browser").ownedBy(browser));
    for (const auto window : {notes, inbox, page}) ASSERT_TRUE(apps.waitUntilViewable(window));
    InputWatcher keys(server.displayName(), {notes, inbox, page});
    const auto desktop = *WindowSystemEwmh::open(XcbConnection::opener(server.displayName()));
    ASSERT_TRUE(eventually([&] { return desktop->windows(browser) == std::vector<WindowSystem::Window>{page}; }));
    ASSERT_TRUE(desktop->makeKeyWindow(page, browser));
    ASSERT_TRUE(eventually([&] { return desktop->frontmostApplication() == browser; }));

    LogCapture log;
    std::shared_ptr<AXWindowRaiser> raiser;
    TestHost host(TestHost::Options{.pipelineDisplay = server.displayName(),
                                    .adjustPipeline = [&](MediaPipeline::Services& services) {
                                        const auto x11 = x11Desktop(server.displayName());
                                        services.poster = *x11->makeEventPoster();
                                        services.permission = [] { return true; };
                                        services.raiser = raiser =
                                            AXWindowRaiser::make(*x11->makeWindowSystem(), *services.mainActor, true,
                                                                 static_cast<std::int32_t>(getpid()));
                                    }});
    const std::uint16_t port = host.start();
    TestViewer::Options options;
    options.fps = 10;
    options.maxSurfaces = 3;
    TestViewer viewer(host.pairThroughInvitation(), host.identity.fingerprint, port, host.defaults.defaults(), options);
    ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
    viewer.select(notes);
    ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::streaming; }));
    viewer.step([&](ClientSession& session) { return session.addSurface(2, inbox); });
    viewer.step([&](ClientSession& session) { return session.addSurface(3, CaptureChoice::displayIDBase); });
    ASSERT_TRUE(eventually([&] { return host.pipeline->surfaceTable().count() == 3; }));

    // The grant brings the covered window forward, whole, below the panel.
    const std::optional<std::uint32_t> generation = grantedControl(viewer);
    ASSERT_TRUE(generation.has_value());
    EXPECT_TRUE(eventually([&] { return desktop->frontmostApplication() == editor; }));
    EXPECT_TRUE(eventually([&] {
        const auto frame = desktop->frame(notes);
        const auto d = desktop->decorations(notes);
        return frame && frame->x - d.left >= 0 && frame->y - d.top >= 30 && frame->x + frame->width + d.right <= 800 &&
               frame->y + frame->height + d.bottom <= 600 && desktop->windows(editor)->front() == notes;
    }));
    std::uint32_t sequence = 0;
    const auto type = [&] {
        viewer.sendControl(msg::Input{++sequence, *generation, input::Key{4, true}});
        viewer.sendControl(msg::Input{++sequence, *generation, input::Key{4, false}});
    };
    type();
    EXPECT_TRUE(keys.pressed(notes, keyA));

    // To the display, to the other window (the editor was in front), back
    // to the display: the editor has the front again.
    const auto hint = [&](std::uint32_t surface) {
        viewer.sendControl(msg::FocusHint{surface, 250});
        return eventually([&] {
            const auto controlled = host.pipeline->control().controlledSurface();
            return controlled && controlled->surfaceID == surface;
        });
    };
    ASSERT_TRUE(hint(3));
    ASSERT_TRUE(eventually([&] { return raiser->lastOther() == editor; }));
    ASSERT_TRUE(hint(2));
    EXPECT_TRUE(eventually([&] { return desktop->frontmostApplication() == mail; }));
    type();
    EXPECT_TRUE(keys.pressed(inbox, keyA));
    ASSERT_TRUE(hint(3));
    EXPECT_TRUE(eventually([&] { return desktop->frontmostApplication() == editor; }));

    std::vector<std::string> retargets;
    for (const auto& line : log.lines("control"))
        if (line.starts_with("retarget")) retargets.push_back(line);
    EXPECT_EQ(retargets,
              (std::vector<std::string>{
                  "retarget surface=3 fromDisplay=false toDisplay=true frontmost=none restore=none target=none",
                  "retarget surface=2 fromDisplay=true toDisplay=false frontmost=6001 restore=none target=6002",
                  "retarget surface=3 fromDisplay=false toDisplay=true frontmost=none restore=6001 target=none"}));
}

// gtk3-demo's shadow around a 320 x 180 window, 372 x 232 in all.
TEST(WindowControlEndToEnd, AWindowsOwnShadowIsNeitherSentNorPointedAt) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient apps(server.displayName());
    const auto window = apps.createWindow(
        X11TestClient::NewWindow().at(100, 80).sized(372, 232).titled("Demo").ownedBy(editor).unmapped());
    apps.setCardinals(window, "_GTK_FRAME_EXTENTS", {26, 26, 23, 29});
    apps.map(window);
    ASSERT_TRUE(apps.waitUntilViewable(window));
    InputWatcher input(server.displayName(), {window});
    // The drawn cursor stays off the window until the viewer moves it.
    xcb_warp_pointer(apps.connection(), XCB_NONE, apps.root(), 0, 0, 0, 0, 799, 599);
    TestHost host(TestHost::Options{.pipelineDisplay = server.displayName(),
                                    .adjustPipeline = [&](MediaPipeline::Services& services) {
                                        services.poster = *x11Desktop(server.displayName())->makeEventPoster();
                                        services.permission = [] { return true; };
                                    }});
    const std::uint16_t port = host.start();
    TestViewer viewer(host.pairThroughInvitation(), host.identity.fingerprint, port, host.defaults.defaults(), {});
    ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
    apps.fill(window, 26, 23, 320, 180, 0xF0F0F0);
    viewer.select(window);
    ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return !v.decoded().empty(); }));

    // What shows fills the 640 x 360 asked for to its edges: no black bands.
    const auto bright = [](const DecodedPicture& picture, int x, int y) { return picture.at(x, y) > 200; };
    std::optional<DecodedPicture> shown;
    EXPECT_TRUE(eventually([&] { return (shown = viewer.lastPicture()) && bright(*shown, 320, 180); }));
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(std::pair(shown->width, shown->height), std::pair(640, 360));
    for (const auto& [x, y] : {std::pair{2, 180}, {637, 180}, {320, 2}, {320, 357}, {2, 2}, {637, 357}})
        EXPECT_TRUE(bright(*shown, x, y)) << x << "," << y;

    // The picture's corners are the visible corners.
    const std::optional<std::uint32_t> generation = grantedControl(viewer);
    ASSERT_TRUE(generation.has_value());
    std::uint32_t sequence = 0;
    const auto point = [&](std::uint16_t x, std::uint16_t y) {
        viewer.sendControl(msg::Input{++sequence, *generation, input::PointerAbsolute{x, y}});
    };
    point(0, 0);
    EXPECT_TRUE(input.movedTo(window, 26, 23));
    point(65535, 65535);
    EXPECT_TRUE(input.movedTo(window, 26 + 319, 23 + 179));

    // Maximised, a window drops its shadow: the stream takes in the whole
    // window, 372 x 232 into 640 x 360.
    apps.setCardinals(window, "_GTK_FRAME_EXTENTS", {0, 0, 0, 0});
    EXPECT_TRUE(eventually([&] { return (shown = viewer.lastPicture()) && shown->width == 576; }));

    // Restored as GTK does it, the new size (452 x 412, into 394 x 360)
    // before the margin: what shows then, 400 x 360, is within 2 % of that
    // raster's shape, and must still fill the picture to its edges.
    apps.resize(window, 452, 412);
    EXPECT_TRUE(eventually([&] { return (shown = viewer.lastPicture()) && shown->width == 394; }));
    apps.fill(window, 0, 0, 452, 412, 0x101010);
    apps.fill(window, 26, 23, 400, 360, 0xF0F0F0);
    apps.setCardinals(window, "_GTK_FRAME_EXTENTS", {26, 26, 23, 29});
    EXPECT_TRUE(eventually([&] {
        return (shown = viewer.lastPicture()) && shown->width == 400 && bright(*shown, 1, 1) && bright(*shown, 398, 358);
    }));
    // Control reads the new frame soon after the picture changed: pointed
    // at until it lands.
    const auto landsAt = [&](std::uint16_t x, std::uint16_t y, int windowX, int windowY) {
        return eventually([&] {
            point(x, y);
            return input.movedTo(window, windowX, windowY, std::chrono::milliseconds(50));
        });
    };
    EXPECT_TRUE(landsAt(0, 0, 26, 23));

    // A margin that leaves content of the same shape keeps the raster; the
    // corners still follow what shows, 200 x 180 now.
    apps.fill(window, 0, 0, 452, 412, 0x101010);
    apps.fill(window, 126, 23, 200, 180, 0xF0F0F0);
    apps.setCardinals(window, "_GTK_FRAME_EXTENTS", {126, 126, 23, 209});
    EXPECT_TRUE(eventually([&] { return (shown = viewer.lastPicture()) && bright(*shown, 1, 1) && bright(*shown, 398, 2); }));
    EXPECT_EQ(std::pair(shown->width, shown->height), std::pair(400, 360));
    EXPECT_TRUE(landsAt(0, 0, 126, 23));
    EXPECT_TRUE(landsAt(65535, 65535, 126 + 199, 23 + 179));
}

} // namespace
} // namespace quillmere::testing

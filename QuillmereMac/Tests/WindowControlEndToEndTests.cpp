// Control of windows end to end: under openbox, windows of three made-up
// applications; a paired viewer over loopback QUIC is granted control of a
// covered window hanging off the screen, sees it brought forward whole and
// types into it, then moves control with focus hints to a display, another
// window and back, which hands the front back to the application that had it.

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

// Key presses as the windows receive them, read on a connection of the
// test's own.
class KeyWatcher {
public:
    KeyWatcher(const std::string& display, std::initializer_list<xcb_window_t> windows)
        : c_(XcbOpening::connect(display.c_str(), nullptr)) {
        const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS;
        for (const xcb_window_t window : windows) xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c_);
    }
    ~KeyWatcher() { xcb_disconnect(c_); }

    // Waits until the window got a press of the key; earlier presses go.
    bool pressed(xcb_window_t window, std::uint8_t key) {
        return eventually([&] {
            bool found = false;
            while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
                const auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
                found = found || ((event->response_type & 0x7F) == XCB_KEY_PRESS && press->event == window &&
                                  press->detail == key);
                std::free(event);
            }
            return found;
        });
    }

private:
    xcb_connection_t* c_;
};

TEST(WindowControlEndToEnd, ControlFollowsTheViewerBetweenWindowsAndTheDisplay) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient apps(server.displayName());
    const auto panel =
        apps.createWindow(X11TestClient::NewWindow().sized(800, 30).typed("_NET_WM_WINDOW_TYPE_DOCK").ownedBy(7000));
    const std::uint32_t strut[12] = {0, 0, 30, 0, 0, 0, 0, 0, 0, 799, 0, 0};
    xcb_change_property(apps.connection(), XCB_PROP_MODE_REPLACE, panel, apps.atom("_NET_WM_STRUT_PARTIAL"),
                        XCB_ATOM_CARDINAL, 32, 12, strut);
    const auto notes = apps.createWindow(
        X11TestClient::NewWindow().at(500, 380).sized(400, 300).titled("Notes").classed("editor", "Editor").ownedBy(editor));
    const auto inbox = apps.createWindow(
        X11TestClient::NewWindow().at(20, 60).sized(300, 200).titled("Inbox").classed("mail", "Mail").ownedBy(mail));
    const auto page = apps.createWindow(
        X11TestClient::NewWindow().at(250, 200).sized(520, 380).titled("Page").classed("web", "Browser").ownedBy(browser));
    for (const auto window : {notes, inbox, page}) ASSERT_TRUE(apps.waitUntilViewable(window));
    KeyWatcher keys(server.displayName(), {notes, inbox, page});
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
    viewer.sendControl(msg::InputControlRequest{});
    std::optional<std::uint32_t> generation;
    ASSERT_TRUE(viewer.waitUntil([&](const TestViewer& v) {
        for (const ClientAction& action : v.notices())
            if (const auto* control = action.as<client::InputControl>();
                control && control->state == InputControlStateValue::granted)
                generation = control->generation;
        return generation.has_value();
    }));
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

} // namespace
} // namespace quillmere::testing

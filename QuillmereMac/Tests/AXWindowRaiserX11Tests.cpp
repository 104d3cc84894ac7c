#include "Platform/Accessibility/WindowSystemEwmh.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/ScreenCapture/Tests/X11TestClient.h"
#include "Platform/ScreenCapture/Tests/XvfbServer.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Control/WindowFitting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quillmere::testing {
namespace {

constexpr std::int32_t editor = 6001;
constexpr std::int32_t browser = 6002;

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// The window manager's stacking order, front first.
std::vector<xcb_window_t> stacking(X11TestClient& client) {
    xcb_connection_t* c = client.connection();
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, client.root(), client.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 0, 1024),
        nullptr);
    std::vector<xcb_window_t> windows;
    if (reply != nullptr) {
        const auto* values = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
        windows.assign(values, values + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return {windows.rbegin(), windows.rend()};
}

bool above(X11TestClient& client, xcb_window_t upper, xcb_window_t lower) {
    const auto order = stacking(client);
    const auto u = std::find(order.begin(), order.end(), upper);
    return u != order.end() && std::find(u, order.end(), lower) != order.end();
}

bool inside(const Rect& inner, const Rect& outer) {
    return inner.minX() >= outer.minX() && inner.minY() >= outer.minY() && inner.maxX() <= outer.maxX() &&
           inner.maxY() <= outer.maxY();
}

// Two applications under openbox, with a panel along the top: the window of
// one, covered by the other's and hanging off the bottom right, comes to
// the front, whole, within the work area; the other application is given
// the front back afterwards.
TEST(AXWindowRaiserX11, RaisesFitsAndFocusesACoveredWindowThenRestoresTheOtherApplication) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient client(server.displayName());
    const auto panel = client.createWindow(
        X11TestClient::NewWindow().sized(800, 30).typed("_NET_WM_WINDOW_TYPE_DOCK").ownedBy(7000));
    const std::uint32_t strut[12] = {0, 0, 30, 0, 0, 0, 0, 0, 0, 799, 0, 0};
    xcb_change_property(client.connection(), XCB_PROP_MODE_REPLACE, panel, client.atom("_NET_WM_STRUT_PARTIAL"),
                        XCB_ATOM_CARDINAL, 32, 12, strut);
    const auto covered = client.createWindow(
        X11TestClient::NewWindow().at(500, 400).sized(400, 300).titled("Notes").ownedBy(editor));
    const auto cover = client.createWindow(
        X11TestClient::NewWindow().at(300, 200).sized(500, 400).titled("Page").ownedBy(browser));
    ASSERT_TRUE(client.waitUntilViewable(covered));
    ASSERT_TRUE(client.waitUntilViewable(cover));

    const auto system = *WindowSystemEwmh::open(server.displayName());
    ASSERT_TRUE(eventually([&] { return system->windows(browser) == std::vector<WindowSystem::Window>{cover}; }));
    ASSERT_TRUE(system->makeKeyWindow(cover, browser));
    ASSERT_TRUE(eventually([&] { return system->frontmostApplication() == browser; }));
    const ScreenRect frame = *system->frame(covered);

    SerialQueue main("main");
    const auto raiser = AXWindowRaiser::make(system, main, true, 1);
    EXPECT_EQ(raiser->lastOther(), browser);
    bool fitted = false;
    main.sync([&] { fitted = raiser->raise(ControlTarget{editor, rectOf(frame), "Notes"}); });
    EXPECT_TRUE(fitted);

    const Rect workArea{0, 30, 800, 570};
    EXPECT_TRUE(eventually([&] {
        const auto moved = system->frame(covered);
        const auto d = system->decorations(covered);
        return moved && inside(Rect{moved->x - d.left + 0.0, moved->y - d.top + 0.0,
                                    moved->width + d.left + d.right + 0.0, moved->height + d.top + d.bottom + 0.0},
                               workArea);
    }));
    EXPECT_TRUE(eventually([&] { return system->frontmostApplication() == editor; }));
    EXPECT_TRUE(eventually([&] { return raiser->lastOther() == editor; }));
    EXPECT_TRUE(eventually([&] { return raiser->lastOutcome() && raiser->lastOutcome()->onTop.has_value(); }));
    EXPECT_EQ(raiser->lastOutcome()->first, 0);
    EXPECT_TRUE(raiser->lastOutcome()->fronted);
    EXPECT_TRUE(eventually([&] { return above(client, covered, cover); }));

    main.sync([&] { raiser->restoreFrontmost(browser); });
    EXPECT_TRUE(eventually([&] { return system->frontmostApplication() == browser; }));
}

} // namespace
} // namespace quillmere::testing

#include "Platform/Accessibility/WindowSystemEwmh.h"
#include "Platform/ScreenCapture/Tests/X11TestClient.h"
#include "Platform/ScreenCapture/Tests/XvfbServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace quillmere {
namespace {

using testing::X11TestClient;
using testing::XvfbServer;
using Window = WindowSystem::Window;

constexpr std::int32_t appA = 5001;
constexpr std::int32_t appB = 5002;

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// One X server per suite: openbox takes most of a second to start. Every
// test makes its own windows and takes them away again.
class WindowSystemEwmhTest : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        managedServer = new XvfbServer({.screens = {{640, 480}}, .windowManager = true});
        bareServer = new XvfbServer({.screens = {{640, 480}}, .windowManager = false});
    }
    static void TearDownTestSuite() {
        delete managedServer;
        delete bareServer;
    }

    void SetUp() override {
        const XvfbServer& server = GetParam() ? *managedServer : *bareServer;
        ASSERT_TRUE(server.ready()) << server.failure();
        client = std::make_unique<X11TestClient>(server.displayName());
        auto opened = WindowSystemEwmh::open(server.displayName());
        ASSERT_TRUE(opened.has_value());
        system = *opened;
    }
    void TearDown() override {
        for (const Window window : made) client->destroy(window);
        if (client) client->sync();
    }

    Window window(X11TestClient::NewWindow wanted) {
        const Window made_ = client->createWindow(wanted);
        made.push_back(made_);
        EXPECT_TRUE(client->waitUntilViewable(made_));
        // Listed by the window manager once it manages it.
        EXPECT_TRUE(eventually([&] {
            const auto listed = system->windows(static_cast<std::int32_t>(*wanted.pid));
            return listed && std::find(listed->begin(), listed->end(), made_) != listed->end();
        }));
        return made_;
    }

    bool managed() const { return GetParam(); }

    static inline XvfbServer* managedServer = nullptr;
    static inline XvfbServer* bareServer = nullptr;
    std::unique_ptr<X11TestClient> client;
    std::shared_ptr<WindowSystemEwmh> system;
    std::vector<Window> made;
};

TEST_P(WindowSystemEwmhTest, WindowsOfAProcessFrontToBackWithFrameAndTitle) {
    const Window a1 = window(X11TestClient::NewWindow().at(40, 50).sized(200, 120).titled("Ä one").ownedBy(appA));
    const Window b1 = window(X11TestClient::NewWindow().at(60, 70).sized(180, 100).titled("B").ownedBy(appB));
    const Window a2 = window(X11TestClient::NewWindow().at(80, 90).sized(160, 110).titled("").ownedBy(appA));

    EXPECT_EQ(system->windows(appA), (std::vector<Window>{a2, a1}));
    EXPECT_EQ(system->windows(appB), (std::vector<Window>{b1}));
    EXPECT_EQ(system->windows(4), std::vector<Window>{});
    EXPECT_EQ(system->title(a1), "Ä one");
    EXPECT_EQ(system->title(a2), std::nullopt);

    const auto frame = system->frame(a1);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 200);
    EXPECT_EQ(frame->height, 120);
    const WindowSystem::Insets insets = system->decorations(a1);
    if (managed()) {
        // Openbox keeps the outer frame where it was asked for, the client
        // below its title bar.
        EXPECT_GT(insets.top, 0);
        EXPECT_EQ(frame->x, 40 + insets.left);
        EXPECT_EQ(frame->y, 50 + insets.top);
    } else {
        EXPECT_EQ(insets, WindowSystem::Insets{});
        EXPECT_EQ(*frame, (ScreenRect{40, 50, 200, 120}));
    }
}

TEST_P(WindowSystemEwmhTest, MovesAndResizesTheClientArea) {
    const Window a = window(X11TestClient::NewWindow().at(10, 10).sized(200, 120).ownedBy(appA));
    system->setFrame(a, {100, 130, 300, 200}, false);
    EXPECT_TRUE(eventually([&] { return system->frame(a) == ScreenRect{100, 130, 200, 120}; }))
        << system->frame(a)->x << "," << system->frame(a)->y;
    system->setFrame(a, {50, 60, 300, 200}, true);
    EXPECT_TRUE(eventually([&] { return system->frame(a) == ScreenRect{50, 60, 300, 200}; }));
}

TEST_P(WindowSystemEwmhTest, KeyWindowActivationAndTheFrontApplication) {
    const Window a1 = window(X11TestClient::NewWindow().at(40, 50).sized(200, 120).ownedBy(appA));
    const Window a2 = window(X11TestClient::NewWindow().at(300, 50).sized(200, 120).ownedBy(appA));
    const Window b = window(X11TestClient::NewWindow().at(60, 70).sized(300, 200).ownedBy(appB));
    std::atomic<std::int32_t> reported{0};
    const auto token = system->addActivationObserver([&](std::int32_t pid) { reported = pid; });

    // The window manager reports every change of the active window.
    ASSERT_TRUE(system->makeKeyWindow(a1, appA));
    ASSERT_TRUE(eventually([&] { return system->focusedWindow(appA) == a1; }));
    ASSERT_TRUE(system->makeKeyWindow(b, appB));
    EXPECT_TRUE(eventually([&] { return system->frontmostApplication() == appB; }));
    EXPECT_EQ(system->focusedWindow(appB), b);
    if (managed()) {
        EXPECT_TRUE(eventually([&] { return reported == appB; }));
    }

    // The window of A that was made key comes back with A, though another
    // of A's windows lies above it.
    EXPECT_EQ(system->raise(a2), 0);
    ASSERT_TRUE(eventually([&] { return system->windows(appA)->front() == a2; }));
    ASSERT_TRUE(system->activate(appA));
    EXPECT_TRUE(eventually([&] { return system->frontmostApplication() == appA; }));
    EXPECT_EQ(system->focusedWindow(appA), a1);
    EXPECT_TRUE(eventually([&] { return system->frontmostWindowBounds(appA) == system->frame(a1); }));
    if (managed()) {
        EXPECT_TRUE(eventually([&] { return reported == appA; }));
    }

    system->removeActivationObserver(token);
    reported = 0;
    ASSERT_TRUE(system->makeKeyWindow(b, appB));
    ASSERT_TRUE(eventually([&] { return system->frontmostApplication() == appB; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(reported, 0) << "a removed observer";
}

TEST_P(WindowSystemEwmhTest, AWindowThatWentAwayFailsEveryRequestWithoutHarm) {
    const Window gone = window(X11TestClient::NewWindow().ownedBy(appA));
    client->destroy(gone);
    made.clear();
    client->sync();
    EXPECT_EQ(system->raise(gone), XCB_WINDOW);
    EXPECT_FALSE(system->makeKeyWindow(gone, appA));
    EXPECT_EQ(system->frame(gone), std::nullopt);
    EXPECT_EQ(system->title(gone), std::nullopt);
    system->setFrame(gone, {0, 0, 10, 10}, true);
    EXPECT_TRUE(eventually([&] { return system->windows(appA) == std::vector<Window>{}; }));
    EXPECT_FALSE(system->activate(appA));
    EXPECT_EQ(system->focusedWindow(appA), std::nullopt);
    EXPECT_EQ(system->frontmostWindowBounds(appA), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(X11, WindowSystemEwmhTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Openbox" : "NoWindowManager"; });

TEST(WindowSystemEwmhScreens, VisibleFramesAreTheMonitorsWithinTheWorkArea) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient client(server.displayName());
    const auto system = *WindowSystemEwmh::open(server.displayName());
    ASSERT_TRUE(client.setMonitor("LEFT", 0, 0, 400, 600, false, true));
    ASSERT_TRUE(client.setMonitor("RIGHT", 400, 0, 400, 600, true));
    // A panel along the top takes 30 pixels of every monitor's height.
    const Window panel = client.createWindow(
        X11TestClient::NewWindow().sized(800, 30).typed("_NET_WM_WINDOW_TYPE_DOCK").ownedBy(appB));
    const std::uint32_t strut[12] = {0, 0, 30, 0, 0, 0, 0, 0, 0, 799, 0, 0};
    xcb_change_property(client.connection(), XCB_PROP_MODE_REPLACE, panel, client.atom("_NET_WM_STRUT_PARTIAL"),
                        XCB_ATOM_CARDINAL, 32, 12, strut);
    client.sync();
    // The primary first.
    EXPECT_TRUE(eventually([&] {
        return system->visibleScreenFrames() == std::vector<ScreenRect>{{400, 30, 400, 570}, {0, 30, 400, 570}};
    }));
}

} // namespace
} // namespace quillmere

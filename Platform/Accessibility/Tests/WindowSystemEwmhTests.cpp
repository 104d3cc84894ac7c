#include "Platform/Accessibility/WindowSystemEwmh.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace quillmere {
namespace {

using testing::eventually;
using testing::X11TestClient;
using testing::XvfbServer;
using Window = WindowSystem::Window;

constexpr std::int32_t appA = 5001;
constexpr std::int32_t appB = 5002;

// The same requests with openbox and without a window manager. One server
// of each kind for the suite; every test takes its windows away again.
class WindowSystemEwmhTest : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        for (const bool managed : {false, true})
            servers[managed] = new XvfbServer({.screens = {{640, 480}}, .windowManager = managed});
    }
    static void TearDownTestSuite() {
        for (XvfbServer* server : servers) delete server;
    }
    void SetUp() override {
        ASSERT_TRUE(servers[GetParam()]->ready()) << servers[GetParam()]->failure();
        client = std::make_unique<X11TestClient>(servers[GetParam()]->displayName());
        system = *WindowSystemEwmh::open(XcbConnection::opener(servers[GetParam()]->displayName()));
    }
    void TearDown() override {
        for (const Window window : made) client->destroy(window);
        client->sync();
    }

    Window window(int x, int y, std::int32_t pid, std::string title = "Window") {
        const Window id = client->createWindow(
            X11TestClient::NewWindow().at(x, y).sized(200, 120).titled(std::move(title)).ownedBy(pid));
        made.push_back(id);
        EXPECT_TRUE(eventually([&] {
            const auto listed = system->windows(pid);
            return listed && std::find(listed->begin(), listed->end(), id) != listed->end();
        }));
        return id;
    }

    static inline XvfbServer* servers[2] = {};
    std::unique_ptr<X11TestClient> client;
    std::shared_ptr<WindowSystemEwmh> system;
    std::vector<Window> made;
};

TEST_P(WindowSystemEwmhTest, WindowsOfAProcessFrontToBackAndTheirClientAreas) {
    const Window a1 = window(40, 50, appA, "Ä one");
    const Window b = window(60, 70, appB);
    const Window a2 = window(80, 90, appA, "");
    // A window manager stacks new windows as it sees fit: raised here, in
    // the order the test wants.
    for (const Window window : {a1, b, a2}) EXPECT_EQ(system->raise(window), 0);
    EXPECT_TRUE(eventually([&] { return system->windows(appA) == std::vector<Window>{a2, a1}; }));
    EXPECT_EQ(system->windows(appB), (std::vector<Window>{b}));
    EXPECT_EQ(system->title(a1), "Ä one");
    EXPECT_EQ(system->title(a2), std::nullopt);
    // Openbox keeps the outer frame where it was asked for, the client
    // area below its title bar.
    const WindowSystem::Insets d = system->decorations(a1);
    EXPECT_EQ(d.top > 0, GetParam());
    EXPECT_EQ(system->frame(a1), (ScreenRect{40 + d.left, 50 + d.top, 200, 120}));

    system->setFrame(a1, {100, 130, 300, 200}, false);
    EXPECT_TRUE(eventually([&] { return system->frame(a1) == ScreenRect{100, 130, 200, 120}; }));
    system->setFrame(a1, {50, 60, 300, 200}, true);
    EXPECT_TRUE(eventually([&] { return system->frame(a1) == ScreenRect{50, 60, 300, 200}; }));

    // The see-through margin a client marks is no part of its frame, and
    // moves with it. _NET_FRAME_EXTENTS is the client's only where no window
    // manager owns it; a margin that leaves nothing is none.
    const ScreenRect inside{60, 65, 270, 180};
    struct Margin {
        const char* property;
        std::vector<std::uint32_t> sides;
        bool counts;
    };
    const Margin margins[] = {{"_NET_FRAME_EXTENTS", {10, 20, 5, 15}, !GetParam()},
                              {"_GTK_FRAME_EXTENTS", {150, 150, 0, 0}, false},
                              {"_GTK_FRAME_EXTENTS", {10, 20, 5, 15}, true}};
    for (const Margin& margin : margins) {
        client->setCardinals(a1, margin.property, margin.sides);
        client->sync();
        EXPECT_EQ(system->frame(a1), margin.counts ? inside : (ScreenRect{50, 60, 300, 200}))
            << margin.property << " " << margin.sides[0];
    }
    system->setFrame(a1, {100, 130, 200, 100}, true);
    EXPECT_TRUE(eventually([&] { return system->frame(a1) == ScreenRect{100, 130, 200, 100}; }));
}

TEST_P(WindowSystemEwmhTest, TheWindowMadeKeyComesBackWithItsApplication) {
    const Window a1 = window(40, 50, appA);
    const Window a2 = window(300, 50, appA);
    const Window b = window(60, 70, appB);
    std::atomic<std::int32_t> reported{0};
    const auto token = system->addActivationObserver([&](std::int32_t pid) { reported = pid; });
    ASSERT_TRUE(system->makeKeyWindow(a1, appA));
    ASSERT_TRUE(eventually([&] { return system->focusedWindow(appA) == a1; }));
    ASSERT_TRUE(system->makeKeyWindow(b, appB));
    ASSERT_TRUE(eventually([&] { return system->frontmostApplication() == appB; }));
    // A's other window comes above the one made key; activating A brings
    // back the one made key all the same.
    EXPECT_EQ(system->raise(a2), 0);
    ASSERT_TRUE(eventually([&] { return system->windows(appA)->front() == a2; }));
    ASSERT_TRUE(system->activate(appA));
    EXPECT_TRUE(eventually([&] { return system->frontmostApplication() == appA; }));
    EXPECT_EQ(system->focusedWindow(appA), a1);
    EXPECT_TRUE(eventually([&] { return system->frontmostWindowBounds(appA) == system->frame(a1); }));
    // Only a window manager reports activations.
    if (GetParam()) {
        EXPECT_TRUE(eventually([&] { return reported == appA; }));
    } else {
        EXPECT_EQ(reported, 0);
    }
    system->removeActivationObserver(token);
}

TEST_P(WindowSystemEwmhTest, AWindowThatWentAwayFailsEveryRequestHarmlessly) {
    const Window gone = window(0, 0, appA);
    client->destroy(gone);
    made.clear();
    client->sync();
    EXPECT_EQ(system->raise(gone), XCB_WINDOW);
    EXPECT_FALSE(system->makeKeyWindow(gone, appA));
    EXPECT_EQ(system->frame(gone), std::nullopt);
    system->setFrame(gone, {0, 0, 10, 10}, true);
    EXPECT_TRUE(eventually([&] { return system->windows(appA) == std::vector<Window>{}; }));
    EXPECT_FALSE(system->activate(appA));
    EXPECT_EQ(system->frontmostWindowBounds(appA), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(X11, WindowSystemEwmhTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Openbox" : "NoWindowManager"; });

} // namespace
} // namespace quillmere

#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/WindowList/ShareableContent.h"
#include "Platform/WindowList/WindowListX11.h"
#include "Platform/X11/XcbConnection.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillmere {
namespace {

using testing::X11TestClient;
using testing::XvfbServer;

const ContentWindow* findWindow(const ShareableContent& content, std::uint32_t id) {
    auto it = std::find_if(content.windows.begin(), content.windows.end(),
                           [&](const ContentWindow& w) { return w.windowID == id; });
    return it == content.windows.end() ? nullptr : &*it;
}

ShareableContent fetch(const XvfbServer& server, bool onScreenOnly = true) {
    ShareableContent::Options options;
    options.onScreenWindowsOnly = onScreenOnly;
    auto content = ShareableContent::fetch(XcbConnection::opener(server.displayName()), options);
    EXPECT_TRUE(content.has_value()) << (content ? "" : content.error().description());
    return content ? *content : ShareableContent{};
}

TEST(ShareableContent, ManagedWindowsComeFrontToBackWithTitleOwnerAndClientFrame) {
    XvfbServer server({.screens = {{800, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient client(server.displayName());
    const auto back = client.createWindow(
        X11TestClient::NewWindow().at(50, 60).sized(300, 200).titled("Bäck").classed("backapp", "BackApp").ownedBy(777));
    ASSERT_TRUE(client.waitUntilViewable(back));
    const auto front = client.createWindow(X11TestClient::NewWindow().at(100, 100).sized(200, 150).titled("Front"));
    ASSERT_TRUE(client.waitUntilViewable(front));

    const ShareableContent content = fetch(server);
    const ContentWindow* b = findWindow(content, back);
    const ContentWindow* f = findWindow(content, front);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_LT(f - content.windows.data(), b - content.windows.data());
    EXPECT_EQ(b->title, "Bäck");
    ASSERT_TRUE(b->owningApplication.has_value());
    EXPECT_EQ(b->owningApplication->processID, 777);
    EXPECT_EQ(b->owningApplication->applicationName, "BackApp");
    EXPECT_EQ(b->owningApplication->bundleIdentifier, "backapp");
    EXPECT_EQ(b->frame.width, 300);
    EXPECT_EQ(b->frame.height, 200);
    EXPECT_TRUE(b->isOnScreen);
    EXPECT_EQ(b->windowLayer, ContentWindow::layerNormal);
    // Openbox's own windows (its check window) are not clients.
    for (const ContentWindow& window : content.windows) EXPECT_TRUE(window.windowID == back || window.windowID == front);
    ASSERT_EQ(content.applications.size(), 2u);
}

TEST(ShareableContent, OffScreenWindowsOnlyWhenAskedAndLayersFromTheirType) {
    XvfbServer server;
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient client(server.displayName());
    const auto hidden = client.createWindow(X11TestClient::NewWindow().titled("Hidden").unmapped());
    const auto dock = client.createWindow(X11TestClient::NewWindow().titled("Dock").typed("_NET_WM_WINDOW_TYPE_DOCK"));
    const auto desktop = client.createWindow(X11TestClient::NewWindow().titled("Desktop").typed("_NET_WM_WINDOW_TYPE_DESKTOP"));
    const auto popup = client.createWindow(X11TestClient::NewWindow().titled("Menu").overriding());
    const auto noOwner = client.createWindow(X11TestClient::NewWindow().titled("").ownedBy(std::nullopt));
    client.sync();

    const ShareableContent onScreen = fetch(server);
    EXPECT_EQ(findWindow(onScreen, hidden), nullptr);
    EXPECT_EQ(findWindow(onScreen, desktop), nullptr);
    ASSERT_NE(findWindow(onScreen, dock), nullptr);
    EXPECT_EQ(findWindow(onScreen, dock)->windowLayer, ContentWindow::layerDock);
    ASSERT_NE(findWindow(onScreen, popup), nullptr);
    EXPECT_EQ(findWindow(onScreen, popup)->windowLayer, ContentWindow::layerPopUp);
    ASSERT_NE(findWindow(onScreen, noOwner), nullptr);
    EXPECT_FALSE(findWindow(onScreen, noOwner)->owningApplication.has_value());

    const ShareableContent all = fetch(server, false);
    ASSERT_NE(findWindow(all, hidden), nullptr);
    EXPECT_FALSE(findWindow(all, hidden)->isOnScreen);
}

TEST(ShareableContent, MonitorsAreDisplaysAndThePrimaryIsMain) {
    XvfbServer server({.screens = {{1600, 600}}, .windowManager = false});
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient client(server.displayName());
    ASSERT_TRUE(client.setMonitor("LEFT", 0, 0, 800, 600, false, true));
    ASSERT_TRUE(client.setMonitor("RIGHT", 800, 0, 800, 600, true));

    const ShareableContent content = fetch(server);
    std::vector<std::string> names;
    for (const auto& display : content.displays) names.push_back(display.name);
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names, (std::vector<std::string>{"LEFT", "RIGHT"}));
    const auto right = std::find_if(content.displays.begin(), content.displays.end(),
                                    [](const ContentDisplay& d) { return d.name == "RIGHT"; });
    EXPECT_EQ(right->frame, (ScreenRect{800, 0, 800, 600}));
    EXPECT_EQ(content.mainDisplayID, right->displayID);
}

TEST(ShareableContent, EachScreenIsADisplay) {
    XvfbServer server({.screens = {{640, 480}, {800, 200}}, .windowManager = false});
    ASSERT_TRUE(server.ready()) << server.failure();
    const ShareableContent content = fetch(server);
    ASSERT_EQ(content.displays.size(), 2u);
    EXPECT_EQ(content.displays[0].screen, 0);
    EXPECT_EQ(content.displays[1].screen, 1);
    EXPECT_EQ(content.displays[1].frame, (ScreenRect{0, 0, 800, 200}));
    EXPECT_NE(content.displays[0].displayID, content.displays[1].displayID);
    EXPECT_EQ(content.mainDisplayID, content.displays[0].displayID);
}

TEST(ShareableContent, NoServerIsAnInvalidConnection) {
    ShareableContent::Options options;
    auto content = ShareableContent::fetch(XcbConnection::opener(":65000"), options);
    ASSERT_FALSE(content.has_value());
    EXPECT_EQ(content.error().code, ScreenCaptureError::connectionInvalid);
}

TEST(WindowListX11, TitlesBecomeUtf8) {
    EXPECT_EQ(WindowListX11::titleText("caf\xe9", true), "café");
    EXPECT_EQ(WindowListX11::titleText("ok \xff\xc3\xa9", false), "ok \xEF\xBF\xBD\xC3\xA9");
    EXPECT_EQ(WindowListX11::titleText("\xed\xa0\x80", false), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

} // namespace
} // namespace quillmere

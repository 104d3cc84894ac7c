#include "QuillmereMac/Catalog/PreferredDisplay.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillmere {
namespace {

constexpr std::int32_t ownPid = 1000;

ContentWindow window(std::uint32_t id, std::string title, std::string app, int width = 300, int height = 200) {
    ContentWindow w;
    w.windowID = id;
    w.title = std::move(title);
    w.owningApplication = ContentApplication{2000 + static_cast<std::int32_t>(id), std::move(app), "some.app"};
    w.frame = {10, 20, width, height};
    w.isOnScreen = true;
    return w;
}

ContentDisplay display(std::uint32_t id, int width = 1920, int height = 1080) {
    ContentDisplay d;
    d.displayID = id;
    d.frame = {0, 0, width, height};
    return d;
}

// A catalog over content the test hands it.
struct Fixture {
    Fixture() {
        catalog = std::make_unique<WindowCatalog>(":7", ownPid, "com.ornbeck.quillmere.mac",
                                                  [this](const ShareableContent::Options& options)
                                                      -> std::expected<ShareableContent, ScreenCaptureError> {
                                                      asked = options;
                                                      if (failure) return std::unexpected(*failure);
                                                      return content;
                                                  });
    }
    std::vector<std::uint32_t> listedIDs(bool offScreen = false) {
        auto listed = catalog->refresh(offScreen);
        EXPECT_TRUE(listed.has_value());
        std::vector<std::uint32_t> ids;
        for (const auto& entry : listed.value_or(std::vector<ShareableWindow>{})) ids.push_back(entry.windowID);
        return ids;
    }

    ShareableContent content;
    std::optional<ScreenCaptureError> failure;
    ShareableContent::Options asked;
    std::unique_ptr<WindowCatalog> catalog;
};

TEST(WindowCatalog, ListsOnlyWindowsAUserWouldShare) {
    Fixture f;
    ContentWindow own = window(1, "Own", "Quillmere");
    own.owningApplication->bundleIdentifier = "com.ornbeck.quillmere.mac";
    ContentWindow ownProcess = window(2, "Own too", "Renamed");
    ownProcess.owningApplication->processID = ownPid;
    ContentWindow untitled = window(3, "", "Editor");
    ContentWindow floating = window(4, "Palette", "Editor");
    floating.windowLayer = ContentWindow::layerFloating;
    ContentWindow hidden = window(5, "Hidden", "Editor");
    hidden.isOnScreen = false;
    f.content.windows = {own,
                         ownProcess,
                         untitled,
                         floating,
                         hidden,
                         window(6, "Narrow", "Editor", 63, 500),
                         window(7, "Low", "Editor", 500, 63),
                         window(8, "Smallest", "Editor", 64, 64)};
    EXPECT_EQ(f.listedIDs(), (std::vector<std::uint32_t>{8}));
    // Off-screen windows are fetched but still not listed.
    EXPECT_EQ(f.listedIDs(true), (std::vector<std::uint32_t>{8}));
    EXPECT_FALSE(f.asked.onScreenWindowsOnly);
    EXPECT_TRUE(f.asked.excludeDesktopWindows);
    // Left out of the list, still there for lookups.
    EXPECT_TRUE(f.catalog->windowFrame(5).has_value());
    EXPECT_TRUE(f.catalog->windowFilter(1).has_value());
}

TEST(WindowCatalog, SortsByAppTitleThenIdentifierAndKeeps64) {
    Fixture f;
    f.content.windows = {window(30, "Same", "beta"), window(20, "Same", "beta"), window(10, "Zed", "Alpha"),
                         window(40, "Able", "beta")};
    // Case-sensitive: "Alpha" sorts before "beta".
    EXPECT_EQ(f.listedIDs(), (std::vector<std::uint32_t>{10, 40, 20, 30}));

    f.content.windows.clear();
    for (std::uint32_t id = 100; id < 165; ++id) f.content.windows.push_back(window(id, "Doc", "App"));
    std::reverse(f.content.windows.begin(), f.content.windows.end());
    const auto ids = f.listedIDs();
    ASSERT_EQ(ids.size(), 64u);
    EXPECT_EQ(ids.front(), 100u);
    EXPECT_EQ(ids.back(), 163u);
}

TEST(WindowCatalog, RepeatedIdentifiersKeepTheFirstWindow) {
    Fixture f;
    ContentWindow later = window(9, "Second", "App", 800, 600);
    f.content.windows = {window(9, "First", "App"), later};
    f.listedIDs();
    EXPECT_EQ(f.catalog->windowFrame(9)->width, 300);
    EXPECT_EQ(*f.catalog->windowDescription(9), "App \u2014 First");
}

TEST(WindowCatalog, WindowSettingsCapTheLongerSideAt1920) {
    EXPECT_EQ(WindowCatalog::windowCaptureSettings(3000, 1000, 2.0), (CaptureSettings{1920, 640, 60, true, 3, 0, 0}));
    EXPECT_EQ(WindowCatalog::windowCaptureSettings(1, 1, 2.0), (CaptureSettings{2, 2, 60, true, 3, 0, 0}));
    EXPECT_EQ(WindowCatalog::windowCaptureSettings(961, 100, 1.0), (CaptureSettings{960, 100, 60, true, 3, 0, 0}));
    EXPECT_EQ(WindowCatalog::windowCaptureSettings(1080, 1920, 1.0).width, 1080);
}

TEST(WindowCatalog, WindowLookups) {
    Fixture f;
    ContentWindow nameless = window(2, "", "");
    ContentWindow ownerless = window(3, "Orphan", "");
    ownerless.owningApplication.reset();
    f.content.windows = {window(1, "Report.txt", "Editor", 3000, 1000), nameless, ownerless};
    f.content.displays = {display(5)};
    EXPECT_EQ(f.catalog->windowFilter(1).error(), WindowCatalogError::windowNotFound);
    f.listedIDs();

    const auto capture = f.catalog->windowFilter(1);
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->filter, ContentFilter::window(1, ":7"));
    // Pixels are points here: 3000 x 1000 at scale 1.
    EXPECT_EQ(capture->settings, (CaptureSettings{1920, 640, 60, true, 3, 0, 0}));
    EXPECT_EQ(f.catalog->windowFilter(99).error(), WindowCatalogError::windowNotFound);

    EXPECT_EQ(*f.catalog->windowDescription(1), "Editor \u2014 Report.txt");
    EXPECT_EQ(*f.catalog->windowDescription(2), "");
    EXPECT_EQ(*f.catalog->windowDescription(3), "Orphan");
    EXPECT_FALSE(f.catalog->windowDescription(99).has_value());

    EXPECT_EQ(*f.catalog->windowFrame(1), (Rect{10, 20, 3000, 1000}));
    const auto target = f.catalog->controlTarget(1);
    ASSERT_TRUE(target);
    EXPECT_EQ(*target, (ControlTarget{2001, Rect{10, 20, 3000, 1000}, std::string("Report.txt")}));
    EXPECT_FALSE(f.catalog->controlTarget(2)->title.has_value());
    EXPECT_FALSE(f.catalog->controlTarget(3).has_value());
    EXPECT_FALSE(f.catalog->controlTarget(99).has_value());
}

TEST(WindowCatalog, DisplaysPutThePreferredOrMainOneFirst) {
    Fixture f;
    f.content.displays = {display(11, 1920, 1080), display(22, 70000, 1440)};
    f.content.mainDisplayID = 22;
    f.listedIDs();
    EXPECT_EQ(f.catalog->displayChoices(),
              (std::vector<WindowCatalog::DisplayDescription>{{"Entire screen (Display 1)", 65535, 1440},
                                                              {"Entire screen (Display 2)", 1920, 1080}}));
    EXPECT_EQ(f.catalog->displayFilter(0), ContentFilter::display(22, ":7"));
    EXPECT_EQ(*f.catalog->displayBounds(1), (Rect{0, 0, 1920, 1080}));
    EXPECT_FALSE(f.catalog->displayFilter(2).has_value());
    EXPECT_FALSE(f.catalog->displayFilter(-1).has_value());
    EXPECT_FALSE(f.catalog->displayBounds(-1).has_value());
    EXPECT_FALSE(f.catalog->displayTitle(2).has_value());

    setPreferredDisplayID(11);
    f.listedIDs();
    setPreferredDisplayID(std::nullopt);
    EXPECT_EQ(f.catalog->displayFilter(0), ContentFilter::display(11, ":7"));
    // A preferred display that is not there adds nothing.
    setPreferredDisplayID(33);
    f.listedIDs();
    setPreferredDisplayID(std::nullopt);
    EXPECT_EQ(f.catalog->displayChoices().size(), 2u);
    EXPECT_EQ(f.catalog->displayFilter(0), ContentFilter::display(11, ":7"));

    f.content.displays = {display(11)};
    f.listedIDs();
    EXPECT_EQ(*f.catalog->displayTitle(0), "Entire screen");
}

TEST(WindowCatalog, AFailedRefreshKeepsWhatWasThere) {
    Fixture f;
    f.content.windows = {window(1, "Doc", "App")};
    f.content.displays = {display(5)};
    f.listedIDs();
    f.failure = ScreenCaptureError::make(ScreenCaptureError::connectionInvalid, "no display");
    EXPECT_EQ(f.catalog->refresh(false).error(), WindowCatalogError::permissionDenied);
    EXPECT_TRUE(f.catalog->windowFrame(1).has_value());
    EXPECT_EQ(f.catalog->displayChoices().size(), 1u);
}

TEST(WindowCatalog, EmptyUntilTheFirstRefresh) {
    Fixture f;
    EXPECT_TRUE(f.catalog->displayChoices().empty());
    EXPECT_FALSE(f.catalog->displayFilter(0).has_value());
    EXPECT_FALSE(f.catalog->windowFrame(1).has_value());
    EXPECT_EQ(f.catalog->backingScaleFactor(), 2.0);
}

TEST(WindowCatalog, MainDisplayFirst) {
    EXPECT_EQ(WindowCatalog::mainDisplayFirst({1, 2, 3, 2}, 2), (std::vector<std::uint32_t>{2, 2, 1, 3}));
    EXPECT_EQ(WindowCatalog::mainDisplayFirst({1, 3}, 2), (std::vector<std::uint32_t>{1, 3}));
}

TEST(WindowCatalogX11, TwoMonitorsAndTheWindowsOfAManagedDesktop) {
    testing::XvfbServer server({.screens = {{1600, 600}}, .windowManager = true});
    ASSERT_TRUE(server.ready()) << server.failure();
    testing::X11TestClient client(server.displayName());
    ASSERT_TRUE(client.setMonitor("LEFT", 0, 0, 800, 600, false, true));
    ASSERT_TRUE(client.setMonitor("RIGHT", 800, 0, 800, 600, true));
    using Window = testing::X11TestClient::NewWindow;
    const auto ours = client.createWindow(Window().titled("Quillmere status").ownedBy(getpid()));
    const auto zed = client.createWindow(Window().titled("Notes").classed("zed", "Zed").ownedBy(501));
    const auto alpha = client.createWindow(Window().titled("Draft").classed("alpha", "Alpha").ownedBy(502));
    for (auto window : {ours, zed, alpha}) ASSERT_TRUE(client.waitUntilViewable(window));

    WindowCatalog catalog(server.displayName(), WindowCatalog::currentProcessID(), WindowCatalog::defaultBundleID,
                          testing::x11Desktop(server.displayName())->contentFetcher());
    const auto listed = catalog.refresh(false);
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 2u);
    EXPECT_EQ((*listed)[0], (ShareableWindow{alpha, "Draft", "Alpha", "alpha", 320, 240}));
    EXPECT_EQ((*listed)[1].windowID, zed);
    EXPECT_EQ(catalog.controlTarget(zed)->pid, 501);

    // The primary monitor (RIGHT) is the main display: listed first.
    auto choices = catalog.displayChoices();
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].title, "Entire screen (Display 1)");
    EXPECT_EQ(*catalog.displayBounds(0), (Rect{800, 0, 800, 600}));
    EXPECT_EQ(*catalog.displayBounds(1), (Rect{0, 0, 800, 600}));

    // A preferred display comes before the main one.
    const std::uint32_t left = catalog.displayFilter(1)->identifier;
    setPreferredDisplayID(left);
    ASSERT_TRUE(catalog.refresh(false));
    setPreferredDisplayID(std::nullopt);
    EXPECT_EQ(catalog.displayFilter(0)->identifier, left);
    EXPECT_EQ(*catalog.displayBounds(0), (Rect{0, 0, 800, 600}));
}

} // namespace
} // namespace quillmere

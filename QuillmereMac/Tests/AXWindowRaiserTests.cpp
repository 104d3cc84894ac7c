#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Control/WindowFitting.h"
#include "QuillmereMac/Tests/FakeWindowSystem.h"
#include "QuillmereMac/Tests/LogCapture.h"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

using Outcome = AXWindowRaiser::Outcome;
using FakeWindow = FakeWindowSystem::FakeWindow;
using Window = WindowSystem::Window;

constexpr std::int32_t ownPID = 100;
constexpr std::int32_t app = 200;
constexpr std::int32_t other = 300;

class AXWindowRaiserTest : public ::testing::Test {
protected:
    LogCapture log;
    ManualExecutor main{"main"};
    std::shared_ptr<FakeWindowSystem> system = std::make_shared<FakeWindowSystem>();
    std::shared_ptr<AXWindowRaiser> raiser;

    void SetUp() override { system->front = other; }
    void make() {
        if (!raiser) raiser = AXWindowRaiser::make(system, main, true, ownPID);
    }
    void window(Window id, std::optional<ScreenRect> frame, std::optional<std::string> title = std::nullopt) {
        system->add(FakeWindow{id, app, frame, std::move(title)});
    }
    // Raised from a connection's queue: the later stages wait for the main
    // actor, the check for 0.15 s more.
    bool raiseAndSettle(const ControlTarget& wanted) {
        make();
        const bool fitted = raiser->raise(wanted);
        main.runUntilIdle();
        main.advance(AXWindowRaiser::checkDelayNs);
        return fitted;
    }
    std::vector<std::string> keyCalls() {
        std::vector<std::string> keys;
        for (const auto& call : system->transcript())
            if (call.starts_with("key ")) keys.push_back(call);
        return keys;
    }
};

TEST_F(AXWindowRaiserTest, ChoosesTheWindowThatMatchesBestTiesToTheOneInFront) {
    const Rect at{100, 100, 400, 300};
    const ScreenRect exact{100, 100, 400, 300};
    const ScreenRect far{900, 600, 200, 100};
    struct Case {
        const char* name;
        std::vector<FakeWindow> windows;
        std::optional<std::string> title;
        Window chosen;
    };
    const std::vector<Case> cases{
        {"one window, matching nothing", {{1, app, far, "Elsewhere"}}, "Notes", 1},
        {"equal scores", {{1, app, exact, "Notes"}, {2, app, exact, "Notes"}}, "Notes", 1},
        {"the title outweighs a frame", {{1, app, exact, "Other"}, {2, app, far, "Notes"}}, "Notes", 2},
        {"no title: the frame decides", {{1, app, far, "Notes"}, {2, app, exact, "Notes"}}, std::nullopt, 2},
        {"no frame counts half a title", {{1, app, std::nullopt, "Notes"}, {2, app, exact, "Other"}}, "Notes", 1},
    };
    for (const Case& c : cases) {
        system->stack = c.windows;
        raiseAndSettle(ControlTarget{app, at, c.title});
        EXPECT_EQ(keyCalls().front(), "key " + std::to_string(c.chosen)) << c.name;
    }
}

TEST_F(AXWindowRaiserTest, FitsTheWindowWithItsDecorationsIntoTheDisplayItOverlapsMost) {
    const std::vector<ScreenRect> one{{0, 0, 1920, 1080}};
    const std::vector<ScreenRect> two{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    struct Case {
        const char* name;
        ScreenRect frame;
        WindowSystem::Insets insets;
        std::vector<ScreenRect> screens;
        std::optional<std::string> moved;
    };
    const std::vector<Case> cases{
        {"inside", {100, 100, 400, 300}, {}, one, std::nullopt},
        {"off the bottom right", {1700, 900, 400, 300}, {}, one, "setFrame 1 1520,780 400x300"},
        {"larger than the display", {-50, -50, 2500, 1200}, {}, one, "setFrame 1 0,0 1920x1080 sized"},
        {"mostly on the second display", {3000, 100, 400, 300}, {}, two, "setFrame 1 2800,100 400x300"},
        {"a title bar above the top", {100, 10, 400, 300}, {1, 1, 25, 1}, one, "setFrame 1 100,25 400x300"},
        {"below a panel", {10, 5, 400, 300}, {}, {{0, 30, 1920, 1050}}, "setFrame 1 10,30 400x300"},
    };
    for (const Case& c : cases) {
        system->stack = {FakeWindow{1, app, c.frame, std::nullopt, c.insets}};
        system->screens = c.screens;
        const bool fitted = raiseAndSettle(ControlTarget{app, rectOf(c.frame), std::nullopt});
        std::vector<std::string> setFrames;
        for (const auto& call : system->transcript())
            if (call.starts_with("setFrame")) setFrames.push_back(call);
        EXPECT_EQ(fitted, c.moved.has_value()) << c.name;
        EXPECT_EQ(setFrames, c.moved ? std::vector<std::string>{*c.moved} : std::vector<std::string>{}) << c.name;
        // Checked where the fit put it: no retry.
        EXPECT_EQ(raiser->lastOutcome()->retried, false) << c.name;
    }
}

TEST_F(AXWindowRaiserTest, StagesFillTheOutcomeAndTheCheckLogsIt) {
    window(1, ScreenRect{100, 100, 400, 300}, "Notes");
    window(2, ScreenRect{500, 100, 400, 300}, "Other");
    make();
    EXPECT_FALSE(raiser->raise(ControlTarget{app, {100, 100, 400, 300}, "Notes"}));
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, std::nullopt, std::nullopt, false}));
    EXPECT_EQ(log.lines("control"), std::vector<std::string>{}) << "activation waits for the main actor";

    main.runUntilIdle();
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, std::nullopt, false}));
    main.advance(AXWindowRaiser::checkDelayNs - 1);
    EXPECT_EQ(raiser->lastOutcome()->onTop, std::nullopt);
    main.advance(1);
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, true, false}));
    EXPECT_EQ(log.lines("control"),
              (std::vector<std::string>{"activate pid=200 ok=true",
                                        "raise pid=200 windows=2 axRaise=0/0 fronted=true onTop=true fitted=false"}));
    EXPECT_EQ(system->front, app);
    EXPECT_EQ(system->stack.front().id, 1u);

    // On the main actor the activation and the second raise come at once.
    main.sync([&] { raiser->raise(ControlTarget{app, {500, 100, 400, 300}, "Other"}); });
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, std::nullopt, false}));
}

TEST_F(AXWindowRaiserTest, RetriesOnceWhenTheFrontWindowIsEightPixelsOrMoreAway) {
    struct Case {
        const char* name;
        double offset;
        bool keptBelow;
        bool retried;
    };
    const std::vector<Case> cases{
        {"7 pixels off", 7, false, false},
        {"8 pixels off", 8, false, true},
        {"another window stays above", 0, true, true},
    };
    for (const Case& c : cases) {
        system->stack = {FakeWindow{1, app, ScreenRect{100, 100, 400, 300}, "Notes"}};
        if (c.keptBelow) system->add(FakeWindow{2, app, ScreenRect{0, 0, 50, 50}, "Palette", {}, true});
        system->transcript();
        raiseAndSettle(ControlTarget{app, {100 + c.offset, 100, 400, 300}, "Notes"});
        EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, !c.retried, c.retried})) << c.name;
        EXPECT_EQ(keyCalls().size(), c.retried ? 2u : 1u) << c.name;
    }
}

TEST_F(AXWindowRaiserTest, WithoutWindowsOnlyTheApplicationIsActivated) {
    make();
    for (const bool listFails : {false, true}) {
        system->listFails = listFails;
        EXPECT_FALSE(raiseAndSettle(ControlTarget{app, {0, 0, 10, 10}, std::nullopt}));
        EXPECT_EQ(system->transcript(), std::vector<std::string>{"activate 200"});
    }
    EXPECT_EQ(raiser->lastOutcome(), std::nullopt);
    EXPECT_EQ(log.lines("control"),
              (std::vector<std::string>{"activate pid=200 ok=false", "activate pid=200 ok=false"}));
}

TEST_F(AXWindowRaiserTest, AWindowGoneSinceTheListingIsRecordedNotFatal) {
    system->add(FakeWindow{1, app, ScreenRect{100, 100, 400, 300}, "Notes", {}, false, true});
    EXPECT_FALSE(raiseAndSettle(ControlTarget{app, {100, 100, 400, 300}, "Notes"}));
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{3, false, 3, true, false}));
    EXPECT_EQ(log.lines("control").back(),
              "raise pid=200 windows=1 axRaise=3/3 fronted=false onTop=true fitted=false");
}

TEST_F(AXWindowRaiserTest, LastOtherFollowsActivationsOfOtherApplications) {
    make();
    EXPECT_EQ(raiser->lastOther(), other);
    system->activateFromOutside(ownPID);
    EXPECT_EQ(raiser->lastOther(), other);
    system->activateFromOutside(400);
    EXPECT_EQ(raiser->lastOther(), 400);
    raiser.reset();
    system->activateFromOutside(500);

    system->front = ownPID;
    make();
    EXPECT_EQ(raiser->lastOther(), std::nullopt) << "this process is never the other application";
}

TEST_F(AXWindowRaiserTest, RestoringTheFrontActivatesAndRaisesTheFocusedWindow) {
    system->add(FakeWindow{7, other, ScreenRect{0, 0, 300, 200}, "Mail"});
    system->add(FakeWindow{8, other, ScreenRect{0, 0, 300, 200}, "Draft"});
    window(1, ScreenRect{100, 100, 400, 300});
    system->front = app;
    make();
    main.sync([&] { raiser->restoreFrontmost(other); });
    EXPECT_EQ(system->transcript(), (std::vector<std::string>{"activate 300", "raise 7"}));
    EXPECT_EQ(system->front, other);
}

} // namespace
} // namespace quillmere::testing

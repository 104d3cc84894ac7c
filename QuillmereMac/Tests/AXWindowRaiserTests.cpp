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

constexpr std::int32_t app = 200;
constexpr std::int32_t other = 300;
const ScreenRect at{100, 100, 400, 300};

class AXWindowRaiserTest : public ::testing::Test {
protected:
    LogCapture log;
    ManualExecutor main{"main"};
    std::shared_ptr<FakeWindowSystem> system = std::make_shared<FakeWindowSystem>();
    std::shared_ptr<AXWindowRaiser> raiser;

    void make() { raiser = AXWindowRaiser::make(system, main, true, 100); }
    // From a connection's queue: the later stages wait for the main actor,
    // the check for 0.15 s more. The calls made, in order.
    std::vector<std::string> raise(ControlTarget target, bool* fitted = nullptr) {
        if (!raiser) make();
        system->transcript();
        const bool moved = raiser->raise(target);
        if (fitted) *fitted = moved;
        main.runUntilIdle();
        main.advance(AXWindowRaiser::checkDelayNs);
        return system->transcript();
    }
};

TEST_F(AXWindowRaiserTest, ChoosesTheWindowThatMatchesBestTiesToTheOneInFront) {
    const ScreenRect far{900, 600, 200, 100};
    struct Case {
        const char* name;
        std::vector<FakeWindow> windows;
        std::optional<std::string> title;
        std::string chosen;
    };
    const std::vector<Case> cases{
        {"one window, matching nothing", {{1, app, far, "Elsewhere"}}, "Notes", "key 1"},
        {"equal scores", {{1, app, at, "Notes"}, {2, app, at, "Notes"}}, "Notes", "key 1"},
        {"the title outweighs a frame", {{1, app, at, "Other"}, {2, app, far, "Notes"}}, "Notes", "key 2"},
        {"no title: the frame decides", {{1, app, far, "Notes"}, {2, app, at, "Notes"}}, std::nullopt, "key 2"},
        {"no frame counts half a title", {{1, app, std::nullopt, "Notes"}, {2, app, at, "Other"}}, "Notes", "key 1"},
    };
    for (const Case& c : cases) {
        system->stack = c.windows;
        EXPECT_EQ(raise(ControlTarget{app, rectOf(at), c.title}).at(1), c.chosen) << c.name;
    }
}

TEST_F(AXWindowRaiserTest, FitsTheWindowWithItsDecorationsIntoTheDisplayItOverlapsMost) {
    const std::vector<ScreenRect> one{{0, 0, 1920, 1080}};
    const std::vector<ScreenRect> two{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    struct Case {
        ScreenRect frame;
        WindowSystem::Insets insets;
        std::vector<ScreenRect> screens;
        std::string call;
    };
    const std::vector<Case> cases{
        {{100, 100, 400, 300}, {}, one, "raise 1"},
        {{1700, 900, 400, 300}, {}, one, "setFrame 1 1520,780 400x300"},
        {{-50, -50, 2500, 1200}, {}, one, "setFrame 1 0,0 1920x1080 sized"},
        {{3000, 100, 400, 300}, {}, two, "setFrame 1 2800,100 400x300"},
        {{100, 10, 400, 300}, {1, 1, 25, 1}, one, "setFrame 1 100,25 400x300"},
        {{10, 5, 400, 300}, {}, {{0, 30, 1920, 1050}}, "setFrame 1 10,30 400x300"},
    };
    for (const Case& c : cases) {
        system->stack = {FakeWindow{1, app, c.frame, std::nullopt, c.insets}};
        system->screens = c.screens;
        bool fitted = false;
        EXPECT_EQ(raise(ControlTarget{app, rectOf(c.frame), std::nullopt}, &fitted).front(), c.call);
        EXPECT_EQ(fitted, c.call != "raise 1") << c.call;
        // Checked where the fit put it: no retry.
        EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, true, false})) << c.call;
    }
}

TEST_F(AXWindowRaiserTest, StagesFillTheOutcomeAndACheckEightPixelsOffRetriesOnce) {
    system->stack = {FakeWindow{1, app, at, "Notes"}, FakeWindow{2, app, ScreenRect{0, 0, 50, 50}, "Other"}};
    make();
    raiser->raise(ControlTarget{app, {107, 100, 400, 300}, "Notes"});
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, std::nullopt, std::nullopt, false}));
    EXPECT_TRUE(log.lines("control").empty()) << "activation waits for the main actor";
    main.runUntilIdle();
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, std::nullopt, false}));
    main.advance(AXWindowRaiser::checkDelayNs);
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, true, false}));
    EXPECT_EQ(log.lines("control"),
              (std::vector<std::string>{"activate pid=200 ok=true",
                                        "raise pid=200 windows=2 axRaise=0/0 fronted=true onTop=true fitted=false"}));

    // 8 pixels off, or another window kept above: one retry. On the main
    // actor the activation and the second raise come at once.
    const std::vector<std::string> retried{"key 1", "raise 1"};
    auto calls = raise(ControlTarget{app, {108, 100, 400, 300}, "Notes"});
    EXPECT_EQ(std::vector(calls.end() - 2, calls.end()), retried);
    system->stack[1].keepsAbove = true;
    main.sync([&] { raiser->raise(ControlTarget{app, rectOf(at), "Notes"}); });
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, std::nullopt, false}));
    system->transcript();
    main.advance(AXWindowRaiser::checkDelayNs);
    EXPECT_EQ(system->transcript(), retried);
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{0, true, 0, false, true}));
}

TEST_F(AXWindowRaiserTest, NoWindowsOnlyActivatesAndAWindowGoneSinceTheListingIsRecorded) {
    for (const bool listFails : {false, true}) {
        system->listFails = listFails;
        EXPECT_EQ(raise(ControlTarget{app, rectOf(at), std::nullopt}), std::vector<std::string>{"activate 200"});
    }
    EXPECT_EQ(raiser->lastOutcome(), std::nullopt);
    system->listFails = false;
    system->stack = {FakeWindow{1, app, at, "Notes"}};
    system->stack[0].vanished = true;
    raise(ControlTarget{app, rectOf(at), "Notes"});
    EXPECT_EQ(raiser->lastOutcome(), (Outcome{3, false, 3, true, false}));
    EXPECT_EQ(log.lines("control"),
              (std::vector<std::string>{"activate pid=200 ok=false", "activate pid=200 ok=false",
                                        "activate pid=200 ok=false",
                                        "raise pid=200 windows=1 axRaise=3/3 fronted=false onTop=true fitted=false"}));
}

TEST_F(AXWindowRaiserTest, TheOtherApplicationIsNeverThisOneAndGetsTheFrontBack) {
    system->front = 100;
    make();
    EXPECT_EQ(raiser->lastOther(), std::nullopt);
    system->activateFromOutside(other);
    system->activateFromOutside(100);
    EXPECT_EQ(raiser->lastOther(), other);

    system->stack = {FakeWindow{1, app, at}, FakeWindow{7, other, at, "Mail"}, FakeWindow{8, other, at, "Draft"}};
    system->front = app;
    system->transcript();
    main.sync([&] { raiser->restoreFrontmost(other); });
    EXPECT_EQ(system->transcript(), (std::vector<std::string>{"activate 300", "raise 7"}));
    EXPECT_EQ(system->front, other);
    raiser.reset();
    system->activateFromOutside(500);
}

} // namespace
} // namespace quillmere::testing

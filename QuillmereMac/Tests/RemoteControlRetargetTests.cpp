// Control of windows and displays on a manual main actor: the control
// prompt and its grant, focus hints that move control and raise windows,
// the front handed back to the application that had it, click raises and
// a window listing that never ends. The raiser is the real one, over a
// desktop in memory.

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Control/RemoteControl.h"
#include "QuillmereMac/Tests/FakeWindowSystem.h"
#include "QuillmereMac/Tests/ListedControlSurfaces.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "QuillmereMac/Tests/RecordingPoster.h"
#include "TestSupport/TestValues.h"

namespace quillmere::testing {
namespace {

constexpr std::uint32_t display = CaptureChoice::displayIDBase;
// Windows 77 and 78 belong to processes 4077 and 4078; 4099 is in front.
constexpr std::uint32_t notes = 77;
constexpr std::uint32_t inbox = 78;
constexpr std::int32_t browser = 4099;

class RemoteControlRetargetTest : public ::testing::Test, protected ListedContent {
protected:
    void SetUp() override {
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(notes, "Notes", "Editor", 300, 200),
                           contentWindow(inbox, "Inbox", "Mail", 400, 300)};
        content.windows[1].frame = {500, 400, 400, 300};
        catalog->refresh(false);
        system->stack = {{notes, 4077, ScreenRect{10, 20, 300, 200}, "Notes"},
                         {inbox, 4078, ScreenRect{500, 400, 400, 300}, "Inbox"},
                         {90, browser, ScreenRect{0, 0, 800, 600}, "Page"}};
        system->front = browser;
        consent = ConsentCenter::make(*manual);
        consent->autoApproveSessions = [] { return true; };
        // This process is 1 to the raiser, so that the control's own guard shows.
        raiser = AXWindowRaiser::make(system, *manual, true, 1);
        control = RemoteControl::make({manual.get(), manual, surfaces,
                                       std::make_shared<ControlFrames>(catalog, *manual, listing), consent,
                                       std::make_shared<RecordingPoster>(), raiser,
                                       [this] { return manual->nowNs(); }});
    }
    void TearDown() override {
        control.reset();
        settle();
    }

    // Runs the listing and the main actor until neither has work left.
    void settle() {
        while (listing->runUntilIdle() + manual->runUntilIdle() > 0) {
        }
    }
    void start(std::uint32_t surface, std::uint32_t captureID, std::shared_ptr<RecordingConnection> owner = nullptr) {
        surfaces->add(SurfaceKey{owner ? owner : client, surface}, CaptureChoice::fromCaptureID(captureID));
    }
    // The answer, or nothing while the user is asked.
    std::optional<bool> request(std::shared_ptr<RecordingConnection> owner = nullptr) {
        auto granted = std::make_shared<std::optional<bool>>();
        control->requestControl("Phone", owner ? owner : client, [granted](bool answer) { *granted = answer; });
        settle();
        return *granted;
    }
    void hint(std::uint32_t surface) {
        control->focusHint(msg::FocusHint{surface, 250}, client);
        settle();
    }
    std::optional<std::uint32_t> controlled() const {
        const auto key = control->controlledSurface();
        return key ? std::optional(key->surfaceID) : std::nullopt;
    }
    std::vector<std::string> lines(std::string_view prefix) const {
        std::vector<std::string> found;
        for (const auto& line : log.lines("control"))
            if (line.starts_with(prefix)) found.push_back(line);
        return found;
    }
    // Times the window was made key since the last look.
    long raisesOf(std::uint32_t window) {
        const auto calls = system->transcript();
        return std::count(calls.begin(), calls.end(), "key " + std::to_string(window));
    }

    LogCapture log;
    std::shared_ptr<ManualExecutor> manual = std::make_shared<ManualExecutor>("main", 100'000 * ms);
    std::shared_ptr<ManualExecutor> listing = std::make_shared<ManualExecutor>("listing");
    std::shared_ptr<FakeWindowSystem> system = std::make_shared<FakeWindowSystem>();
    std::shared_ptr<AXWindowRaiser> raiser;
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<RecordingConnection> client = std::make_shared<RecordingConnection>();
    std::shared_ptr<ListedControlSurfaces> surfaces = std::make_shared<ListedControlSurfaces>();
    std::shared_ptr<RemoteControl> control;
};

TEST_F(RemoteControlRetargetTest, ARequestAsksAboutTheClientsSurfaceOneElseItsLowestAndARefusalChangesNothing) {
    EXPECT_EQ(request(), false) << "no surface";
    start(1, display, std::make_shared<RecordingConnection>());
    EXPECT_EQ(request(), false) << "another client's surface is not this one's to drive";
    consent->autoApproveSessions = [] { return false; };
    content.windows.push_back(contentWindow(79, "", "", 300, 200));
    content.windows.back().owningApplication.reset();
    start(5, display);
    for (const auto& [surface, window] : {std::pair{3u, 79u}, {2u, notes}, {1u, inbox}}) {
        start(surface, window);
        request();
    }
    const auto pending = consent->pending();
    std::vector<std::string> prompts;
    for (const auto& asked : pending) prompts.push_back(asked.windowTitle.value_or(""));
    EXPECT_EQ(prompts, (std::vector<std::string>{"control of window 79", "control of Editor \u2014 Notes",
                                                 "control of Mail \u2014 Inbox"}));

    consent->resolve(pending[1].id, true);
    settle();
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(control->injector()->windowFrame, (Rect{10, 20, 300, 200}));
    EXPECT_EQ(control->raiseState().lastNs, manual->nowNs());
    EXPECT_EQ(system->front, 4077);
    EXPECT_EQ(raisesOf(notes), 1);
    const auto injector = control->injector();
    const auto raised = control->raiseState();
    consent->resolve(pending[0].id, false);
    consent->resolve(pending[2].id, false);
    settle();
    EXPECT_EQ(control->injector(), injector);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(control->raiseState().target, raised.target);
    EXPECT_EQ(control->raiseState().lastNs, raised.lastNs);
    EXPECT_EQ(raisesOf(inbox), 0);
}

TEST_F(RemoteControlRetargetTest, DisplayToWindowSavesTheFrontApplicationAndBackToADisplayRestoresIt) {
    start(1, display);
    start(2, notes);
    start(3, display);
    start(4, inbox);
    request();
    // Of two quick hints only the later one moves control.
    control->focusHint(msg::FocusHint{4, 250}, client);
    hint(2);
    EXPECT_EQ(control->savedFrontmost(), browser);
    EXPECT_EQ(system->front, 4077);
    EXPECT_EQ(raisesOf(inbox), 0);
    hint(3);
    EXPECT_EQ(system->front, browser);
    EXPECT_EQ(control->savedFrontmost(), std::nullopt);
    hint(1);
    EXPECT_EQ(system->front, browser) << "display to display";
    EXPECT_EQ(control->injector()->cursor().x, 960);

    // This host itself is never the application to give the front back to.
    system->activateFromOutside(static_cast<std::int32_t>(getpid()));
    hint(2);
    EXPECT_EQ(control->savedFrontmost(), std::nullopt);
    EXPECT_EQ(lines("retarget"),
              (std::vector<std::string>{
                  "retarget superseded surface=4",
                  "retarget surface=2 fromDisplay=true toDisplay=false frontmost=4099 restore=none target=4077",
                  "retarget surface=3 fromDisplay=false toDisplay=true frontmost=none restore=4099 target=none",
                  "retarget surface=1 fromDisplay=true toDisplay=true frontmost=none restore=none target=none",
                  "retarget surface=2 fromDisplay=true toDisplay=false frontmost=" + std::to_string(getpid()) +
                      " restore=none target=4077"}));
}

TEST_F(RemoteControlRetargetTest, AHeldButtonAFrameWithoutAreaOrAWindowGoneLeaveControlWhereItIs) {
    start(1, display);
    start(2, notes);
    content.windows.push_back(contentWindow(80, "Empty", "Tool", 0, 200));
    start(3, 80);
    start(4, inbox);
    request();
    control->inject({inject::ButtonDown{InputButton::left}});
    hint(2);
    control->inject({inject::ButtonUp{InputButton::left}});
    hint(3);
    content.windows.erase(content.windows.begin() + 1);
    hint(4);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(lines("retarget"), (std::vector<std::string>{"retarget deferred surface=2", "retarget deferred surface=3",
                                                           "retarget failed surface=4: no frame"}));
    EXPECT_EQ(lines("control frame"), std::vector<std::string>{"control frame missing window=78"});
    // A window still listed but gone from the desktop: control moves, the
    // raise fails quietly.
    system->stack[0].vanished = true;
    hint(2);
    EXPECT_EQ(controlled(), 2u);
    manual->advance(AXWindowRaiser::checkDelayNs);
    EXPECT_EQ(raiser->lastOutcome()->first, 3);
}

TEST_F(RemoteControlRetargetTest, AButtonDownRaisesTheWindowAgainAtMostEvery300Milliseconds) {
    start(2, notes);
    request();
    system->transcript();
    const std::uint64_t granted = manual->nowNs();
    const inject::ButtonDown left{InputButton::left};
    const std::vector<std::tuple<std::uint64_t, std::vector<InjectAction>, long>> steps{
        {299, {left}, 0},
        {300, {inject::MoveRelative{1, 1}, inject::ButtonDown{InputButton::right}}, 1},
        {500, {left}, 0},
        {900, {inject::KeyDown{4}, inject::ButtonUp{InputButton::left}}, 0},
        {1000, {left}, 1},
    };
    for (const auto& [atMs, actions, raises] : steps) {
        control->clickRaise(actions, granted + atMs * ms);
        EXPECT_EQ(raisesOf(notes), raises) << atMs << " ms";
    }
    EXPECT_EQ(control->raiseState().lastNs, granted + 1000 * ms);
    control->recordRaise(std::nullopt, granted);
    control->clickRaise({left}, granted + 5000 * ms);
    EXPECT_EQ(raisesOf(notes), 0) << "nothing recorded, nothing raised";
}

TEST_F(RemoteControlRetargetTest, AListingThatNeverEndsCostsASecondAndTheLastOneIsUsed) {
    start(2, notes);
    content.windows[0].title = "Renamed";
    control->requestControl("Phone", client, [](bool) {});
    manual->advance(ControlFrames::listingTimeoutNs - 1);
    EXPECT_EQ(controlled(), std::nullopt);
    manual->advance(1);
    EXPECT_EQ(log.lines("control").front(), "window listing slow or failed: using the last one");
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(control->raiseState().target->title, "Notes");
    // Late, the listing still lands in the catalog.
    settle();
    EXPECT_EQ(catalog->controlTarget(notes)->title, "Renamed");
}

TEST_F(RemoteControlRetargetTest, AWindowMovedToFitIsReadAndRaisedOnceMoreAQuarterSecondLater) {
    content.windows[1].frame = {1700, 900, 400, 300};
    system->stack[1].frame = ScreenRect{1700, 900, 400, 300};
    start(1, inbox);
    request();
    EXPECT_EQ(system->stack.front().frame, (ScreenRect{1520, 780, 400, 300}));
    EXPECT_EQ(raisesOf(inbox), 1);
    content.windows[1].frame = {1520, 780, 400, 300};
    manual->advance(RemoteControl::postRaiseDelayNs);
    settle();
    EXPECT_EQ(raisesOf(inbox), 1) << "raised again, where it fits now";
    manual->advance(2000 * ms);
    settle();
    EXPECT_EQ(raisesOf(inbox), 0);
}

} // namespace
} // namespace quillmere::testing

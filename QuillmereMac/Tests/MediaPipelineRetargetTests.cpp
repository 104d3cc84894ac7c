// Control of windows and displays on a manual main actor: the control
// prompt and its grant, focus hints that move control and raise windows,
// the front handed back to the application that had it, click raises and
// a window listing that never ends. The raiser is the real one, over a
// desktop in memory.

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Control/AXWindowRaiser.h"
#include "QuillmereMac/Tests/FakeWindowSystem.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "QuillmereMac/Tests/RecordingPoster.h"

namespace quillmere::testing {
namespace {

constexpr std::uint64_t ms = 1'000'000;
constexpr std::uint32_t display = CaptureChoice::displayIDBase;
// Windows 77 and 78 belong to processes 4077 and 4078; 4099 is in front.
constexpr std::uint32_t notes = 77;
constexpr std::uint32_t inbox = 78;
constexpr std::int32_t browser = 4099;

class MediaPipelineRetargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(notes, "Notes", "Editor", 300, 200),
                           contentWindow(inbox, "Inbox", "Mail", 400, 300)};
        content.windows[1].frame = {500, 400, 400, 300};
        catalog->refresh(false);
        system->add({notes, 4077, ScreenRect{10, 20, 300, 200}, "Notes"});
        system->add({inbox, 4078, ScreenRect{500, 400, 400, 300}, "Inbox"});
        system->add({90, browser, ScreenRect{0, 0, 800, 600}, "Page"});
        system->front = browser;
        raiser = AXWindowRaiser::make(system, *manual, true, 1);
        consent = ConsentCenter::make(*manual);
        consent->autoApproveSessions = [] { return true; };

        MediaPipeline::Services services;
        services.catalog = catalog;
        services.consent = consent;
        services.mainActor = manual.get();
        services.displays.pixelSize = [](int) { return std::nullopt; };
        services.displays.isOnline = [](std::uint32_t) { return true; };
        services.makeSource = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
        services.clock = [this] { return manual->nowNs(); };
        services.poster = poster;
        services.repeatTimers = manual;
        services.raiser = raiser;
        services.catalogRefresh = listing;
        media = MediaPipeline::make(std::move(services));
    }
    void TearDown() override {
        media.reset();
        settle();
    }

    // Runs the listing and the main actor until neither has work left.
    void settle() {
        while (listing->runUntilIdle() + manual->runUntilIdle() > 0) {
        }
    }
    void start(std::uint32_t surface, std::uint32_t captureID,
               const std::shared_ptr<RecordingConnection>& owner = nullptr) {
        media->startSurface(surface, captureID, owner ? owner : client);
        settle();
    }
    std::optional<bool> request(const std::shared_ptr<RecordingConnection>& owner = nullptr) {
        std::optional<bool> granted;
        media->requestControl("Phone", owner ? owner : client, [&](bool answer) { granted = answer; });
        settle();
        return granted;
    }
    void hint(std::uint32_t surface) {
        media->focusHint(msg::FocusHint{surface, 250}, client);
        settle();
    }
    std::optional<std::uint32_t> controlled() const {
        const auto key = media->controlledSurface();
        return key ? std::optional(key->surfaceID) : std::nullopt;
    }
    std::vector<std::string> retargets() const {
        std::vector<std::string> lines;
        for (const auto& line : log.lines("control"))
            if (line.starts_with("retarget")) lines.push_back(line);
        return lines;
    }
    std::size_t raisesOf(std::uint32_t window) {
        const auto calls = system->transcript();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), "key " + std::to_string(window)));
    }

    LogCapture log;
    std::shared_ptr<ManualExecutor> manual = std::make_shared<ManualExecutor>("main", 100'000 * ms);
    std::shared_ptr<ManualExecutor> listing = std::make_shared<ManualExecutor>("listing");
    ShareableContent content;
    std::shared_ptr<WindowCatalog> catalog = std::make_shared<WindowCatalog>(
        ":99", 1, "com.ornbeck.quillmere.mac",
        [this](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
            return content;
        });
    std::shared_ptr<FakeWindowSystem> system = std::make_shared<FakeWindowSystem>();
    // This process is 1 to the raiser, so that the pipeline's own guard shows.
    std::shared_ptr<AXWindowRaiser> raiser;
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<RecordingConnection> client = std::make_shared<RecordingConnection>();
    std::shared_ptr<MediaPipeline> media;
};

TEST_F(MediaPipelineRetargetTest, ARequestAsksForTheClientsSurfaceOneElseItsLowest) {
    EXPECT_EQ(request(), false) << "no surface";
    const auto other = std::make_shared<RecordingConnection>();
    start(1, display, other);
    EXPECT_EQ(request(), false) << "another client's surface is not this one's to drive";

    consent->autoApproveSessions = [] { return false; };
    start(5, display);
    start(2, notes);
    request();
    start(1, inbox);
    request();
    content.windows.push_back(contentWindow(79, "", "", 300, 200));
    content.windows.back().owningApplication.reset();
    media->stopSurface(1, client);
    media->stopSurface(2, client);
    start(3, 79);
    request();
    std::vector<std::string> prompts;
    for (const auto& pending : consent->pending()) prompts.push_back(pending.windowTitle.value_or(""));
    EXPECT_EQ(prompts, (std::vector<std::string>{"control of Editor \u2014 Notes", "control of Mail \u2014 Inbox",
                                                 "control of window 79"}));
}

TEST_F(MediaPipelineRetargetTest, AGrantRaisesTheWindowAndARefusalLeavesControlAsItWas) {
    start(2, notes);
    start(3, inbox);
    ASSERT_EQ(request(), true);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(media->injector()->windowFrame, (Rect{10, 20, 300, 200}));
    EXPECT_EQ(media->raiseState().target->pid, 4077);
    EXPECT_EQ(media->raiseState().lastNs, manual->nowNs());
    EXPECT_EQ(system->front, 4077);
    EXPECT_EQ(raisesOf(notes), 1u);

    const auto injector = media->injector();
    const auto raised = media->raiseState();
    consent->autoApproveSessions = [] { return false; };
    request();
    consent->resolve(consent->pending().front().id, false);
    settle();
    EXPECT_EQ(media->injector(), injector);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(media->raiseState().target, raised.target);
    EXPECT_EQ(media->raiseState().lastNs, raised.lastNs);
}

TEST_F(MediaPipelineRetargetTest, OfTwoQuickHintsTheFirstIsSuperseded) {
    start(1, display);
    start(2, notes);
    start(3, inbox);
    request();
    media->focusHint(msg::FocusHint{2, 250}, client);
    media->focusHint(msg::FocusHint{3, 250}, client);
    settle();
    EXPECT_EQ(controlled(), 3u);
    EXPECT_EQ(retargets().front(), "retarget superseded surface=2");
    EXPECT_EQ(raisesOf(inbox), 1u);
    EXPECT_EQ(system->front, 4078);
}

TEST_F(MediaPipelineRetargetTest, DisplayToWindowSavesTheFrontApplicationAndBackToADisplayRestoresIt) {
    start(1, display);
    start(2, notes);
    start(3, display);
    request();
    hint(2);
    EXPECT_EQ(media->savedFrontmost(), browser);
    EXPECT_EQ(system->front, 4077);
    hint(3);
    EXPECT_EQ(system->front, browser);
    EXPECT_EQ(media->savedFrontmost(), std::nullopt);
    hint(1);
    EXPECT_EQ(system->front, browser) << "display to display";
    EXPECT_EQ(media->injector()->cursor().x, 960);

    // This host itself is never the application to give the front back to.
    system->activateFromOutside(static_cast<std::int32_t>(getpid()));
    hint(2);
    EXPECT_EQ(media->savedFrontmost(), std::nullopt);
    EXPECT_EQ(retargets(), (std::vector<std::string>{
                               "retarget surface=2 fromDisplay=true toDisplay=false frontmost=4099 restore=none "
                               "target=4077",
                               "retarget surface=3 fromDisplay=false toDisplay=true frontmost=none restore=4099 "
                               "target=none",
                               "retarget surface=1 fromDisplay=true toDisplay=true frontmost=none restore=none "
                               "target=none",
                               "retarget surface=2 fromDisplay=true toDisplay=false frontmost=" +
                                   std::to_string(getpid()) + " restore=none target=4077"}));
}

TEST_F(MediaPipelineRetargetTest, AHeldButtonOrAFrameWithoutAreaDefersTheMove) {
    start(1, display);
    start(2, notes);
    content.windows.push_back(contentWindow(80, "Empty", "Tool", 0, 200));
    start(3, 80);
    request();
    media->inject({inject::ButtonDown{InputButton::left}});
    hint(2);
    media->inject({inject::ButtonUp{InputButton::left}});
    hint(3);
    EXPECT_EQ(retargets(), (std::vector<std::string>{"retarget deferred surface=2", "retarget deferred surface=3"}));
    EXPECT_EQ(controlled(), 1u);
    hint(2);
    EXPECT_EQ(controlled(), 2u);
}

TEST_F(MediaPipelineRetargetTest, AButtonDownRaisesTheWindowAgainAtMostEvery300Milliseconds) {
    start(2, notes);
    request();
    system->transcript();
    const std::uint64_t granted = manual->nowNs();
    struct Step {
        std::uint64_t atNs;
        std::vector<InjectAction> actions;
        bool raises;
    };
    const std::vector<Step> steps{
        {granted + 299 * ms, {inject::ButtonDown{InputButton::left}}, false},
        {granted + 300 * ms, {inject::MoveRelative{1, 1}, inject::ButtonDown{InputButton::right}}, true},
        {granted + 500 * ms, {inject::ButtonDown{InputButton::left}}, false},
        {granted + 900 * ms, {inject::KeyDown{4}, inject::ButtonUp{InputButton::left}}, false},
        {granted + 1000 * ms, {inject::ButtonDown{InputButton::left}}, true},
    };
    for (const Step& step : steps) {
        media->clickRaise(step.actions, step.atNs);
        EXPECT_EQ(raisesOf(notes), step.raises ? 1u : 0u) << (step.atNs - granted) / ms << " ms";
    }
    EXPECT_EQ(media->raiseState().lastNs, granted + 1000 * ms);
    media->recordRaise(std::nullopt, granted);
    media->clickRaise({inject::ButtonDown{InputButton::left}}, granted + 5000 * ms);
    EXPECT_EQ(raisesOf(notes), 0u) << "nothing recorded, nothing raised";
}

TEST_F(MediaPipelineRetargetTest, AListingThatNeverEndsCostsASecondAndTheLastOneIsUsed) {
    start(2, notes);
    content.windows[0].title = "Renamed";
    media->requestControl("Phone", client, [](bool) {});
    manual->advance(MediaPipeline::listingTimeoutNs - 1);
    EXPECT_EQ(controlled(), std::nullopt);
    manual->advance(1);
    EXPECT_EQ(log.lines("control").front(), "window listing slow or failed: using the last one");
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(media->raiseState().target->title, "Notes");
    // Late, the listing still lands in the catalog.
    settle();
    EXPECT_EQ(catalog->controlTarget(notes)->title, "Renamed");
}

TEST_F(MediaPipelineRetargetTest, AWindowMovedToFitIsReadAndRaisedOnceMoreAQuarterSecondLater) {
    content.windows[1].frame = {1700, 900, 400, 300};
    system->stack[1].frame = ScreenRect{1700, 900, 400, 300};
    start(1, inbox);
    request();
    EXPECT_EQ(system->stack.front().frame, (ScreenRect{1520, 780, 400, 300}));
    EXPECT_EQ(raisesOf(inbox), 1u);
    content.windows[1].frame = {1520, 780, 400, 300};
    manual->advance(MediaPipeline::postRaiseDelayNs);
    settle();
    EXPECT_EQ(raisesOf(inbox), 1u) << "raised again, where it fits now";
    manual->advance(2000 * ms);
    settle();
    EXPECT_EQ(raisesOf(inbox), 0u);
}

TEST_F(MediaPipelineRetargetTest, WindowsGoneFromTheListingOrTheDesktopFailQuietly) {
    start(1, display);
    start(2, notes);
    start(3, inbox);
    request();
    system->stack[0].vanished = true;
    hint(2);
    EXPECT_EQ(controlled(), 2u);
    manual->advance(AXWindowRaiser::checkDelayNs);
    EXPECT_EQ(raiser->lastOutcome()->first, 3);

    content.windows.pop_back();
    hint(3);
    EXPECT_EQ(controlled(), 2u);
    const auto lines = log.lines("control");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"control frame missing window=78", "retarget failed surface=3: no frame"}));
}

} // namespace
} // namespace quillmere::testing

// Remote control on a manual executor with a fake clock: control grants, input with and without an injector, and the
// repeat timer.

#include "TestSupport/TestValues.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Control/RemoteControl.h"
#include "QuillmereMac/Tests/ListedControlSurfaces.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "QuillmereMac/Tests/RecordingPoster.h"

namespace quillmere::testing {
namespace {

using Type = PostedEvent::Type;
using testing::ms;
constexpr std::uint32_t displayZero = CaptureChoice::displayIDBase;

class RemoteControlInputTest : public ::testing::Test, protected ListedContent {
protected:
    void SetUp() override {
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(77, "Notes", "Editor", 300, 200)};
        catalog->refresh(false);
        consent = ConsentCenter::make(*manual);
        control = make(poster);
    }
    void TearDown() override {
        control.reset();
        manual->runUntilIdle();
    }

    std::shared_ptr<RemoteControl> make(std::shared_ptr<EventPosting> eventPoster) {
        return RemoteControl::make({manual.get(), manual, surfaces,
                                    std::make_shared<ControlFrames>(catalog, *manual, manual), consent,
                                    std::move(eventPoster), nullptr, [this] { return manual->nowNs(); }});
    }
    void stop(std::uint32_t surface) {
        const SurfaceKey key{client, surface};
        control->surfaceStopped(key, surfaces->remove(key));
    }

    void grantControlOf(std::uint32_t surface, std::uint32_t captureID) {
        surfaces->add(SurfaceKey{client, surface}, CaptureChoice::fromCaptureID(captureID));
        control->takeControl(SurfaceKey{client, surface},
                             std::make_shared<InputInjector>(poster, Rect{0, 0, 1920, 1080}, KeyRepeat::from({})));
    }

    std::vector<std::string> prompts() const {
        std::vector<std::string> titles;
        for (const auto& request : consent->pending()) titles.push_back(request.windowTitle.value_or(""));
        return titles;
    }
    void answer(bool approved) { consent->resolve(consent->pending().front().id, approved); }

    std::shared_ptr<ManualExecutor> manual = std::make_shared<ManualExecutor>("main", 100'000 * ms);
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<RecordingConnection> client = std::make_shared<RecordingConnection>();
    std::shared_ptr<ListedControlSurfaces> surfaces = std::make_shared<ListedControlSurfaces>();
    std::shared_ptr<RemoteControl> control;
};

TEST_F(RemoteControlInputTest, AGrantMakesAnInjectorForTheLowestSurfaceWithTheSystemRepeatRate) {
    std::vector<bool> replies;
    const auto ask = [&] {
        control->requestControl("Phone", client, [&](bool granted) { replies.push_back(granted); });
        manual->runUntilIdle();
    };
    ask();
    EXPECT_EQ(replies, std::vector{false}); // no surface yet

    poster->rate = EventPosting::KeyRepeatRate{500, 10};
    surfaces->add(SurfaceKey{client, 3}, CaptureChoice::fromCaptureID(displayZero));
    surfaces->add(SurfaceKey{client, 2}, CaptureChoice::fromCaptureID(77));
    manual->runUntilIdle();
    ask();
    EXPECT_EQ(prompts(), std::vector<std::string>{"control of Editor \u2014 Notes"});
    answer(false);
    EXPECT_EQ(control->injector(), nullptr);
    ask();
    answer(true);
    EXPECT_EQ(replies, (std::vector{false, false, true}));
    ASSERT_NE(control->injector(), nullptr);
    EXPECT_EQ(control->injector()->windowFrame, (Rect{10, 20, 300, 200}));
    EXPECT_EQ(control->injector()->keyRepeat().delayNs, 500 * ms);
    EXPECT_EQ(control->injector()->keyRepeat().intervalNs, 15 * ms);
    EXPECT_EQ(control->controlledSurface()->surfaceID, 2u);

    stop(2);
    ask();
    EXPECT_EQ(prompts(), std::vector<std::string>{"control of your entire screen"});
}

TEST_F(RemoteControlInputTest, TheRepeatTimerRunsOnlyWhileARepeatOrGestureIsPending) {
    grantControlOf(1, displayZero);
    const std::uint64_t start = manual->nowNs();
    control->inject({inject::KeyDown{4}});
    EXPECT_TRUE(control->repeatTimerRunning());
    poster->take();
    manual->advance(374 * ms);
    EXPECT_TRUE(poster->take().empty());
    manual->advance(1 * ms);
    auto repeats = poster->take();
    ASSERT_EQ(repeats.size(), 1u);
    EXPECT_TRUE(repeats[0].autorepeat);
    manual->advance(180 * ms);
    EXPECT_EQ(poster->take().size(), 2u); // 465 and 555 ms
    EXPECT_EQ(manual->nowNs() - start, 555 * ms);

    control->inject({inject::KeyUp{4}});
    EXPECT_FALSE(control->repeatTimerRunning());
    manual->advance(500 * ms);
    EXPECT_EQ(poster->take().size(), 1u); // the key up alone

    control->inject({inject::Scroll{0, 4, ScrollUnit::pixel}});
    EXPECT_TRUE(control->repeatTimerRunning());
    manual->advance(89 * ms);
    EXPECT_EQ(poster->take().size(), 1u);
    manual->advance(1 * ms);
    const auto ended = poster->take();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].phase, PostedEvent::ScrollPhase::ended);
    EXPECT_FALSE(control->repeatTimerRunning());
}

TEST_F(RemoteControlInputTest, AnInjectorReplacedOrDroppedLetsGoOfWhatItHeldAndLaterInputIsDropped) {
    grantControlOf(1, displayZero);
    control->inject({inject::KeyDown{4}});
    EXPECT_EQ(poster->releases(), 0);
    grantControlOf(1, displayZero);
    EXPECT_EQ(poster->releases(), 1);
    EXPECT_FALSE(control->repeatTimerRunning());
    stop(1);
    EXPECT_EQ(control->injector(), nullptr);
    EXPECT_EQ(poster->releases(), 2);
    poster->take();
    control->inject({inject::KeyDown{4}, inject::MoveAbsolute{1, 2}, inject::Text{"hi"}});
    EXPECT_EQ(control->droppedInput(), 3);
    EXPECT_TRUE(poster->take().empty());
    EXPECT_FALSE(control->repeatTimerRunning());
}

} // namespace
} // namespace quillmere::testing

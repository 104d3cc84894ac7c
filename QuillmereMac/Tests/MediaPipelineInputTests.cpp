// Remote control through the media pipeline, on a manual executor with a
// fake clock: control grants, input with and without an injector, and the
// repeat timer.

#include "TestSupport/TestValues.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "QuillmereMac/Tests/RecordingPoster.h"

namespace quillmere::testing {
namespace {

using Type = PostedEvent::Type;
using testing::ms;
constexpr std::uint32_t displayZero = CaptureChoice::displayIDBase;

class MediaPipelineRemoteControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(77, "Notes", "Editor", 300, 200)};
        catalog->refresh(false);
        consent = ConsentCenter::make(*manual);
        media = make(poster);
    }
    void TearDown() override {
        media.reset();
        manual->runUntilIdle();
    }

    std::shared_ptr<MediaPipeline> make(std::shared_ptr<EventPosting> eventPoster) {
        MediaPipeline::Services services;
        services.catalog = catalog;
        services.consent = consent;
        services.mainActor = manual.get();
        services.displays.pixelSize = [](int) { return std::nullopt; };
        services.displays.isOnline = [](std::uint32_t) { return true; };
        services.makeSource = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
        services.clock = [this] { return manual->nowNs(); };
        services.poster = std::move(eventPoster);
        services.controlQueue = manual;
        services.catalogRefresh = manual;
        return MediaPipeline::make(std::move(services));
    }

    void grantControlOf(std::uint32_t surface, std::uint32_t captureID) {
        media->startSurface(surface, captureID, client);
        manual->runUntilIdle();
        media->control().takeControl(SurfaceKey{client, surface},
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
    ShareableContent content;
    std::shared_ptr<WindowCatalog> catalog = std::make_shared<WindowCatalog>(
        ":99", 1, "com.ornbeck.quillmere.mac",
        [this](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
            return content;
        });
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<RecordingConnection> client = std::make_shared<RecordingConnection>();
    std::shared_ptr<MediaPipeline> media;
};

TEST_F(MediaPipelineRemoteControlTest, AGrantMakesAnInjectorForTheLowestSurfaceWithTheSystemRepeatRate) {
    std::vector<bool> replies;
    const auto ask = [&] {
        media->requestControl("Phone", client, [&](bool granted) { replies.push_back(granted); });
        manual->runUntilIdle();
    };
    ask();
    EXPECT_EQ(replies, std::vector{false}); // no surface yet

    poster->rate = EventPosting::KeyRepeatRate{500, 10};
    media->startSurface(3, displayZero, client);
    media->startSurface(2, 77, client);
    manual->runUntilIdle();
    ask();
    EXPECT_EQ(prompts(), std::vector<std::string>{"control of Editor \u2014 Notes"});
    answer(false);
    EXPECT_EQ(media->control().injector(), nullptr);
    ask();
    answer(true);
    EXPECT_EQ(replies, (std::vector{false, false, true}));
    ASSERT_NE(media->control().injector(), nullptr);
    EXPECT_EQ(media->control().injector()->windowFrame, (Rect{10, 20, 300, 200}));
    EXPECT_EQ(media->control().injector()->keyRepeat().delayNs, 500 * ms);
    EXPECT_EQ(media->control().injector()->keyRepeat().intervalNs, 15 * ms);
    EXPECT_EQ(media->control().controlledSurface()->surfaceID, 2u);

    media->stopSurface(2, client);
    ask();
    EXPECT_EQ(prompts(), std::vector<std::string>{"control of your entire screen"});
}

TEST_F(MediaPipelineRemoteControlTest, TheRepeatTimerRunsOnlyWhileARepeatOrGestureIsPending) {
    grantControlOf(1, displayZero);
    const std::uint64_t start = manual->nowNs();
    media->inject({inject::KeyDown{4}});
    EXPECT_TRUE(media->control().repeatTimerRunning());
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

    media->inject({inject::KeyUp{4}});
    EXPECT_FALSE(media->control().repeatTimerRunning());
    manual->advance(500 * ms);
    EXPECT_EQ(poster->take().size(), 1u); // the key up alone

    media->inject({inject::Scroll{0, 4, ScrollUnit::pixel}});
    EXPECT_TRUE(media->control().repeatTimerRunning());
    manual->advance(89 * ms);
    EXPECT_EQ(poster->take().size(), 1u);
    manual->advance(1 * ms);
    const auto ended = poster->take();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].phase, PostedEvent::ScrollPhase::ended);
    EXPECT_FALSE(media->control().repeatTimerRunning());
}

TEST_F(MediaPipelineRemoteControlTest, AnInjectorReplacedOrDroppedLetsGoOfWhatItHeldAndLaterInputIsDropped) {
    grantControlOf(1, displayZero);
    media->inject({inject::KeyDown{4}});
    EXPECT_EQ(poster->releases(), 0);
    grantControlOf(1, displayZero);
    EXPECT_EQ(poster->releases(), 1);
    EXPECT_FALSE(media->control().repeatTimerRunning());
    media->stopSurface(1, client);
    EXPECT_EQ(media->control().injector(), nullptr);
    EXPECT_EQ(poster->releases(), 2);
    poster->take();
    media->inject({inject::KeyDown{4}, inject::MoveAbsolute{1, 2}, inject::Text{"hi"}});
    EXPECT_EQ(media->control().droppedInput(), 3);
    EXPECT_TRUE(poster->take().empty());
    EXPECT_FALSE(media->control().repeatTimerRunning());
}

} // namespace
} // namespace quillmere::testing

#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

constexpr std::uint32_t windowID = 77;
const Rect displayFrame{0, 0, 1920, 1080};
const Rect windowFrame{10, 20, 300, 200};

class MediaPipelineControlTest : public MediaPipelineTest {
protected:
    std::shared_ptr<RecordingConnection> client = connection();

    void SetUp() override {
        // The window listing behind control runs on the main queue too, so
        // that a few rounds of it see every hop through.
        auto withListing = services();
        withListing.catalogRefresh = main;
        media = MediaPipeline::make(std::move(withListing));
        sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
        content.displays = {contentDisplay(7, 1920, 1080)};
        content.windows = {contentWindow(windowID, "Notes", "Editor", 300, 200)};
        main->sync([&] { catalog->refresh(false); });
    }

    // Surfaces of the client: odd ones show the display, even ones the window.
    void start(std::initializer_list<std::uint32_t> surfaces, const std::shared_ptr<RecordingConnection>& owner) {
        for (const std::uint32_t surface : surfaces)
            media->startSurface(surface, surface % 2 == 1 ? displayZero : windowID, owner);
        settleMain();
    }
    void control(std::uint32_t surface) {
        media->control().takeControl(SurfaceKey{client, surface}, std::make_shared<InputInjector>(nullptr, Rect{}));
    }
    // A hint's retarget, or a refresh, goes through the main queue three
    // times: to start, to list the windows, to take the listing.
    void settleControl() {
        for (int round = 0; round < 3; ++round) settleMain();
    }
    std::optional<std::uint32_t> controlled() {
        settleControl();
        const auto key = media->control().controlledSurface();
        if (!key) return std::nullopt;
        EXPECT_TRUE(key->belongsTo(client));
        return key->surfaceID;
    }
    bool movedLine() const {
        const auto lines = controlLines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("control moves"); });
    }
};

TEST_F(MediaPipelineControlTest, StoppingTheControlledSurfaceMovesControlToSurfaceOne) {
    start({1, 3}, client);
    control(3);
    media->stopSurface(3, client);
    EXPECT_TRUE(logged("control", "control moves surface=3 \u2192 1: stopped"));
    EXPECT_EQ(controlled(), 1u);
    ASSERT_NE(media->control().injector(), nullptr);
    EXPECT_EQ(media->control().injector()->windowFrame, displayFrame);
}

TEST_F(MediaPipelineControlTest, WithoutSurfaceOneControlMovesToTheLowestRemaining) {
    start({2, 3, 4}, client);
    control(4);
    media->stopSurface(4, client);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(media->control().injector()->windowFrame, windowFrame);
}

TEST_F(MediaPipelineControlTest, StoppingTheLastSurfaceDropsTheInjector) {
    start({1}, client);
    control(1);
    media->stopSurface(1, client);
    EXPECT_EQ(controlled(), std::nullopt);
    EXPECT_EQ(media->control().injector(), nullptr);
}

TEST_F(MediaPipelineControlTest, StoppingAnotherSurfaceChangesNothingAboutControl) {
    start({1, 3}, client);
    control(1);
    const auto injector = media->control().injector();
    media->stopSurface(3, client);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);
    EXPECT_FALSE(movedLine());

    // Nor does another client's surface of the same number.
    const auto other = connection();
    start({1}, other);
    media->stopSurface(1, other);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);
}

TEST_F(MediaPipelineControlTest, RestartingTheControlledSurfaceInPlaceKeepsControl) {
    start({1}, client);
    control(1);
    const auto injector = media->control().injector();
    // A display restart, then a re-capture: the session still holds control
    // of surface 1 throughout.
    media->startSurface(1, displayZero, client);
    settleMain();
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);

    const auto interrupted = media->pipeline(1, client);
    media->surfaceTable().captureInterrupted(1, displayZero, client);
    ASSERT_TRUE(eventually([&] { return media->pipeline(1, client) != interrupted; }));
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);
    EXPECT_FALSE(movedLine());
}

TEST_F(MediaPipelineControlTest, FocusHintsMoveControlOnlyToControllableSurfacesOfTheClientHoldingIt) {
    start({1, 2}, client);
    media->startSurface(5, testPattern, client);
    settleMain();

    media->focusHint(msg::FocusHint{2, 250}, client);
    EXPECT_TRUE(logged("control", "focus ignored surface=2: no control granted"));
    EXPECT_EQ(controlled(), std::nullopt);

    control(1);
    log.clear();
    media->focusHint(msg::FocusHint{1, 250}, client);
    EXPECT_EQ(controlLines(), (std::vector<std::string>{"focus hint surface=1 controlled=1 injector=true"}));

    media->focusHint(msg::FocusHint{5, 250}, client);
    media->focusHint(msg::FocusHint{9, 250}, client);
    EXPECT_TRUE(logged("control", "focus ignored surface=5: not a controllable surface"));
    EXPECT_TRUE(logged("control", "focus ignored surface=9: not a controllable surface"));

    const auto other = connection();
    start({2}, other);
    media->focusHint(msg::FocusHint{2, 250}, other);
    EXPECT_EQ(controlled(), 1u) << "another client's hint";

    media->focusHint(msg::FocusHint{2, 250}, client);
    EXPECT_EQ(controlled(), 2u);
    EXPECT_EQ(media->control().injector()->windowFrame, windowFrame);
}

TEST_F(MediaPipelineControlTest, ARefreshReadsTheControlledWindowsFrameAnew) {
    start({2}, client);
    control(2);
    content.windows = {contentWindow(windowID, "Notes", "Editor", 640, 480)};
    media->control().refreshControl(SurfaceKey{client, 2});
    settleControl();
    EXPECT_EQ(media->control().injector()->windowFrame, (Rect{10, 20, 640, 480}));
}

} // namespace
} // namespace quillmere::testing

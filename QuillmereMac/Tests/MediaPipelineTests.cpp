// The media pipeline as one: requests reaching the part that owns them, and
// what follows across parts when surfaces start and stop.

#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

TEST_F(MediaPipelineTest, ThePacerSnapshotReadsOneSurfacesConnection) {
    EXPECT_EQ(media->pacerSnapshot(), std::nullopt);
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    media->startSurface(4, 0x61, client);
    const auto metrics = media->pacerSnapshot();
    ASSERT_TRUE(metrics.has_value());
    EXPECT_EQ(metrics->paced, 1);
    EXPECT_EQ(media->lowestSurface()->first.surfaceID, 4u);
}

TEST_F(MediaPipelineTest, WhatTheComposerLeavesOutStaysInert) {
    MediaPipeline::Services bare;
    bare.mainActor = main.get();
    media = MediaPipeline::make(std::move(bare));
    // No display is known or online, whichever display the process could open.
    EXPECT_EQ(media->surfaceTable().displayPixelSize(0), std::nullopt);
    EXPECT_FALSE(media->surfaceTable().isDisplayOnline(1));
    // No source: even the test pattern's surface ends at once.
    const auto client = connection();
    media->startSurface(2, testPattern, client);
    ASSERT_TRUE(client->waitUntil([](const RecordingConnection& c) { return !c.ended().empty(); }));
    EXPECT_EQ(client->ended(), std::vector<std::uint32_t>{2});
    EXPECT_TRUE(client->frames().empty());
}

TEST_F(MediaPipelineTest, RestartingTheControlledSurfaceInPlaceKeepsControl) {
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    content.displays = {contentDisplay(7, 1920, 1080)};
    main->sync([&] { catalog->refresh(false); });
    const auto client = connection();
    media->startSurface(1, displayZero, client);
    settleMain();
    media->control().takeControl(SurfaceKey{client, 1}, std::make_shared<InputInjector>(nullptr, Rect{}));
    const auto injector = media->control().injector();
    const auto controlled = [&]() -> std::optional<std::uint32_t> {
        settleMain();
        const auto key = media->control().controlledSurface();
        return key ? std::optional(key->surfaceID) : std::nullopt;
    };
    // A display restart, then a re-capture: the session still holds control
    // of surface 1 throughout.
    media->startSurface(1, displayZero, client);
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);

    const auto interrupted = media->pipeline(1, client);
    media->surfaceTable().captureInterrupted(1, displayZero, client);
    ASSERT_TRUE(eventually([&] { return media->pipeline(1, client) != interrupted; }));
    EXPECT_EQ(controlled(), 1u);
    EXPECT_EQ(media->control().injector(), injector);
    const auto lines = controlLines();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("control moves"); }));
}

std::size_t shapesSent(const RecordingConnection& c) {
    const auto control = c.control();
    return static_cast<std::size_t>(
        std::count_if(control.begin(), control.end(), [](const ControlMessage& m) { return m.is<CursorShape>(); }));
}

TEST_F(MediaPipelineTest, CursorShapesGoToEveryClientThatAsksUntilTheLastSurfaceEnds) {
    std::optional<SystemCursor> cursorNow = SystemCursor{4, 4, 4, 4, 0, 0, std::vector<std::uint32_t>(16, 0xFF000000)};
    auto s = services();
    s.sampleCursor = [&] { return cursorNow; };
    media = MediaPipeline::make(std::move(s));
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    const auto first = connection(capabilities(320, 180, 30, features::bit6));
    const auto second = connection(capabilities(320, 180, 30, features::bit6));
    const auto share = [&](const std::shared_ptr<RecordingConnection>& c) {
        media->startSurface(1, testPattern, c);
        media->beginMedia(1, testPattern, c);
        settleMain();
    };
    share(first);
    EXPECT_EQ(shapesSent(*first), 1u);
    share(second);
    // The second client missed the shape: everyone gets it again.
    main->sync([&] { media->cursor().watcher()->tick(); });
    EXPECT_EQ(shapesSent(*second), 1u);
    EXPECT_EQ(shapesSent(*first), 2u);

    media->stopSurface(1, first);
    settleMain();
    EXPECT_NE(media->cursor().watcher(), nullptr);
    media->stopSurface(1, second);
    settleMain();
    EXPECT_EQ(media->cursor().watcher(), nullptr);
}

} // namespace
} // namespace quillmere::testing

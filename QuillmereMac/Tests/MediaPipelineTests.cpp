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

#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(MediaPipelineTest, AStartedSurfaceStreamsOnceMediaBegins) {
    const auto client = connection(capabilities(320, 180, 30));
    media->startSurface(1, testPattern, client);
    ASSERT_TRUE(eventually([&] { return client->configs().size() == 1; }));
    EXPECT_TRUE(client->frames().empty());
    {
        std::lock_guard lock(madeMutex);
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0].first, CaptureChoice::testPattern());
        EXPECT_EQ(made[0].second, (RequestedStream{320, 180, 30, false}));
    }
    EXPECT_EQ(client->configs()[0].width, 320);

    media->beginMedia(1, testPattern, client);
    EXPECT_EQ(media->lastConnection(), client);
    ASSERT_TRUE(client->waitForFrames(5));
    const auto frames = client->frames();
    EXPECT_TRUE(frames[0].isKeyframe());
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].frameID, i + 1);

    media->stopSurface(1, client);
    EXPECT_EQ(media->surfaceTable().count(), 0u);
    EXPECT_EQ(media->pipeline(1, client), nullptr);
}

TEST_F(MediaPipelineTest, TheRequestedStreamFollowsTheClientAndItsBudget) {
    const auto key = [](const std::shared_ptr<RecordingConnection>& c) { return SurfaceKey{c, 1}; };
    auto client = connection(std::nullopt);
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), std::nullopt), (RequestedStream{1280, 720, 60, false}));
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), capabilities(641, 361, 0)), (RequestedStream{640, 360, 1, false}));
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), capabilities(10, 20, 200, features::bit5)),
              (RequestedStream{64, 64, 120, true}));

    // A budget narrows the request, never widens it.
    media->setSurfaceBudget(1, RequestedBox{1001, 601}, client);
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{1000, 600, 60, false}));
    media->setSurfaceBudget(1, RequestedBox{3000, 2000}, client);
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{1920, 1080, 60, false}));
    media->setSurfaceBudget(1, RequestedBox{10, 10}, client);
    EXPECT_EQ(media->surfaceTable().requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{64, 64, 60, false}));
    // Another client's surface 1 has no budget.
    EXPECT_EQ(media->surfaceTable().requestedStream(key(connection()), capabilities(1920, 1080, 60)),
              (RequestedStream{1920, 1080, 60, false}));
    media->clearSurfaceBudget(1, client);
    EXPECT_EQ(media->surfaceTable().budget(SurfaceKey{client, 1}), std::nullopt);
}

TEST_F(MediaPipelineTest, TwoClientsSharingAtOnceKeepTheirOwnSurfaces) {
    const auto first = connection();
    const auto second = connection();
    media->startSurface(1, testPattern, first);
    media->startSurface(1, testPattern, second);
    EXPECT_EQ(media->surfaceTable().count(), 2u);
    const auto mine = media->pipeline(1, first);
    const auto theirs = media->pipeline(1, second);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(theirs->connection(), second);

    media->beginMedia(1, testPattern, first);
    media->beginMedia(1, testPattern, second);
    ASSERT_TRUE(first->waitForFrames(3));
    ASSERT_TRUE(second->waitForFrames(3));

    media->stopSurface(1, first);
    EXPECT_EQ(media->pipeline(1, first), nullptr);
    EXPECT_EQ(media->pipeline(1, second), theirs);
    const auto before = second->frames().size();
    EXPECT_TRUE(second->waitForFrames(before + 3)) << "the other client's stream goes on";
    media->stopSurface(1, second);
}

TEST_F(MediaPipelineTest, StartingASurfaceAgainReplacesAndStopsTheOldPipeline) {
    const auto client = connection();
    media->startSurface(2, testPattern, client);
    const auto old = media->pipeline(2, client);
    media->startSurface(2, testPattern, client);
    const auto current = media->pipeline(2, client);
    EXPECT_NE(old, current);
    EXPECT_EQ(media->surfaceTable().count(), 1u);
    EXPECT_TRUE(eventually([&] { return onQueue(old, [](SurfacePipeline& p) { return p.stopped(); }); }));
    EXPECT_FALSE(onQueue(current, [](SurfacePipeline& p) { return p.stopped(); }));
}

TEST_F(MediaPipelineTest, ASurfaceWithoutASourceEnds) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return nullptr; };
    media->startSurface(3, 0x4242, client);
    settleMain();
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{3}));

    auto failing = std::make_shared<ScriptedSource>();
    failing->failStart = true;
    sourceFor = [&](CaptureChoice, RequestedStream) { return failing; };
    media->startSurface(4, 0x4242, client);
    settleMain();
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{3, 4}));
    EXPECT_TRUE(logged("pipeline", "capture start failed: " + CaptureStopReason::failed("no screen").description()));
}

TEST_F(MediaPipelineTest, AStopBeforeTheCaptureStartsLeavesTheSourceUnstarted) {
    const auto client = connection();
    auto source = std::make_shared<ScriptedSource>();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    std::promise<void> hold;
    main->async([gate = hold.get_future().share()] { gate.wait(); });
    media->startSurface(5, testPattern, client);
    const auto pipeline = media->pipeline(5, client);
    media->stopSurface(5, client);
    ASSERT_TRUE(eventually([&] { return onQueue(pipeline, [](SurfacePipeline& p) { return p.stopped(); }); }));
    hold.set_value();
    settleMain();
    EXPECT_EQ(source->starts, 0);
    EXPECT_TRUE(client->ended().empty());
}

TEST_F(MediaPipelineTest, AStopWhileTheSourceStartsStopsItOnceStarted) {
    const auto client = connection();
    auto source = std::make_shared<ScriptedSource>();
    std::promise<void> release;
    source->gate = release.get_future().share();
    auto entered = source->startEntered.get_future();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    media->startSurface(6, testPattern, client);
    ASSERT_EQ(entered.wait_for(20s), std::future_status::ready);

    // The stop finds the source attached and stops it before it runs.
    const auto pipeline = media->pipeline(6, client);
    media->stopSurface(6, client);
    ASSERT_TRUE(eventually([&] { return onQueue(pipeline, [](SurfacePipeline& p) { return p.stopped(); }); }));
    release.set_value();
    settleMain();
    EXPECT_EQ(source->starts, 1);
    EXPECT_FALSE(source->isRunning()) << "a source started after its pipeline stopped runs for nobody";
}

TEST_F(MediaPipelineTest, BudgetsAreFittedToTheClientAndTheDisplayBeforeTheSourceResizes) {
    auto source = std::make_shared<ScriptedSource>();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    content.displays = {contentDisplay(7, 1512, 982)};
    catalog->refresh(false);
    const auto resizedTo = [&](std::optional<Capabilities> caps, std::uint32_t captureID, RequestedBox box) {
        const auto client = connection(caps);
        media->startSurface(1, captureID, client);
        settleMain();
        media->setSurfaceBudget(1, box, client);
        media->pipeline(1, client)->queue().sync([] {});
        media->stopSurface(1, client);
        return source->resized().back();
    };
    EXPECT_EQ(resizedTo(capabilities(1920, 1080, 60), 0x77, {3000, 2000}), std::make_pair(1920, 1080));
    EXPECT_EQ(resizedTo(capabilities(1920, 1080, 60), 0x77, {1001, 601}), std::make_pair(1000, 600));
    EXPECT_EQ(resizedTo(capabilities(1920, 1080, 60), 0x77, {10, 10}), std::make_pair(64, 64));
    EXPECT_EQ(resizedTo(std::nullopt, 0x77, {4000, 4000}), std::make_pair(1280, 720));
    nativeSize = DisplayQueries::PixelSize{1512, 982};
    EXPECT_EQ(resizedTo(capabilities(3840, 2160, 60), displayZero, {1920, 1080}), std::make_pair(1512, 982));

    // A budget for a surface without a pipeline is only stored.
    const auto client = connection();
    const auto resizes = source->resized().size();
    media->setSurfaceBudget(9, RequestedBox{800, 600}, client);
    EXPECT_EQ(media->surfaceTable().budget(SurfaceKey{client, 9}), (RequestedBox{800, 600}));
    EXPECT_EQ(source->resized().size(), resizes);
}

TEST_F(MediaPipelineTest, PausesReachThePipelineAndOutliveARestartInPlace) {
    const auto client = connection();
    media->startSurface(1, testPattern, client);
    media->setPaused(1, true, client);
    EXPECT_TRUE(onQueue(media->pipeline(1, client), [](SurfacePipeline& p) { return p.paused(); }));
    EXPECT_TRUE(logged("audio", "surface 1 paused=true"));

    media->startSurface(1, testPattern, client);
    EXPECT_TRUE(onQueue(media->pipeline(1, client), [](SurfacePipeline& p) { return p.paused(); }));
    media->setPaused(1, false, client);
    EXPECT_FALSE(onQueue(media->pipeline(1, client), [](SurfacePipeline& p) { return p.paused(); }));

    // A stopped surface forgets its pause.
    media->setPaused(1, true, client);
    media->stopSurface(1, client);
    media->startSurface(1, testPattern, client);
    EXPECT_FALSE(onQueue(media->pipeline(1, client), [](SurfacePipeline& p) { return p.paused(); }));
}

TEST_F(MediaPipelineTest, AnInterruptedCaptureIsCapturedAgainAndStreamsOn) {
    const auto client = connection();
    media->startSurface(1, testPattern, client);
    media->beginMedia(1, testPattern, client);
    ASSERT_TRUE(client->waitForFrames(2));
    const auto interrupted = media->pipeline(1, client);
    media->surfaceTable().captureInterrupted(1, testPattern, client);
    EXPECT_TRUE(logged("control", "capture interrupted on surface 1: capturing again"));
    // The new pipeline is in the table before its media begins on its queue.
    ASSERT_TRUE(eventually([&] {
        const auto current = media->pipeline(1, client);
        return current && current != interrupted && onQueue(current, [](SurfacePipeline& p) { return p.sending(); });
    }));
    const auto before = client->frames().size();
    EXPECT_TRUE(client->waitForFrames(before + 3));
    EXPECT_TRUE(client->ended().empty());
}

TEST_F(MediaPipelineTest, RecapturesAreBudgetedThreePerSurfaceAMinute) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    media->startSurface(1, 0x51, client);
    for (int i = 0; i < 3; ++i) media->surfaceTable().captureInterrupted(1, 0x51, client);
    EXPECT_TRUE(client->ended().empty());
    media->surfaceTable().captureInterrupted(1, 0x51, client);
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(logged("control", "capture interrupted again on surface 1: ending it"));

    // A minute later the old ones no longer count.
    clockNs += SurfaceTable::recaptureWindowNs + 1;
    media->surfaceTable().captureInterrupted(1, 0x51, client);
    EXPECT_EQ(client->ended().size(), 1u);

    // With two surfaces the budget is six.
    clockNs += SurfaceTable::recaptureWindowNs + 1;
    media->startSurface(2, 0x52, client);
    for (int i = 0; i < 6; ++i) media->surfaceTable().captureInterrupted(2, 0x52, client);
    EXPECT_EQ(client->ended().size(), 1u);
    media->surfaceTable().captureInterrupted(2, 0x52, client);
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(MediaPipelineTest, ARecaptureLeavesAStoppedOrNewlySelectedSurfaceAlone) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    media->startSurface(1, 0x61, client);
    media->startSurface(2, 0x62, client);
    media->surfaceTable().captureInterrupted(1, 0x61, client);
    media->surfaceTable().captureInterrupted(2, 0x62, client);
    media->stopSurface(1, client);
    media->startSurface(2, 0x99, client);
    const auto selected = media->pipeline(2, client);
    std::this_thread::sleep_for(std::chrono::nanoseconds(SurfaceTable::recaptureDelayNs) + 300ms);
    EXPECT_EQ(media->pipeline(1, client), nullptr);
    EXPECT_EQ(media->pipeline(2, client), selected);
    std::lock_guard lock(madeMutex);
    EXPECT_EQ(made.back().first, CaptureChoice::window(0x99));
}

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

} // namespace
} // namespace quillmere::testing

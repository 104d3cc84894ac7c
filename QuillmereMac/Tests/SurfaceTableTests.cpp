// The surface table: surfaces started and stopped with sources the test
// chooses, their budgets and pauses, and capturing again after an
// interruption.

#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(SurfaceTableTest, AStartedSurfaceStreamsOnceMediaBegins) {
    const auto client = connection(capabilities(320, 180, 30));
    table->start(1, testPattern, client);
    ASSERT_TRUE(eventually([&] { return client->configs().size() == 1; }));
    EXPECT_TRUE(client->frames().empty());
    {
        std::lock_guard lock(madeMutex);
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0].first, CaptureChoice::testPattern());
        EXPECT_EQ(made[0].second, (RequestedStream{320, 180, 30, false}));
    }
    EXPECT_EQ(client->configs()[0].width, 320);

    table->beginSending(1, client);
    EXPECT_EQ(table->lastConnection(), client);
    ASSERT_TRUE(client->waitForFrames(5));
    const auto frames = client->frames();
    EXPECT_TRUE(frames[0].isKeyframe());
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].frameID, i + 1);

    table->stop(1, client);
    EXPECT_EQ(table->count(), 0u);
    EXPECT_EQ(table->pipeline(SurfaceKey{client, 1}), nullptr);
}

TEST_F(SurfaceTableTest, TheRequestedStreamFollowsTheClientAndItsBudget) {
    const auto key = [](const std::shared_ptr<RecordingConnection>& c) { return SurfaceKey{c, 1}; };
    auto client = connection(std::nullopt);
    EXPECT_EQ(table->requestedStream(key(client), std::nullopt), (RequestedStream{1280, 720, 60, false}));
    EXPECT_EQ(table->requestedStream(key(client), capabilities(641, 361, 0)), (RequestedStream{640, 360, 1, false}));
    EXPECT_EQ(table->requestedStream(key(client), capabilities(10, 20, 200, features::bit5)),
              (RequestedStream{64, 64, 120, true}));

    // A budget narrows the request, never widens it.
    table->setBudget(SurfaceKey{client, 1}, RequestedBox{1001, 601});
    EXPECT_EQ(table->requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{1000, 600, 60, false}));
    table->setBudget(SurfaceKey{client, 1}, RequestedBox{3000, 2000});
    EXPECT_EQ(table->requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{1920, 1080, 60, false}));
    table->setBudget(SurfaceKey{client, 1}, RequestedBox{10, 10});
    EXPECT_EQ(table->requestedStream(key(client), capabilities(1920, 1080, 60)), (RequestedStream{64, 64, 60, false}));
    // Another client's surface 1 has no budget.
    EXPECT_EQ(table->requestedStream(key(connection()), capabilities(1920, 1080, 60)),
              (RequestedStream{1920, 1080, 60, false}));
    table->clearBudget(SurfaceKey{client, 1});
    EXPECT_EQ(table->budget(SurfaceKey{client, 1}), std::nullopt);
}

TEST_F(SurfaceTableTest, TwoClientsSharingAtOnceKeepTheirOwnSurfaces) {
    const auto first = connection();
    const auto second = connection();
    table->start(1, testPattern, first);
    table->start(1, testPattern, second);
    EXPECT_EQ(table->count(), 2u);
    const auto mine = table->pipeline(SurfaceKey{first, 1});
    const auto theirs = table->pipeline(SurfaceKey{second, 1});
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(theirs->connection(), second);

    table->beginSending(1, first);
    table->beginSending(1, second);
    ASSERT_TRUE(first->waitForFrames(3));
    ASSERT_TRUE(second->waitForFrames(3));

    table->stop(1, first);
    EXPECT_EQ(table->pipeline(SurfaceKey{first, 1}), nullptr);
    EXPECT_EQ(table->pipeline(SurfaceKey{second, 1}), theirs);
    const auto before = second->frames().size();
    EXPECT_TRUE(second->waitForFrames(before + 3)) << "the other client's stream goes on";
    table->stop(1, second);
}

TEST_F(SurfaceTableTest, StartingASurfaceAgainReplacesAndStopsTheOldPipeline) {
    const auto client = connection();
    table->start(2, testPattern, client);
    const auto old = table->pipeline(SurfaceKey{client, 2});
    table->start(2, testPattern, client);
    const auto current = table->pipeline(SurfaceKey{client, 2});
    EXPECT_NE(old, current);
    EXPECT_EQ(client->kept(2), current) << "the connection's keyframe requests go to the new pipeline";
    EXPECT_EQ(table->count(), 1u);
    tasks->runUntilIdle();
    EXPECT_TRUE(onQueue(old, [](SurfacePipeline& p) { return p.stopped(); }));
    EXPECT_FALSE(onQueue(current, [](SurfacePipeline& p) { return p.stopped(); }));
}

TEST_F(SurfaceTableTest, ASurfaceWithoutASourceEnds) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return nullptr; };
    table->start(3, 0x4242, client);
    settleMain();
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{3}));

    auto failing = std::make_shared<ScriptedSource>();
    failing->failStart = true;
    sourceFor = [&](CaptureChoice, RequestedStream) { return failing; };
    table->start(4, 0x4242, client);
    settleMain();
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{3, 4}));
    EXPECT_TRUE(logged("pipeline", "capture start failed: " + CaptureStopReason::failed("no screen").description()));
}

TEST_F(SurfaceTableTest, AStopBeforeTheCaptureStartsLeavesTheSourceUnstarted) {
    const auto client = connection();
    auto source = std::make_shared<ScriptedSource>();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    std::promise<void> hold;
    main->async([gate = hold.get_future().share()] { gate.wait(); });
    table->start(5, testPattern, client);
    const auto pipeline = table->pipeline(SurfaceKey{client, 5});
    table->stop(5, client);
    tasks->runUntilIdle();
    ASSERT_TRUE(onQueue(pipeline, [](SurfacePipeline& p) { return p.stopped(); }));
    hold.set_value();
    settleMain();
    EXPECT_EQ(source->starts, 0);
    EXPECT_TRUE(client->ended().empty());
}

TEST_F(SurfaceTableTest, AStopWhileTheSourceStartsStopsItOnceStarted) {
    const auto client = connection();
    auto source = std::make_shared<ScriptedSource>();
    std::promise<void> release;
    source->gate = release.get_future().share();
    auto entered = source->startEntered.get_future();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    table->start(6, testPattern, client);
    ASSERT_EQ(entered.wait_for(20s), std::future_status::ready);

    // The stop finds the source attached and stops it before it runs.
    const auto pipeline = table->pipeline(SurfaceKey{client, 6});
    table->stop(6, client);
    tasks->runUntilIdle();
    ASSERT_TRUE(onQueue(pipeline, [](SurfacePipeline& p) { return p.stopped(); }));
    release.set_value();
    settleMain();
    EXPECT_EQ(source->starts, 1);
    EXPECT_FALSE(source->isRunning()) << "a source started after its pipeline stopped runs for nobody";
}

TEST_F(SurfaceTableTest, BudgetsAreFittedToTheClientAndTheDisplayBeforeTheSourceResizes) {
    auto source = std::make_shared<ScriptedSource>();
    sourceFor = [&](CaptureChoice, RequestedStream) { return source; };
    content.displays = {contentDisplay(7, 1512, 982)};
    catalog->refresh(false);
    const auto resizedTo = [&](std::optional<Capabilities> caps, std::uint32_t captureID, RequestedBox box) {
        const auto client = connection(caps);
        table->start(1, captureID, client);
        settleMain();
        table->setBudget(SurfaceKey{client, 1}, box);
        table->pipeline(SurfaceKey{client, 1})->queue().sync([] {});
        table->stop(1, client);
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
    table->setBudget(SurfaceKey{client, 9}, RequestedBox{800, 600});
    EXPECT_EQ(table->budget(SurfaceKey{client, 9}), (RequestedBox{800, 600}));
    EXPECT_EQ(source->resized().size(), resizes);
}

TEST_F(SurfaceTableTest, PausesReachThePipelineAndOutliveARestartInPlace) {
    const auto client = connection();
    table->start(1, testPattern, client);
    table->setPaused(SurfaceKey{client, 1}, true);
    EXPECT_TRUE(onQueue(table->pipeline(SurfaceKey{client, 1}), [](SurfacePipeline& p) { return p.paused(); }));

    table->start(1, testPattern, client);
    EXPECT_TRUE(onQueue(table->pipeline(SurfaceKey{client, 1}), [](SurfacePipeline& p) { return p.paused(); }));
    table->setPaused(SurfaceKey{client, 1}, false);
    EXPECT_FALSE(onQueue(table->pipeline(SurfaceKey{client, 1}), [](SurfacePipeline& p) { return p.paused(); }));

    // A stopped surface forgets its pause.
    table->setPaused(SurfaceKey{client, 1}, true);
    table->stop(1, client);
    table->start(1, testPattern, client);
    EXPECT_FALSE(onQueue(table->pipeline(SurfaceKey{client, 1}), [](SurfacePipeline& p) { return p.paused(); }));
}

TEST_F(SurfaceTableTest, AnInterruptedCaptureIsCapturedAgainAndStreamsOn) {
    const auto client = connection();
    table->start(1, testPattern, client);
    table->beginSending(1, client);
    ASSERT_TRUE(client->waitForFrames(2));
    const auto interrupted = table->pipeline(SurfaceKey{client, 1});
    table->captureInterrupted(1, testPattern, client);
    EXPECT_TRUE(logged("control", "capture interrupted on surface 1: capturing again"));
    tasks->advance(SurfaceTable::recaptureDelayNs);
    // The new pipeline is in the table before its media begins on its queue.
    ASSERT_TRUE(eventually([&] {
        const auto current = table->pipeline(SurfaceKey{client, 1});
        return current && current != interrupted && onQueue(current, [](SurfacePipeline& p) { return p.sending(); });
    }));
    const auto before = client->frames().size();
    EXPECT_TRUE(client->waitForFrames(before + 3));
    EXPECT_TRUE(client->ended().empty());
}

TEST_F(SurfaceTableTest, RecapturesAreBudgetedThreePerSurfaceAMinute) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    table->start(1, 0x51, client);
    for (int i = 0; i < 3; ++i) table->captureInterrupted(1, 0x51, client);
    EXPECT_TRUE(client->ended().empty());
    table->captureInterrupted(1, 0x51, client);
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(logged("control", "capture interrupted again on surface 1: ending it"));

    // A minute later the old ones no longer count.
    clockNs += SurfaceTable::recaptureWindowNs + 1;
    table->captureInterrupted(1, 0x51, client);
    EXPECT_EQ(client->ended().size(), 1u);

    // With two surfaces the budget is six.
    clockNs += SurfaceTable::recaptureWindowNs + 1;
    table->start(2, 0x52, client);
    for (int i = 0; i < 6; ++i) table->captureInterrupted(2, 0x52, client);
    EXPECT_EQ(client->ended().size(), 1u);
    table->captureInterrupted(2, 0x52, client);
    EXPECT_EQ(client->ended(), (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(SurfaceTableTest, ARecaptureLeavesAStoppedOrNewlySelectedSurfaceAlone) {
    const auto client = connection();
    sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
    table->start(1, 0x61, client);
    table->start(2, 0x62, client);
    table->captureInterrupted(1, 0x61, client);
    table->captureInterrupted(2, 0x62, client);
    table->stop(1, client);
    table->start(2, 0x99, client);
    const auto selected = table->pipeline(SurfaceKey{client, 2});
    tasks->advance(SurfaceTable::recaptureDelayNs);
    settleMain();
    EXPECT_EQ(table->pipeline(SurfaceKey{client, 1}), nullptr);
    EXPECT_EQ(table->pipeline(SurfaceKey{client, 2}), selected);
    std::lock_guard lock(madeMutex);
    EXPECT_EQ(made.back().first, CaptureChoice::window(0x99));
}

} // namespace
} // namespace quillmere::testing

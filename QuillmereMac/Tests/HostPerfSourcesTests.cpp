#include "QuillmereMac/Diagnostics/HostPerfSources.h"
#include "QuillmereMac/Diagnostics/PerfRecord.h"

#include "QuillmereMac/Tests/AudioTestSupport.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"

#include <set>

namespace quillmere::testing {
namespace {

TEST_F(MediaPipelineTest, TheDiagnosticsLogReadsEveryLiveSurface) {
    auto withAudio = services();
    withAudio.makeRoutedAudioSource = [](const AudioRouting::Route&) { return std::make_shared<ScriptedAudioSource>(); };
    media = MediaPipeline::make(std::move(withAudio));
    const auto providers = HostPerfSources::of(media, nullptr);
    EXPECT_TRUE(providers.surfaces().empty());
    EXPECT_EQ(providers.pacer(), std::nullopt);

    // A client that takes each surface's own sound.
    const auto client = connection(capabilities(320, 180, 30, features::bit2 | features::bit8));
    media->startSurface(3, testPattern, client);
    media->beginMedia(3, testPattern, client);
    ASSERT_TRUE(client->waitForFrames(3));

    const auto samples = providers.surfaces();
    ASSERT_EQ(samples.size(), 1u);
    const HostPerfLog::SurfaceSample& sample = samples.begin()->second;
    EXPECT_EQ(samples.begin()->first.surfaceID, 3u);
    EXPECT_EQ(sample.choice, CaptureChoice::testPattern());
    EXPECT_GE(sample.perf.stats.encoded, 3);
    EXPECT_EQ(sample.perf.width, 320);
    EXPECT_EQ(sample.perf.height, 180);
    EXPECT_GT(sample.fps, 0);
    // Only a host connection has a sender to read.
    EXPECT_EQ(sample.transport, std::nullopt);
    EXPECT_TRUE(providers.pacer());
    EXPECT_EQ(providers.screenShape(), "standard");
    settleMain();
    EXPECT_EQ(PerfRecord::audioRoutes(providers.audioRoutes()), "s3:clickTrack");

    media->stopSurface(3, client);
    EXPECT_TRUE(providers.surfaces().empty());
    EXPECT_TRUE(providers.audioRoutes().empty());
}

TEST_F(MediaPipelineTest, TwoClientsOnSurfaceOneAreTwoSamples) {
    const auto providers = HostPerfSources::of(media, nullptr);
    const auto phoneA = connection(capabilities(320, 180, 30));
    const auto phoneB = connection(capabilities(160, 96, 30));
    for (const auto& phone : {phoneA, phoneB}) {
        media->startSurface(1, testPattern, phone);
        media->beginMedia(1, testPattern, phone);
        ASSERT_TRUE(phone->waitForFrames(1));
    }
    std::set<std::pair<int, int>> rasters;
    for (const auto& [key, sample] : providers.surfaces()) {
        EXPECT_EQ(key.surfaceID, 1u);
        rasters.emplace(sample.perf.width, sample.perf.height);
    }
    EXPECT_EQ(rasters, (std::set<std::pair<int, int>>{{160, 96}, {320, 180}}));
    media->stopSurface(1, phoneA);
    const auto left = providers.surfaces();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left.begin()->first.belongsTo(phoneB));
}

} // namespace
} // namespace quillmere::testing

// The media pipeline over a real X display: the capture list, and a window
// and a display streamed through the default source factory and decoded.

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

namespace quillmere::testing {
namespace {

constexpr std::uint32_t windowWhite = 0xF0F0F0;

class MediaPipelineX11Test : public ::testing::Test {
protected:
    XvfbServer server{{.screens = {{800, 600}}, .windowManager = false}};
    std::unique_ptr<X11TestClient> client;
    xcb_window_t window = XCB_NONE;
    std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("main");
    std::shared_ptr<MediaPipeline> media;

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        client = std::make_unique<X11TestClient>(server.displayName());
        client->fill(client->root(), 0, 0, 800, 600, 0x000000);
        window = client->createWindow(
            X11TestClient::NewWindow().at(100, 80).sized(320, 240).titled("Ledger").filled(windowWhite));
        ASSERT_TRUE(client->waitUntilViewable(window));
        client->sync();

        MediaPipeline::Services services = x11Services(server.displayName());
        services.mainActor = main.get();
        services.pipelines.normalRateControl = [] { return false; };
        media = MediaPipeline::make(std::move(services));
    }

    void TearDown() override {
        media.reset();
        main.reset();
    }

    // Decodes every frame received so far, keyframe first.
    static std::vector<DecodedPicture> decodeAll(const RecordingConnection& connection) {
        H264TestDecoder decoder;
        std::vector<DecodedPicture> pictures;
        const auto configs = connection.configs();
        for (const EncodedFrame& frame : connection.frames()) {
            const Bytes unit = frame.isKeyframe() ? withParameterSets(configs.back().parameterSets, frame.data) : frame.data;
            for (auto& picture : decoder.decode(unit)) pictures.push_back(std::move(picture));
        }
        EXPECT_EQ(decoder.errors, 0);
        return pictures;
    }
};

TEST_F(MediaPipelineX11Test, AWindowStreamsWhatItShows) {
    std::vector<CaptureWindow> list;
    main->sync([&] { list = media->captureList(); });
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0].windowID, CaptureChoice::displayIDBase);
    EXPECT_EQ(list[0].width, 800);
    const auto listed = std::find_if(list.begin(), list.end(), [](const CaptureWindow& w) { return w.title == "Ledger"; });
    ASSERT_NE(listed, list.end());
    EXPECT_EQ(listed->windowID, window);
    EXPECT_EQ(listed->app, "TestApp");

    // A dark stripe that moves keeps the window changing. The new stripe is
    // drawn before the old one's uncovered part is whitened, so that a
    // capture between the two fills still shows a stripe.
    std::atomic<bool> painting{true};
    std::thread painter([&, display = server.displayName()] {
        X11TestClient brush(display);
        int previous = -1;
        for (int i = 0; painting; ++i) {
            const int x = (i * 16) % 288;
            brush.fill(window, x, 0, 32, 240, 0x101010);
            if (previous >= 0 && previous != x) {
                const int from = previous < x ? previous : std::max(previous, x + 32);
                const int to = previous < x ? std::min(previous + 32, x) : previous + 32;
                if (to > from) brush.fill(window, from, 0, to - from, 240, windowWhite);
            }
            previous = x;
            brush.sync();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
    media->startSurface(1, window, connection);
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return !c.configs().empty(); }));
    media->beginMedia(1, window, connection);
    const bool streamed = connection->waitForFrames(10);
    painting = false;
    painter.join();
    ASSERT_TRUE(streamed);
    media->stopSurface(1, connection);
    EXPECT_TRUE(connection->ended().empty());

    // The window's 4:3 shape fitted into the client's 640 x 480.
    const StreamConfig config = connection->configs().back();
    EXPECT_EQ(config.width, 640);
    EXPECT_EQ(config.height, 480);
    const auto pictures = decodeAll(*connection);
    ASSERT_GE(pictures.size(), 10u);
    const DecodedPicture& last = pictures.back();
    EXPECT_EQ(last.width, 640);
    EXPECT_EQ(last.height, 480);
    // Mostly the window's near-white, with one dark stripe somewhere.
    int bright = 0;
    int dark = 0;
    for (int x = 4; x < last.width; x += 8) {
        const std::uint8_t luma = last.at(x, last.height / 2);
        bright += luma > 200 ? 1 : 0;
        dark += luma < 60 ? 1 : 0;
    }
    EXPECT_GT(bright, 50);
    EXPECT_GT(dark, 2);
}

// A window changes once, just after its first frame went out, and then stays
// still: the change comes within the tier's interval and is paced away, and
// the capture sends nothing more. The client must still end up seeing it.
TEST_F(MediaPipelineX11Test, AChangePacedAwayIsSentOnceTheWindowStandsStill) {
    auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
    media->startSurface(1, window, connection);
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return !c.configs().empty(); }));
    const auto pipeline = media->pipeline(1, connection);
    ASSERT_TRUE(pipeline);
    // Two frames a second: a change drawn now is taken well inside the interval.
    pipeline->queue().sync([&] { pipeline->setTier(2, 4000); });
    media->beginMedia(1, window, connection);
    ASSERT_TRUE(connection->waitForFrames(1));
    client->fill(window, 0, 0, 160, 240, 0x101010);
    client->sync();

    std::size_t decoded = 0;
    const bool shown = eventually([&] {
        const std::size_t count = connection->frames().size();
        if (count == std::exchange(decoded, count)) return false;
        const auto pictures = decodeAll(*connection);
        return !pictures.empty() && pictures.back().at(40, 240) < 60;
    });
    SurfacePipeline::Stats stats;
    pipeline->queue().sync([&] { stats = pipeline->stats(); });
    media->stopSurface(1, connection);
    EXPECT_GE(stats.tierSkipped, 1) << "the change was never paced away";
    EXPECT_TRUE(shown) << stats.captured << " captured, " << stats.encoded << " encoded, " << stats.sent << " sent, "
                       << stats.tierSkipped << " paced away";
    EXPECT_GT(decodeAll(*connection).back().at(600, 240), 200) << "the rest of the window is as it was";
}

TEST_F(MediaPipelineX11Test, TheDisplayStreamsAtItsOwnSizeWhenSmallerThanAsked) {
    auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 1920, 1080, 30, 1, {}, 1200});
    main->sync([&] { media->captureList(); });
    media->startSurface(2, CaptureChoice::displayIDBase, connection);
    ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& c) { return !c.configs().empty(); }));
    media->beginMedia(2, CaptureChoice::displayIDBase, connection);
    ASSERT_TRUE(connection->waitForFrames(1));
    media->stopSurface(2, connection);
    const StreamConfig config = connection->configs().back();
    EXPECT_EQ(config.width, 800);
    EXPECT_EQ(config.height, 600);
    const auto pictures = decodeAll(*connection);
    ASSERT_FALSE(pictures.empty());
    // The window sits at (100, 80) on a black desktop.
    EXPECT_LT(pictures.back().at(20, 20), 40);
    EXPECT_GT(pictures.back().at(260, 200), 200);
}

} // namespace
} // namespace quillmere::testing

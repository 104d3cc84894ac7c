// Desktops and windows of every colour depth capture reads, streamed through
// the media pipeline and decoded: each colour comes out where it was drawn,
// in its own channels, and through the colour map where pixels are indices
// into one. Content capture cannot read is refused in words.

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/X11Desktop.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <array>
#include <cmath>

namespace quillmere::testing {
namespace {

// Pure primaries tell a swapped channel at once; the greys show how much
// each depth keeps of a level.
constexpr std::uint32_t patches[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x202020, 0x606060, 0xA0A0A0, 0xE0E0E0};
constexpr int patchCount = std::size(patches);

// The centre of patch i, 64 pixels square, in the 320 x 240 content.
std::pair<int, int> patchCentre(int i) { return {48 + (i % 4) * 76, 72 + (i / 4) * 100}; }

using Ramp = double (*)(double);
constexpr Ramp unchanged = [](double v) { return v; };
constexpr Ramp inverted = [](double v) { return 1 - v; };
constexpr Ramp halved = [](double v) { return v / 2; };

// BT.709 in video range, as the encoder is told the picture is, of the
// colour each channel of rgb shows through ramp.
std::array<double, 3> expectedYCbCr(std::uint32_t rgb, Ramp ramp = unchanged) {
    const auto channel = [&](int shift) { return std::round(ramp(((rgb >> shift) & 0xFF) / 255.0) * 255); };
    const double r = channel(16), g = channel(8), b = channel(0);
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * y / 255, 128 + 224 * (b - y) / (1.8556 * 255), 128 + 224 * (r - y) / (1.5748 * 255)};
}

TEST(ColourDepthX11, EveryPatchDecodesToItsColourAtEveryDepthOrIsRefusedInWords) {
    struct Case {
        int screenDepth;
        bool window;
        int windowDepth = 0; // the screen's when 0
        // The root's class for a display.
        std::uint8_t windowClass = XCB_VISUAL_CLASS_TRUE_COLOR;
        // The window's map inverts each channel before capture starts; while
        // it runs, halves it in place, then gives way to a new map.
        bool ramped = false;
        // The words, for content capture cannot read.
        std::optional<std::string> refused{};
    };
    constexpr std::uint8_t direct = XCB_VISUAL_CLASS_DIRECT_COLOR;
    const Case cases[] = {
        {30, false}, {30, true}, {24, false}, {24, true}, {16, false}, {16, true}, {15, false}, {15, true},
        {16, true, 32}, {30, true, 32}, {8, false}, {24, false, 0, direct}, {24, true, 0, direct},
        {24, true, 0, direct, true}, {16, true, 0, direct, true}, {30, true, 0, direct, true},
        {8, false, 0, direct, false, "This display's colour depth (8 bits) cannot be shared."},
    };
    const auto main = std::make_shared<SerialQueue>("main");
    // Told on the main actor.
    std::vector<std::optional<std::string>> told;
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}-bit {} of depth {}, class {}", c.screenDepth, c.window ? "window" : "display",
                                 c.windowDepth, c.windowClass));
        const auto rootClass = c.window || c.windowClass == XCB_VISUAL_CLASS_TRUE_COLOR
                                   ? std::nullopt
                                   : std::optional<int>(c.windowClass);
        XvfbServer server({.screens = {{640, 480, c.screenDepth}}, .windowManager = false, .visualClass = rootClass});
        ASSERT_TRUE(server.ready()) << server.failure();
        X11TestClient client(server.displayName());
        client.fill(client.root(), 0, 0, 640, 480, 0x000000);
        xcb_window_t drawn = client.root();
        if (c.window) {
            drawn = client.createWindow(
                X11TestClient::NewWindow().at(200, 120).deep(c.windowDepth).ofClass(c.windowClass));
            ASSERT_TRUE(client.waitUntilViewable(drawn));
            if (c.ramped) client.storeRamp(drawn, inverted);
        }
        client.sync();

        LogCapture log;
        MediaPipeline::Services services = x11Services(server.displayName());
        services.mainActor = main.get();
        services.pipelines.normalRateControl = [] { return false; };
        services.captureProblem = [&](std::optional<std::string> problem) { told.push_back(std::move(problem)); };
        told.clear();
        const auto media = MediaPipeline::make(std::move(services));
        main->sync([&] { media->captureList(); });
        const std::uint32_t captureID = c.window ? drawn : CaptureChoice::displayIDBase;
        const auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
        media->startSurface(1, captureID, connection);
        ASSERT_TRUE(connection->waitUntil(
            [](const RecordingConnection& r) { return !r.configs().empty() || !r.ended().empty(); }));
        main->sync([] {});
        // A start that works takes the words back.
        EXPECT_EQ(told, std::vector{c.refused});
        if (c.refused) {
            // The phone is refused as for any capture that cannot start.
            EXPECT_EQ(connection->ended(), std::vector<std::uint32_t>{1});
            EXPECT_THAT(log.lines("pipeline"), ::testing::Contains("capture start failed: " + *c.refused));
            continue;
        }
        ASSERT_FALSE(connection->configs().empty()) << "no stream";
        media->beginMedia(1, captureID, connection);
        ASSERT_TRUE(connection->waitForFrames(1));
        // Drawn after the first frame: what is checked comes of the areas
        // that changed, converted again.
        for (int i = 0; i < patchCount; ++i) {
            const auto [x, y] = patchCentre(i);
            client.fill(drawn, x - 32, y - 32, 64, 64, patches[i]);
        }
        client.sync();
        // The window's 320 x 240 fills the 640 x 480 raster.
        const int scale = c.window ? 2 : 1;
        // 5 bits a channel lose up to 7 of 255; the encoder a little more.
        const double tolerance = (c.windowDepth != 0 ? c.windowDepth : c.screenDepth) <= 16 ? 8 : 3;
        H264TestDecoder decoder;
        std::size_t decodedFrames = 0;
        std::optional<DecodedPicture> shown;
        // Y, Cb and Cr where patch i shows.
        const auto seen = [&](int i) {
            const int x = patchCentre(i).first * scale, y = patchCentre(i).second * scale;
            return std::array<double, 3>{double(shown->at(x, y)), double(shown->cbAt(x, y)), double(shown->crAt(x, y))};
        };
        const auto showsThrough = [&](Ramp ramp) {
            eventually([&] {
                const auto frames = connection->frames();
                for (; decodedFrames < frames.size(); ++decodedFrames) {
                    const EncodedFrame& frame = frames[decodedFrames];
                    const auto configs = connection->configs();
                    for (auto& picture : decoder.decode(frame.isKeyframe()
                                                            ? withParameterSets(configs.back().parameterSets, frame.data)
                                                            : frame.data))
                        shown = std::move(picture);
                }
                const double last = expectedYCbCr(patches[patchCount - 1], ramp)[0];
                return shown && !shown->cb.empty() && std::abs(seen(patchCount - 1)[0] - last) <= tolerance;
            });
            ASSERT_TRUE(shown.has_value());
            ASSERT_EQ(shown->width, 640);
            constexpr const char* channels[] = {"Y", "Cb", "Cr"};
            for (int i = 0; i < patchCount; ++i) {
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(seen(i)[k], expectedYCbCr(patches[i], ramp)[k], tolerance)
                        << fmt::format("{:06X} {}", patches[i], channels[k]);
            }
        };
        showsThrough(c.ramped ? inverted : unchanged);
        if (c.ramped) {
            // Stored entries send no event: the map is read again anyway.
            client.storeRamp(drawn, halved);
            showsThrough(halved);
            client.storeRamp(drawn, unchanged, true);
            showsThrough(unchanged);
        }
        media->stopSurface(1, connection);
    }
}

} // namespace
} // namespace quillmere::testing

// Desktops and windows of every colour depth capture reads, streamed through
// the media pipeline and decoded: each colour comes out where it was drawn,
// in its own channels. Content capture cannot read is refused in words.

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/X11Desktop.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

namespace quillmere::testing {
namespace {

struct Patch {
    const char* name;
    std::uint32_t rgb;
};

// Pure primaries tell a swapped channel at once; the greys show how much
// each depth keeps of a level.
constexpr Patch patches[] = {
    {"red", 0xFF0000},  {"green", 0x00FF00}, {"blue", 0x0000FF}, {"white", 0xFFFFFF},
    {"grey 20", 0x202020}, {"grey 60", 0x606060}, {"grey A0", 0xA0A0A0}, {"grey E0", 0xE0E0E0},
};
constexpr int patchSide = 64;
constexpr int contentWidth = 320;
constexpr int contentHeight = 240;

// Where patch i sits in the content, four to a row.
ScreenRect patchArea(int i) { return {16 + (i % 4) * 76, 40 + (i / 4) * 100, patchSide, patchSide}; }

// BT.709 in video range, as the encoder is told the picture is.
std::array<double, 3> expectedYCbCr(std::uint32_t rgb) {
    const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * y / 255, 128 + 224 * (b - y) / (1.8556 * 255), 128 + 224 * (r - y) / (1.5748 * 255)};
}

// The mean Y, Cb and Cr of a square around (x, y).
std::array<double, 3> meanYCbCr(const DecodedPicture& picture, int x, int y, int half) {
    std::array<double, 3> sum{};
    int count = 0;
    for (int py = y - half; py < y + half; ++py) {
        for (int px = x - half; px < x + half; ++px) {
            sum[0] += picture.at(px, py);
            sum[1] += picture.cbAt(px, py);
            sum[2] += picture.crAt(px, py);
            ++count;
        }
    }
    for (double& value : sum) value /= count;
    return sum;
}

class ColourDepthX11 : public ::testing::Test {
protected:
    std::shared_ptr<MediaPipeline> pipelineOver(const std::string& display) {
        MediaPipeline::Services services = x11Services(display);
        services.mainActor = main.get();
        services.pipelines.normalRateControl = [] { return false; };
        services.captureProblem = [this](std::optional<std::string> problem) {
            std::lock_guard lock(mutex);
            problems.push_back(std::move(problem));
        };
        return MediaPipeline::make(std::move(services));
    }

    std::vector<std::optional<std::string>> told() {
        std::lock_guard lock(mutex);
        return problems;
    }

    void TearDown() override {
        media.reset();
        main.reset();
    }

    std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("main");
    std::shared_ptr<MediaPipeline> media;
    std::mutex mutex;
    std::vector<std::optional<std::string>> problems;
};

TEST_F(ColourDepthX11, EveryPatchDecodesToItsColourAtEveryDepthOfDisplaysAndWindows) {
    struct Case {
        int screenDepth;
        bool window;
        // The window's own depth; the screen's when 0.
        int windowDepth;
        // What the depth keeps of each channel (5 bits lose up to 7 of 255)
        // and what the encoder changes of a flat patch.
        double tolerance;
    };
    const Case cases[] = {
        {30, false, 0, 3}, {30, true, 0, 3}, {24, false, 0, 3}, {24, true, 0, 3},  {16, false, 0, 8},
        {16, true, 0, 8},  {15, false, 0, 8}, {15, true, 0, 8}, {16, true, 32, 3}, {30, true, 32, 3},
    };
    for (const Case& c : cases) {
        const std::string name =
            fmt::format("{}-bit {}{}", c.screenDepth, c.window ? "window" : "display",
                        c.windowDepth != 0 ? fmt::format(" of depth {}", c.windowDepth) : std::string());
        XvfbServer server({.screens = {{640, 480, c.screenDepth}}, .windowManager = false});
        ASSERT_TRUE(server.ready()) << name << ": " << server.failure();
        X11TestClient client(server.displayName());
        client.fill(client.root(), 0, 0, 640, 480, 0x000000);
        xcb_window_t drawn = client.root();
        if (c.window) {
            drawn = client.createWindow(X11TestClient::NewWindow()
                                            .at(200, 120)
                                            .sized(contentWidth, contentHeight)
                                            .titled("Swatches")
                                            .deep(c.windowDepth)
                                            .filled(0x000000));
            ASSERT_TRUE(client.waitUntilViewable(drawn)) << name;
        }
        client.sync();

        media = pipelineOver(server.displayName());
        main->sync([&] { media->captureList(); });
        const std::uint32_t captureID = c.window ? drawn : CaptureChoice::displayIDBase;
        auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
        media->startSurface(1, captureID, connection);
        ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& r) { return !r.configs().empty(); }))
            << name << ": no stream; ended " << connection->ended().size();
        media->beginMedia(1, captureID, connection);
        ASSERT_TRUE(connection->waitForFrames(1)) << name;

        // Drawn after the first frame: what is checked comes of the areas
        // that changed, converted again.
        for (int i = 0; i < static_cast<int>(std::size(patches)); ++i) {
            const ScreenRect area = patchArea(i);
            client.fill(drawn, area.x, area.y, area.width, area.height, patches[i].rgb);
        }
        client.sync();
        // The window's 320 x 240 fills the 640 x 480 raster; the display is
        // that size already.
        const int scale = c.window ? 2 : 1;
        const auto centre = [&](int i) {
            const ScreenRect area = patchArea(i);
            return std::pair{(area.x + area.width / 2) * scale, (area.y + area.height / 2) * scale};
        };
        const auto latest = [&]() -> std::optional<DecodedPicture> {
            H264TestDecoder decoder;
            std::optional<DecodedPicture> last;
            const auto configs = connection->configs();
            for (const EncodedFrame& frame : connection->frames()) {
                const Bytes unit =
                    frame.isKeyframe() ? withParameterSets(configs.back().parameterSets, frame.data) : frame.data;
                for (auto& picture : decoder.decode(unit)) last = std::move(picture);
            }
            return last;
        };
        std::optional<DecodedPicture> shown;
        const int lastPatch = static_cast<int>(std::size(patches)) - 1;
        eventually([&] {
            shown = latest();
            if (!shown || shown->cb.empty()) return false;
            const auto [x, y] = centre(lastPatch);
            return std::abs(shown->at(x, y) - expectedYCbCr(patches[lastPatch].rgb)[0]) <= c.tolerance;
        });
        media->stopSurface(1, connection);
        EXPECT_TRUE(connection->ended().empty()) << name;
        ASSERT_TRUE(shown.has_value()) << name;
        const DecodedPicture& picture = *shown;
        ASSERT_EQ(picture.width, 640) << name;
        for (int i = 0; i < static_cast<int>(std::size(patches)); ++i) {
            const auto [x, y] = centre(i);
            const auto seen = meanYCbCr(picture, x, y, 8 * scale);
            const auto expected = expectedYCbCr(patches[i].rgb);
            constexpr const char* channels[] = {"Y", "Cb", "Cr"};
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(seen[k], expected[k], c.tolerance)
                    << name << ", " << patches[i].name << ", " << channels[k];
            }
        }
        media.reset();
    }
}

TEST_F(ColourDepthX11, ContentCaptureCannotReadIsRefusedInWords) {
    struct Case {
        const char* name;
        XvfbServer::Options server;
        // A window of this visual class is shared; the display when none.
        std::optional<std::uint8_t> windowClass;
        std::string words;
    };
    const Case cases[] = {
        {"a desktop with a palette", {.screens = {{640, 480, 8}}}, std::nullopt,
         "This display's colour depth (8 bits) cannot be shared"},
        {"a window whose colours go through a colour map", {.screens = {{640, 480, 24}}},
         XCB_VISUAL_CLASS_DIRECT_COLOR, "This window's colour format (24 bits) cannot be shared"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        problems.clear();
        XvfbServer server(c.server);
        ASSERT_TRUE(server.ready()) << c.name << ": " << server.failure();
        X11TestClient client(server.displayName());
        std::uint32_t captureID = CaptureChoice::displayIDBase;
        if (c.windowClass) {
            const xcb_window_t window = client.createWindow(
                X11TestClient::NewWindow().at(40, 40).sized(200, 100).titled("Mapped colours").ofClass(*c.windowClass));
            ASSERT_TRUE(client.waitUntilViewable(window)) << c.name;
            captureID = window;
        }
        media = pipelineOver(server.displayName());
        main->sync([&] { media->captureList(); });
        auto connection = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
        media->startSurface(1, captureID, connection);
        // The phone is refused as for any capture that cannot start.
        ASSERT_TRUE(connection->waitUntil([](const RecordingConnection& r) { return !r.ended().empty(); })) << c.name;
        EXPECT_EQ(connection->ended(), std::vector<std::uint32_t>{1}) << c.name;
        EXPECT_TRUE(connection->configs().empty()) << c.name;
        main->sync([] {});
        const auto lines = log.lines("pipeline");
        EXPECT_NE(std::find(lines.begin(), lines.end(), "capture start failed: " + c.words), lines.end())
            << c.name << ": " << fmt::format("{}", fmt::join(lines, " | "));
        EXPECT_EQ(told(), std::vector<std::optional<std::string>>{c.words}) << c.name;
        if (c.windowClass) {
            // The desktop around it can be shared: the words go once it is.
            auto display = std::make_shared<RecordingConnection>(Capabilities{{}, 640, 480, 30, 1, {}, 1200});
            media->startSurface(2, CaptureChoice::displayIDBase, display);
            ASSERT_TRUE(display->waitUntil([](const RecordingConnection& r) { return !r.configs().empty(); }));
            main->sync([] {});
            EXPECT_EQ(told(), (std::vector<std::optional<std::string>>{c.words, std::nullopt})) << c.name;
            media->stopSurface(2, display);
        }
        media.reset();
    }
}

} // namespace
} // namespace quillmere::testing

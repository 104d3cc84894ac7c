// End to end over real loopback QUIC: the host as composed at start-up with
// the media pipeline and the test pattern, a device paired through an
// invitation, and a viewer that lists, selects, assembles, decodes and
// checks every picture against the frame it must show.

#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <iostream>
#include <thread>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t patternFrames = 600;
// x264's loss on the pattern's flat fields and hard edges stays well below.
constexpr double corruptMeanError = 6.0;

void reportLatency(const std::vector<TestViewer::Decoded>& decoded) {
    const double p50 = TestViewer::latencyMs(decoded, 0.5);
    const double p90 = TestViewer::latencyMs(decoded, 0.9);
    const double p99 = TestViewer::latencyMs(decoded, 0.99);
    ::testing::Test::RecordProperty("capture_to_decoded_p50_ms", fmt::format("{:.2f}", p50));
    ::testing::Test::RecordProperty("capture_to_decoded_p90_ms", fmt::format("{:.2f}", p90));
    ::testing::Test::RecordProperty("capture_to_decoded_p99_ms", fmt::format("{:.2f}", p99));
    std::cout << fmt::format("capture to decoded over {} frames: p50 {:.2f} ms, p90 {:.2f} ms, p99 {:.2f} ms\n",
                             decoded.size(), p50, p90, p99);
}

// Every decoded picture shows the number of the frame it was captured as,
// and shows it cleanly.
void expectEveryPictureMatches(const std::vector<TestViewer::Decoded>& decoded) {
    std::size_t mismatched = 0;
    std::size_t corrupt = 0;
    for (const TestViewer::Decoded& d : decoded) {
        if (!d.expected || d.strip != static_cast<std::uint32_t>(*d.expected)) ++mismatched;
        if (d.meanError >= corruptMeanError) ++corrupt;
    }
    EXPECT_EQ(mismatched, 0u);
    EXPECT_EQ(corrupt, 0u);
    for (std::size_t i = 1; i < decoded.size(); ++i) {
        EXPECT_GT(decoded[i].strip, decoded[i - 1].strip) << "frame " << decoded[i].frameID;
        if (decoded[i].strip <= decoded[i - 1].strip) break;
    }
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.emplace(TestHost::Options{.pipelineDisplay = ""});
        port = host->start();
        phone.emplace(host->pairThroughInvitation());
        std::size_t paired = 0;
        host->main.sync([&] { paired = host->engine->status().pairedDevices.size(); });
        EXPECT_EQ(paired, 1u);
    }

    std::unique_ptr<TestViewer> viewer(TestViewer::Options options = {}) {
        options.expectedNumber = [this](std::uint64_t captureTimeNs) { return host->numberAt(captureTimeNs); };
        return std::make_unique<TestViewer>(*phone, host->identity.fingerprint, port, host->defaults.defaults(),
                                            std::move(options));
    }

    static void selectTestPattern(TestViewer& viewer) {
        ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
        viewer.requestCaptureList();
        ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.windows().has_value(); }, 20s));
        const auto& windows = *viewer.windows();
        ASSERT_FALSE(windows.empty());
        EXPECT_EQ(windows.front().windowID, CaptureChoice::testPatternID);
        EXPECT_EQ(windows.front().title, "Test pattern (measurement)");
        viewer.select(CaptureChoice::testPatternID);
    }

    std::optional<TestHost> host;
    std::uint16_t port = 0;
    std::optional<LocalIdentity> phone;
};

TEST_F(EndToEndTest, SixHundredTestPatternFramesDecodeToTheirOwnNumbers) {
    auto client = viewer();
    selectTestPattern(*client);
    ASSERT_TRUE(client->waitUntil([](const TestViewer& v) { return v.decoded().size() >= patternFrames; }, 60s))
        << client->decodedCopy().size() << " decoded";
    const auto decoded = client->decodedCopy();
    const auto counts = client->countsCopy();
    EXPECT_EQ(counts.decodeErrors, 0);
    EXPECT_EQ(counts.skipped, 0);
    EXPECT_EQ(counts.recoveryRequests, 0);
    EXPECT_TRUE(decoded.front().keyframe);
    expectEveryPictureMatches(decoded);
    reportLatency(decoded);
}

TEST_F(EndToEndTest, LostFragmentsAreRecoveredWithKeyframesAndTheStreamGoesOn) {
    // Small datagrams, so that frames come in several fragments; the last
    // fragment of every 80th frame never arrives.
    std::atomic<int> losses{0};
    std::atomic<int> fragmented{0};
    TestViewer::Options options;
    options.maxDatagram = 400;
    options.drop = [&](const MediaHeader& header) {
        if (header.fragmentCount > 1 && header.fragmentIndex == 0) ++fragmented;
        const bool drop = header.frameID % 80 == 40 && header.fragmentIndex + 1 == header.fragmentCount;
        if (drop) ++losses;
        return drop;
    };
    auto client = viewer(options);
    selectTestPattern(*client);
    ASSERT_TRUE(client->waitUntil([](const TestViewer& v) { return v.decoded().size() >= 330; }, 60s))
        << client->decodedCopy().size() << " decoded";
    const auto decoded = client->decodedCopy();
    const auto counts = client->countsCopy();
    ASSERT_GE(losses.load(), 3);
    EXPECT_GT(fragmented.load(), 100);
    EXPECT_GE(counts.recoveryRequests, 3);
    // The first keyframe, and one after each loss.
    EXPECT_GE(counts.keyframes, 4);
    EXPECT_EQ(counts.decodeErrors, 0);
    expectEveryPictureMatches(decoded);
    // After each loss a keyframe of a newer epoch picked the stream up again.
    std::uint32_t epochs = 1;
    for (std::size_t i = 1; i < decoded.size(); ++i) {
        if (decoded[i].epoch != decoded[i - 1].epoch) {
            EXPECT_TRUE(decoded[i].keyframe);
            ++epochs;
        }
    }
    EXPECT_GE(epochs, 4u);
    reportLatency(decoded);
}

TEST(EndToEndWindow, AWindowUnderXvfbStreamsToTheViewer) {
    XvfbServer server{{.screens = {{800, 600}}, .windowManager = false}};
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient desktop(server.displayName());
    const xcb_window_t window =
        desktop.createWindow(X11TestClient::NewWindow().at(40, 40).sized(480, 270).titled("Quarterly report").filled(0xF0F0F0));
    ASSERT_TRUE(desktop.waitUntilViewable(window));
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        X11TestClient brush(server.displayName());
        // The new stripe first, then what is left of the old one: a capture
        // between the two requests still finds a stripe.
        for (int i = 0, previous = -1; painting; ++i) {
            const int x = (i * 12) % 440;
            brush.fill(window, x, 0, 40, 270, 0x101010);
            if (previous >= 0 && previous < x) brush.fill(window, previous, 0, std::min(40, x - previous), 270, 0xF0F0F0);
            if (previous > x) brush.fill(window, std::max(previous, x + 40), 0, previous + 40 - std::max(previous, x + 40), 270, 0xF0F0F0);
            previous = x;
            brush.sync();
            std::this_thread::sleep_for(20ms);
        }
    });

    TestHost host({.pipelineDisplay = server.displayName()});
    const std::uint16_t port = host.start();
    const LocalIdentity phone = host.pairThroughInvitation();
    TestViewer::Options options;
    TestViewer client(phone, host.identity.fingerprint, port, host.defaults.defaults(), options);
    ASSERT_TRUE(client.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
    client.requestCaptureList();
    ASSERT_TRUE(client.waitUntil([](const TestViewer& v) { return v.windows().has_value(); }, 20s));
    const auto windows = *client.windows();
    const auto listed = std::find_if(windows.begin(), windows.end(),
                                     [](const CaptureWindow& w) { return w.title == "Quarterly report"; });
    ASSERT_NE(listed, windows.end());
    client.select(listed->windowID);
    const bool streamed = client.waitUntil([](const TestViewer& v) { return v.decoded().size() >= 60; }, 30s);
    painting = false;
    painter.join();
    ASSERT_TRUE(streamed) << client.decodedCopy().size() << " decoded";
    const auto counts = client.countsCopy();
    EXPECT_EQ(counts.decodeErrors, 0);
    EXPECT_EQ(counts.skipped, 0);
    // The window's near-white with its dark stripe, fitted to 640 x 360.
    const auto picture = client.lastPicture();
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 640);
    EXPECT_EQ(picture->height, 360);
    int bright = 0;
    int dark = 0;
    for (int x = 4; x < picture->width; x += 8) {
        bright += picture->at(x, picture->height / 2) > 200 ? 1 : 0;
        dark += picture->at(x, picture->height / 2) < 60 ? 1 : 0;
    }
    EXPECT_GT(bright, 50);
    EXPECT_GT(dark, 2);
    reportLatency(client.decodedCopy());
}

} // namespace
} // namespace quillmere::testing

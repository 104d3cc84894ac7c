// A still picture whose keyframe loses one datagram on the way to the viewer.
// The viewer gives up on the frame quickly and asks again while the keyframe
// interval still runs; no new frame comes to carry the request, so the host
// must send the keyframe once the interval is over, by itself.

#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <iostream>
#include <thread>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t keyframeIntervalNs = HostSession::keyframeMinIntervalNs;
// Media datagrams of 1200 bytes; acknowledgements and control stay below.
constexpr std::size_t mediaPacketBytes = 1000;

// What the viewer saw of a keyframe: its fragments, and how many came.
struct SeenKeyframe {
    std::uint32_t frameID = 0;
    std::uint64_t captureTimeNs = 0;
    std::uint16_t fragments = 0;
    std::uint16_t received = 0;
};

// A window of small tiles in many greys: a keyframe of it takes dozens of
// datagrams, and nothing in it moves.
xcb_window_t stillWindow(X11TestClient& desktop) {
    const xcb_window_t window =
        desktop.createWindow(X11TestClient::NewWindow().at(0, 0).sized(480, 270).titled("Ledger").filled(0xFFFFFF));
    std::uint32_t grey = 12345;
    for (int y = 0; y < 270; y += 10) {
        for (int x = 0; x < 480; x += 10) {
            grey = grey * 1103515245 + 12345;
            const std::uint32_t level = (grey >> 16) & 0xFF;
            desktop.fill(window, x, y, 10, 10, level << 16 | level << 8 | level);
        }
    }
    desktop.sync();
    return window;
}

struct StillRow {
    const char* name;
    bool window;
    // How long the picture stays still, after its first keyframe, before
    // the viewer asks for a new one; zero: the first keyframe is the one hit.
    std::chrono::milliseconds stillFor;
};

TEST(StillScreenRecovery, AKeyframeThatLostADatagramIsSentAgainWhenTheIntervalEnds) {
    XvfbServer server{{.screens = {{640, 360}}, .windowManager = false}};
    ASSERT_TRUE(server.ready()) << server.failure();
    X11TestClient desktop(server.displayName());
    ASSERT_TRUE(desktop.waitUntilViewable(stillWindow(desktop)));
    TestHost host({.pipelineDisplay = server.displayName()});
    const std::uint16_t port = host.start();
    const LocalIdentity phone = host.pairThroughInvitation();

    // A keyframe asked for 5 s into a still period meets what one asked
    // for after a second meets: the last keyframe long past, nothing moving.
    const StillRow rows[] = {
        {"still display", false, 0ms},
        {"still window", true, 0ms},
        {"keyframe asked for in a still period", false, 1000ms},
    };
    for (const StillRow& row : rows) {
        SCOPED_TRACE(row.name);
        LossyRelay relay(port);
        LockedBox<std::vector<SeenKeyframe>> keyframes;
        TestViewer::Options options;
        // As a phone gives up on a frame: well inside the keyframe interval.
        options.assemblyMaxAgeNs = 100'000'000;
        options.drop = [&](const MediaHeader& h) {
            if (h.flags.contains(MediaHeader::Flags::keyframe)) {
                keyframes.withLock([&](auto& seen) {
                    if (seen.empty() || seen.back().frameID != h.frameID)
                        seen.push_back({h.frameID, h.captureTimeNs, h.fragmentCount, 0});
                    ++seen.back().received;
                });
            }
            return false;
        };
        TestViewer viewer(phone, host.identity.fingerprint, relay.port(), host.defaults.defaults(), options);
        ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
        viewer.requestCaptureList();
        ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.windows().has_value(); }, 20s));
        std::uint32_t captureID = CaptureChoice::displayIDBase;
        if (row.window) {
            const auto windows = *viewer.windows();
            const auto ledger = std::find_if(windows.begin(), windows.end(),
                                             [](const CaptureWindow& w) { return w.title == "Ledger"; });
            ASSERT_NE(ledger, windows.end());
            captureID = ledger->windowID;
        }

        std::uint32_t before = 0;
        if (row.stillFor == 0ms) relay.dropOne(LossyRelay::Direction::toClient, mediaPacketBytes, 3);
        viewer.select(captureID);
        if (row.stillFor > 0ms) {
            ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return !v.decoded().empty(); }, 20s));
            std::this_thread::sleep_for(row.stillFor);
            const TestViewer::Decoded last = viewer.decodedCopy().back();
            before = last.frameID;
            relay.dropOne(LossyRelay::Direction::toClient, mediaPacketBytes, 3);
            viewer.sendControl(msg::RecoveryRequest{ClientSession::mainSurfaceID, last.epoch, last.frameID,
                                                    RecoveryReason::decodeError});
        }

        // Once the viewer has given up on the frame, what came of it is all.
        ASSERT_TRUE(viewer.waitUntil([](const TestViewer& v) { return v.counts().recoveryRequests > 0; }, 20s));
        std::optional<SeenKeyframe> damaged;
        for (const SeenKeyframe& k : keyframes.get())
            if (!damaged && k.frameID > before && k.received < k.fragments) damaged = k;
        ASSERT_TRUE(damaged);
        ASSERT_GE(damaged->fragments, 4) << "the keyframe is too small to lose one datagram of many";
        std::optional<TestViewer::Decoded> repair;
        viewer.waitUntil(
            [&](const TestViewer& v) {
                for (const TestViewer::Decoded& d : v.decoded())
                    if (d.keyframe && d.frameID > damaged->frameID) return (repair = d).has_value();
                return false;
            },
            3s);
        const TestViewer::Counts counts = viewer.countsCopy();
        if (!repair) {
            ADD_FAILURE() << "still frozen 3 s after the keyframe; " << counts.recoveryRequests << " recovery requests";
            continue;
        }
        // The interval runs from the keyframe's issue, a little after its capture.
        const double afterIntervalMs =
            (static_cast<double>(repair->decodedAtNs) - static_cast<double>(damaged->captureTimeNs + keyframeIntervalNs)) /
            1e6;
        std::cout << fmt::format("{}: keyframe of {} datagrams lost one; repaired {:.0f} ms after it was captured, "
                                 "{:.0f} ms after the interval's end; {} recovery requests\n",
                                 row.name, damaged->fragments,
                                 static_cast<double>(repair->decodedAtNs - damaged->captureTimeNs) / 1e6,
                                 afterIntervalMs, counts.recoveryRequests);
        EXPECT_EQ(relay.counts(LossyRelay::Direction::toClient).chosen, 1u);
        EXPECT_LE(afterIntervalMs, 300.0);
        EXPECT_EQ(counts.decodeErrors, 0);
    }
}

} // namespace
} // namespace quillmere::testing

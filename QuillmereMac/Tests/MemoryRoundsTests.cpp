// Memory over many identical rounds against one host: a streamed session, a
// burst of handshakes from a device nobody paired, and control streams of
// garbage from a paired one. Freed memory must come back to the system rather
// than pile up in the allocator, and the heap must not grow round after round:
// a host left running for days meets thousands of sessions.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/SystemInfo/SystemInfo.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <malloc.h>

#include <algorithm>
#include <iostream>

extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

// Short sessions and many rounds: a slope over the later rounds sees a
// per-session leak that a few rounds hide in the allocator's noise.
constexpr int rounds = 40;
constexpr int warmRounds = 20; // pools fill, closed connections let go within seconds
// Enough for the checkers to see a round's faults, and one round's
// leftovers meet the next.
constexpr int sanitizedRounds = 6;
constexpr std::size_t framesPerSession = 20;
constexpr int unpairedHandshakes = 20;
constexpr int garbageStreams = 3;
constexpr double megabyte = 1024.0 * 1024.0;

double residentMB() { return static_cast<double>(SystemInfo().processFootprintBytes().value_or(0)) / megabyte; }

// What the program holds from malloc, whether or not the pages are resident.
double heapMB() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / megabyte;
}

// Growth per round as the median of the slopes between every two rounds:
// one round caught with buffers in flight moves it little.
double medianSlope(const std::vector<double>& values) {
    std::vector<double> slopes;
    for (std::size_t i = 0; i < values.size(); ++i)
        for (std::size_t j = i + 1; j < values.size(); ++j)
            slopes.push_back((values[j] - values[i]) / static_cast<double>(j - i));
    std::nth_element(slopes.begin(), slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2), slopes.end());
    return slopes[slopes.size() / 2];
}

class MemoryRounds : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        host.emplace(TestHost::Options{.pipelineDisplay = server.displayName()});
        port = host->start();
        phone.emplace(host->pairThroughInvitation());
        stranger.emplace(host->keys.make("stranger"));
        std::array<std::uint8_t, WireID::byteCount> id{};
        id.fill(7);
        const TrustedPeer peer(WireID(id), *Fingerprint::of(viewOf(garbler.certificate)), "Garbler", PeerRole::client,
                               1'700'000'000);
        host->pair(peer);
    }

    void session() {
        TestViewer client(*phone, host->identity.fingerprint, port, host->defaults.defaults(), {});
        ASSERT_TRUE(client.waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
        client.select(CaptureChoice::testPatternID);
        ASSERT_TRUE(client.waitUntil([](const TestViewer& v) { return v.decoded().size() >= framesPerSession; }, 30s));
        client.step([](ClientSession& s) { return s.close(); });
        ASSERT_TRUE(client.waitUntil([](const TestViewer& v) { return v.closed(); }, 20s));
    }

    void unpaired() {
        // A few at a time, as a scanner on the network would come.
        for (int batch = 0; batch < unpairedHandshakes; batch += 10) {
            std::vector<TestClient> clients;
            for (int i = 0; i < 10; ++i)
                clients.push_back(TestClient::connect(port, *stranger, pinned(host->identity.fingerprint),
                                                      host->defaults.defaults(), 5.0));
            for (TestClient& client : clients) ASSERT_TRUE(client.recorder->waitForClosed());
        }
    }

    void garbage() {
        const Bytes junk{0x00, 0x0E, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xde, 0xad, 0xbe, 0xef};
        for (int i = 0; i < garbageStreams; ++i) {
            auto client = QuicTestPeer::connect(port, configurationFor(garbler));
            ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::ready); }));
            client->run([&](QuicConnection& c) { c.send(c.openStream(), junk, false); });
            ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::failed); }));
        }
    }

    // Every connection of the round has run its close sequence.
    void settled() {
        ASSERT_TRUE(eventually([&] { return host->status().activeSessionCount == 0; }));
        host->drain();
        host->main.sync([] {}); // what the last close left for the main actor
        // The fixture's own record of pattern numbers grows with every frame.
        host->numbers->withLock([](auto& numbers) { numbers.clear(); });
    }

    XvfbServer server{{.screens = {{800, 600}}, .windowManager = false}};
    std::optional<TestHost> host;
    std::uint16_t port = 0;
    std::optional<LocalIdentity> phone;
    TestIdentity garbler = makeIdentity();
    std::optional<LocalIdentity> stranger;
};

TEST_F(MemoryRounds, RoundsLeaveResidentMemoryAndTheHeapFlat) {
    const double start = residentMB();
    std::cout << fmt::format("resident at start: {:.1f} MB, heap {:.2f} MB\n", start, heapMB());
    // A sanitizer's allocator keeps freed memory in quarantine on purpose:
    // there a few rounds look for faults, not at glibc's arenas.
    const bool sanitized = __sanitizer_get_current_allocated_bytes != nullptr;
    std::vector<double> resident;
    std::vector<double> heap;
    for (int round = 1; round <= (sanitized ? sanitizedRounds : rounds); ++round) {
        session();
        unpaired();
        garbage();
        settled();
        if (HasFatalFailure()) return;
        resident.push_back(residentMB());
        heap.push_back(heapMB());
        std::cout << fmt::format("after round {}: resident {:.1f} MB, heap {:.2f} MB\n", round, resident.back(),
                                 heap.back());
    }
    if (sanitized) return;
    const std::vector<double> laterResident(resident.begin() + warmRounds, resident.end());
    const std::vector<double> laterHeap(heap.begin() + warmRounds, heap.end());
    const double residentKBPerRound = medianSlope(laterResident) * 1024.0;
    const double heapKBPerRound = medianSlope(laterHeap) * 1024.0;
    host->stop();
    host->drain();
    const double ended = residentMB();
    std::cout << fmt::format("resident after the sessions end: {:.1f} MB ({:+.1f} MB from the start)\n", ended,
                             ended - start);
    std::cout << fmt::format("growth per round after round {}: resident {:+.1f} kB, heap {:+.1f} kB\n", warmRounds,
                             residentKBPerRound, heapKBPerRound);
    ::testing::Test::RecordProperty("resident_start_mb", fmt::format("{:.1f}", start));
    ::testing::Test::RecordProperty("resident_round3_mb", fmt::format("{:.1f}", resident[2]));
    ::testing::Test::RecordProperty("resident_last_round_mb", fmt::format("{:.1f}", resident.back()));
    ::testing::Test::RecordProperty("resident_ended_mb", fmt::format("{:.1f}", ended));
    ::testing::Test::RecordProperty("resident_kb_per_round", fmt::format("{:.1f}", residentKBPerRound));
    ::testing::Test::RecordProperty("heap_kb_per_round", fmt::format("{:.1f}", heapKBPerRound));
    EXPECT_LE(resident.back(), 1.3 * resident[2]);
    EXPECT_LT(resident.back(), 120.0);
    EXPECT_LE(ended - start, 30.0);
    // The heap saws up and down by some 400 kB every few rounds as closed
    // connections let go; a session that leaves 100 kB behind still climbs
    // past this. Resident pages also follow the arenas' high-water mark, so
    // they only catch what grows outside malloc, and larger.
    EXPECT_LT(heapKBPerRound, 60.0);
    EXPECT_LT(residentKBPerRound, 150.0);
}

} // namespace
} // namespace quillmere::testing

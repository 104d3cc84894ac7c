// Resident memory over ten identical rounds against one host: a streamed
// session, a burst of handshakes from a device nobody paired, and control
// streams of garbage from a paired one. Freed memory must come back to the
// system rather than pile up in the allocator, round after round.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/SystemInfo/SystemInfo.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <iostream>

extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

constexpr int rounds = 10;
constexpr std::size_t framesPerSession = 120;
constexpr int unpairedHandshakes = 50;
constexpr int garbageStreams = 3;
constexpr double megabyte = 1024.0 * 1024.0;

double residentMB() { return static_cast<double>(SystemInfo().processFootprintBytes().value_or(0)) / megabyte; }

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
        host->main.sync([&] { ASSERT_TRUE(host->engine->addDevice(peer)); });
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
    }

    XvfbServer server{{.screens = {{800, 600}}, .windowManager = false}};
    std::optional<TestHost> host;
    std::uint16_t port = 0;
    std::optional<LocalIdentity> phone;
    TestIdentity garbler = makeIdentity();
    std::optional<LocalIdentity> stranger;
};

TEST_F(MemoryRounds, TenRoundsLeaveResidentMemoryFlat) {
    const double start = residentMB();
    std::cout << fmt::format("resident at start: {:.1f} MB\n", start);
    std::vector<double> after;
    for (int round = 1; round <= rounds; ++round) {
        session();
        unpaired();
        garbage();
        settled();
        if (HasFatalFailure()) return;
        after.push_back(residentMB());
        std::cout << fmt::format("resident after round {}: {:.1f} MB\n", round, after.back());
    }
    host->stop();
    host->drain();
    const double ended = residentMB();
    std::cout << fmt::format("resident after the sessions end: {:.1f} MB ({:+.1f} MB from the start)\n", ended,
                             ended - start);
    ::testing::Test::RecordProperty("resident_start_mb", fmt::format("{:.1f}", start));
    ::testing::Test::RecordProperty("resident_round3_mb", fmt::format("{:.1f}", after[2]));
    ::testing::Test::RecordProperty("resident_round10_mb", fmt::format("{:.1f}", after[9]));
    ::testing::Test::RecordProperty("resident_ended_mb", fmt::format("{:.1f}", ended));
    // A sanitizer's allocator keeps freed memory in quarantine on purpose:
    // there the rounds look for faults, not at glibc's arenas.
    if (__sanitizer_get_current_allocated_bytes) return;
    EXPECT_LE(after[9], 1.3 * after[2]);
    EXPECT_LT(after[9], 120.0);
    EXPECT_LE(ended - start, 30.0);
}

} // namespace
} // namespace quillmere::testing

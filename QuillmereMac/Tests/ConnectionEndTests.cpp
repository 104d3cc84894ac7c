// However a connection ends, whatever its surface was doing: what it
// started on the media side goes with it. A phone that loses its Wi-Fi just
// after the host approved its capture, before it acknowledged the stream's
// configuration, once left capture, encoder and threads running for ever.

#include "QuillmereMac/Tests/RecordingPoster.h"
#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <iostream>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

enum class Phase { awaitingConsent, awaitingAck, streaming, paused };
enum class End { bye, idleTimeout, peerKilled, protocolError, newerConnection, hostQuits };
constexpr const char* ends[] = {"bye", "idle timeout", "peer killed", "protocol error", "newer connection",
                                "host quits"};

constexpr std::uint32_t surface = 1;
// Both sides take the shorter of their idle timeouts.
constexpr std::uint64_t shortIdleNs = 1'000'000'000;

std::size_t threadCount() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Counts what reaches the clipboard.
class CountingPasteboard final : public PasteboardAccess {
public:
    bool write(const std::string&) override { return ++writes > 0; }
    void read(ReadDone done) override {
        ++reads;
        done("host text");
    }
    std::atomic<int> writes{0};
    std::atomic<int> reads{0};
};

// A paired phone that speaks the session by hand, so that it can stop at
// any step.
TestClient phone(const LocalIdentity& identity, const Digest32& host, std::uint16_t port, Defaults& defaults) {
    auto parameters = QUICParameters::make(std::string(WireProtocol::protocolIdentifier), identity, true,
                                           pinned(host), defaults);
    parameters.idleTimeoutNs = shortIdleNs;
    auto made = PeerConnection::make(SocketAddress::loopbackV4(port), std::move(parameters),
                                     std::string(WireProtocol::protocolIdentifier));
    if (!made) throw std::runtime_error(made.error().description);
    TestClient client;
    client.connection = *made;
    client.connection->start(client.recorder->handler());
    // What is sent before the control stream opens goes nowhere.
    EXPECT_TRUE(client.recorder->waitForEvent<peer::Ready>());
    return client;
}

void send(TestClient& client, ControlMessage message) {
    client.onQueue([&](PeerConnection& c) { c.sendControl(message); });
}

// The host has handled everything sent before.
bool roundTrip(TestClient& client) {
    const std::size_t pongs = received<msg::Pong>(*client.recorder).size();
    send(client, msg::Ping{1});
    return awaitMessage<msg::Pong>(*client.recorder, pongs, 10s).has_value();
}

class ConnectionEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        host.emplace(TestHost::Options{.pipelineDisplay = server.displayName(),
                                       .adjustPipeline = [this](MediaPipeline::Services& services) {
                                           services.pasteboard = pasteboard;
                                           services.poster = std::make_shared<RecordingPoster>();
                                           services.permission = [] { return true; };
                                       }});
        port = host->start();
        identity.emplace(host->pairThroughInvitation());
    }

    template <class F>
    auto onMain(F f) {
        decltype(f()) result{};
        host->main.sync([&] { result = f(); });
        return result;
    }
    std::size_t connections() {
        return onMain([&] { return host->transport->connectionCount() + host->transport->closingCount(); });
    }
    SurfaceTable& table() { return host->pipeline->surfaceTable(); }
    TestClient connect(std::uint16_t to) { return phone(*identity, host->identity.fingerprint, to, host->defaults.defaults()); }

    // Brings the client's surface to the phase; returns the connection the
    // media side knows it by (other than `other`), once it has a surface.
    std::weak_ptr<MediaConnection> reach(TestClient& client, Phase phase,
                                         const std::weak_ptr<MediaConnection>& other = {},
                                         std::uint32_t choice = CaptureChoice::testPatternID) {
        send(client, Hello{1, 0, PeerRole::client, WireID{}, WireID{}, "Phone"});
        send(client, Capabilities{codecs::h264, 640, 360, 30, 1, features::bit2 | features::bit6 | features::bit8, 1200});
        const bool approve = phase != Phase::awaitingConsent;
        host->main.sync([&] { host->consent->autoApproveSessions = [approve] { return approve; }; });
        send(client, msg::CaptureSelect{surface, choice});
        const auto config = approve ? awaitMessage<StreamConfig>(*client.recorder, 0, 20s) : std::nullopt;
        if (config && phase != Phase::awaitingAck) {
            send(client, msg::ConfigAck{surface, config->configGeneration});
            send(client, msg::StartStream{surface});
            EXPECT_TRUE(client.recorder->waitForEvent<peer::Datagram>(20s));
            if (phase == Phase::paused) send(client, msg::Pause{surface, true});
        }
        EXPECT_TRUE(roundTrip(client));
        EXPECT_EQ(approve, config.has_value());
        if (!approve) {
            EXPECT_FALSE(onMain([&] { return host->consent->pending().empty(); }));
        }
        std::weak_ptr<MediaConnection> owner;
        for (const auto& [key, pipeline] : table().all())
            if (key.connection.owner_before(other) || other.owner_before(key.connection)) owner = pipeline->connection();
        EXPECT_EQ(approve, !owner.expired());
        return owner;
    }

    XvfbServer server{{.screens = {{640, 360}}, .windowManager = false}};
    std::shared_ptr<CountingPasteboard> pasteboard = std::make_shared<CountingPasteboard>();
    std::optional<TestHost> host;
    std::uint16_t port = 0;
    std::optional<LocalIdentity> identity;
};

TEST_F(ConnectionEndTest, EverySurfaceAConnectionStartedStopsWhenItEnds) {
    // One stream first: the worker pool, the encoder's library and the
    // cursor watcher start what stays for the host's life.
    {
        TestClient client = connect(port);
        reach(client, Phase::streaming);
        send(client, msg::Bye{ByeReason::normal});
        ASSERT_TRUE(eventually([&] { return connections() == 0 && table().count() == 0; }, 20s));
    }
    const std::size_t threadsBefore = threadCount();
    std::size_t threadsMost = threadsBefore;
    constexpr const char* phases[] = {"awaiting consent", "awaiting acknowledgement", "streaming", "paused"};

    for (const End end : {End::bye, End::idleTimeout, End::peerKilled, End::protocolError, End::newerConnection,
                          End::hostQuits}) {
        for (const Phase phase : {Phase::awaitingConsent, Phase::awaitingAck, Phase::streaming, Phase::paused}) {
            const std::string name = fmt::format("{}, {}", ends[int(end)], phases[int(phase)]);
            SCOPED_TRACE(name);
            LossyRelay relay(port);
            std::optional<TestClient> client = connect(relay.port());
            const std::weak_ptr<MediaConnection> owner = reach(*client, phase);
            threadsMost = std::max(threadsMost, threadCount());

            const auto ending = std::chrono::steady_clock::now();
            std::optional<TestClient> newer;
            std::weak_ptr<MediaConnection> newerOwner;
            switch (end) {
            case End::bye:
                send(*client, msg::Bye{ByeReason::normal});
                client->connection->close(1.0);
                break;
            case End::idleTimeout: relay.blackHole(true); break;
            case End::peerKilled:
                // Nothing more from it, not even its close.
                relay.blackHole(true);
                client.reset();
                break;
            case End::protocolError: send(*client, msg::CaptureList{}); break;
            case End::newerConnection:
                // The same phone back on another network while the host
                // still waits on the old path, which then times out.
                newer = connect(port);
                newerOwner = reach(*newer, Phase::streaming, owner);
                relay.blackHole(true);
                break;
            case End::hostQuits: host->stop(); break;
            }

            const std::size_t left = newer ? 1 : 0;
            ASSERT_TRUE(eventually([&] { return connections() == left; }, 20s)) << connections() << " connections";
            // Its prompts went with it: nobody is asked about a session that is gone.
            EXPECT_TRUE(eventually([&] { return onMain([&] { return host->consent->pending().empty(); }); }, 5s));
            EXPECT_TRUE(eventually([&] { return owner.expired() && table().count() == left; }, 10s))
                << "the connection is still held; " << table().count() << " surfaces";
            const double releasedMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - ending).count();
            if (newer) {
                // The newer session kept its media; now it leaves too.
                EXPECT_FALSE(newerOwner.expired());
                send(*newer, msg::Bye{ByeReason::normal});
                EXPECT_TRUE(eventually([&] { return connections() == 0 && table().count() == 0; }, 10s));
            }
            EXPECT_FALSE(host->pipeline->control().controlledSurface());
            EXPECT_TRUE(eventually([&] { return !onMain([&] { return host->pipeline->cursor().watcher(); }); }));
            if (end == End::hostQuits) port = host->start();
            std::cout << fmt::format("{}: everything of it released {:.0f} ms after its end began\n", name,
                                     releasedMs);
            // What a failed row leaves behind would only confuse the next.
            if (HasFailure()) return;
        }
    }
    // Idle workers leave the pool after two seconds.
    std::size_t threadsAfter = threadCount();
    EXPECT_TRUE(eventually([&] { return (threadsAfter = threadCount()) <= threadsBefore; }, 10s));
    std::cout << fmt::format("threads: {} before the table, at most {} with a surface, {} after\n", threadsBefore,
                             threadsMost, threadsAfter);
}

// The control and clipboard prompts a connection leaves open go when it
// ends, and an approval given after the end writes and grants nothing.
TEST_F(ConnectionEndTest, ControlAndClipboardPromptsGoWithTheirConnection) {
    const struct Row {
        End end;
        bool write;
    } rows[] = {{End::bye, true}, {End::idleTimeout, false}, {End::protocolError, true},
                {End::newerConnection, false}, {End::hostQuits, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(fmt::format("{}, control and a clipboard {}", ends[int(row.end)], row.write ? "write" : "read"));
        LossyRelay relay(port);
        std::optional<TestClient> client = connect(relay.port());
        const std::weak_ptr<MediaConnection> owner =
            reach(*client, Phase::streaming, {}, CaptureChoice::displayIDBase);
        host->main.sync([&] { host->consent->autoApproveSessions = [] { return false; }; });
        send(*client, msg::InputControlRequest{});
        if (row.write)
            send(*client, msg::ClipboardPush{1, "from the phone"});
        else
            send(*client, msg::ClipboardPull{1});
        ASSERT_TRUE(eventually([&] { return onMain([&] { return host->consent->pending().size() == 2; }); }, 10s));
        const auto asked = onMain([&] { return host->consent->pending(); });

        std::optional<TestClient> newer;
        switch (row.end) {
        case End::bye: send(*client, msg::Bye{ByeReason::normal}); break;
        case End::protocolError: send(*client, msg::CaptureList{}); break;
        case End::newerConnection:
            newer = connect(port);
            reach(*newer, Phase::streaming, owner);
            [[fallthrough]];
        case End::idleTimeout: relay.blackHole(true); break;
        case End::hostQuits: host->stop(); break;
        case End::peerKilled: break;
        }
        const std::size_t left = newer ? 1 : 0;
        ASSERT_TRUE(eventually([&] { return connections() == left; }, 20s)) << connections() << " connections";
        EXPECT_TRUE(eventually([&] { return onMain([&] { return host->consent->pending().empty(); }); }, 5s));
        for (const auto& request : asked) host->main.sync([&] { host->consent->resolve(request.id, true); });
        host->main.sync([] {});
        EXPECT_EQ(pasteboard->writes + pasteboard->reads, 0);
        EXPECT_FALSE(host->pipeline->control().controlledSurface());
        EXPECT_FALSE(host->pipeline->control().injector());

        if (newer) send(*newer, msg::Bye{ByeReason::normal});
        if (row.end == End::hostQuits) port = host->start();
        ASSERT_TRUE(eventually([&] { return connections() == 0 && table().count() == 0; }, 20s));
    }
}

} // namespace
} // namespace quillmere::testing

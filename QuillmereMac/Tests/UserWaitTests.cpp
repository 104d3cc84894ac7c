// A device's request may wait a long while for the host's user, with nothing
// crossing the connection meanwhile, yet it must outlast the QUIC idle
// timeout. The idle timeout here is short, and every wait keeps the ratio it
// would have to the shipped 15 s.

#include "QuillmereMac/Tests/TestViewer.h"
#include "QuillmereTransport/Tests/SilentClient.h"
#include "TestSupport/Host/PairingClient.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

TEST(UserWait, TheUsersAnswerStillReachesADeviceThatWaitedPastTheIdleTimeout) {
    constexpr std::chrono::milliseconds idle = 600ms;
    XvfbServer server({.screens = {{640, 360}}, .windowManager = false});
    ASSERT_TRUE(server.ready()) << server.failure();
    // The hello's deadline scaled alike: every device here said hello.
    TestHost host(TestHost::Options{
        .pipelineDisplay = server.displayName(), .idleTimeoutNs = 600'000'000, .helloLimitNs = 600'000'000});
    const std::uint16_t port = host.start();
    const LocalIdentity viewerIdentity = host.pairThroughInvitation();
    host.main.sync([&] { host.consent->autoApproveSessions = [] { return false; }; });
    const auto prompts = [&] {
        std::size_t count = 0;
        host.main.sync([&] { count = host.consent->pending().size(); });
        return count;
    };

    const struct Row {
        bool pairing; // else consent to a session
        double shippedSeconds; // how long the user takes, at the shipped idle timeout
    } rows[] = {{true, 0}, {true, 14}, {true, 30}, {true, 100}, {false, 20}, {false, 50}};
    std::uint64_t seed = 0;
    for (const Row& row : rows) {
        const std::string name = fmt::format("{} after {} s", row.pairing ? "pairing" : "consent", row.shippedSeconds);
        SCOPED_TRACE(name);
        const std::string invitation = row.pairing ? host.showInvitation() : "";
        // It loses one packet in twenty, and goes last: it carries the device's close.
        LossyRelay relay(row.pairing ? Invitation::fromText(invitation)->port : port, ++seed);
        relay.setConditions({.loss = 0.05, .delay = 2ms});
        std::optional<PairingClient> phone;
        std::unique_ptr<TestViewer> viewer;
        std::uint64_t token = 0;
        if (row.pairing) {
            phone.emplace(host.keys, host.defaults.defaults(), fmt::format("pairing{}", seed), invitation,
                          "Anna's iPhone", 5.0, relay.port());
            ASSERT_TRUE(phone->ready() && phone->hello() && phone->request());
            const auto awaiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
            ASSERT_TRUE(awaiting);
            token = awaiting->token;
        } else {
            viewer = std::make_unique<TestViewer>(viewerIdentity, host.identity.fingerprint, relay.port(),
                                                  host.defaults.defaults(), TestViewer::Options{});
            ASSERT_TRUE(
                viewer->waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }));
            viewer->select(CaptureChoice::testPatternID);
            ASSERT_TRUE(eventually([&] { return prompts() == 1; }));
        }
        const auto ended = [&] {
            if (row.pairing)
                return phone->recorder().closedReason().has_value() ||
                       !std::holds_alternative<EnrollmentState::AwaitingApproval>(host.pairingState());
            return viewer->waitUntil([](const TestViewer& v) { return v.closed(); }, 0ms) || prompts() == 0;
        };
        const auto wait = idle * row.shippedSeconds / 15.0;
        ASSERT_FALSE(eventually(ended, std::chrono::duration_cast<std::chrono::milliseconds>(wait)))
            << "the request ended unanswered";

        if (row.pairing) {
            host.decide(token, true);
            const auto result = phone->result();
            ASSERT_TRUE(result);
            EXPECT_EQ(result->outcome, EnrollmentOutcome::approved);
            const auto finished = host.awaitPairing<EnrollmentState::Finished>();
            EXPECT_EQ(finished ? finished->message : "", "Anna's iPhone is paired.");
        } else {
            host.main.sync([&] { host.consent->resolve(host.consent->pending().front().id, true); });
            EXPECT_TRUE(viewer->waitUntil([](const TestViewer& v) { return v.decoded().size() >= 3; }))
                << "no pictures after the approval";
        }
        const auto up = relay.counts(LossyRelay::Direction::toServer);
        const auto down = relay.counts(LossyRelay::Direction::toClient);
        fmt::print("{}: packets to the host {} ({} lost), back {} ({} lost)\n", name, up.forwarded, up.dropped,
                   down.forwarded, down.dropped);
        viewer.reset();
        phone.reset();
        host.drain();
    }
}

// Pings keep a connection open however quiet it is: a device that never
// says hello is closed at the deadline as for any breach of the protocol
// (told why when it opened its control stream), and the pairing listener's
// one slot is free again at once. The deadline is scaled as the idle timeout
// is above, where devices that said hello outwait it.
TEST(UserWait, ADeviceThatNeverSaysHelloIsClosedAtTheDeadline) {
    constexpr std::chrono::milliseconds limit = 600ms;
    TestHost host(TestHost::Options{.helloLimitNs = 600'000'000});
    const std::uint16_t port = host.start();
    const LocalIdentity paired = host.keys.make("paired");
    host.pair(paired, "Anna's iPhone", 1);
    const auto connections = [&] {
        std::size_t count = 0;
        host.main.sync([&] { count = host.transport->connectionCount() + host.transport->closingCount(); });
        return count;
    };

    const struct Row {
        bool pairing;
        std::size_t helloBytes; // of its hello frame, never all of it
    } rows[] = {{true, 8}, {true, 0}, {false, 8}, {false, 0}};
    std::uint64_t seed = 0;
    for (const Row& row : rows) {
        const std::string name =
            fmt::format("{}, {} bytes of its hello", row.pairing ? "pairing" : "session", row.helloBytes);
        SCOPED_TRACE(name);
        const std::string text = row.pairing ? host.showInvitation() : "";
        LossyRelay relay(row.pairing ? Invitation::fromText(text)->port : port, ++seed);
        relay.setConditions({.loss = 0.05, .delay = 2ms});
        const std::string alpn(row.pairing ? WireProtocol::enrollmentProtocolIdentifier
                                           : WireProtocol::protocolIdentifier);
        const LocalIdentity identity = row.pairing ? host.keys.make(fmt::format("device{}", seed)) : paired;

        // The host accepts at the device's first packet: the deadline counts from there.
        const std::uint64_t connectedAt = Clock::nowNs();
        auto silent = SilentClient::connect(
            SocketAddress::loopbackV4(relay.port()),
            QUICParameters::make(alpn, identity, true, pinned(host.identity.fingerprint), host.defaults.defaults()),
            row.helloBytes);
        ASSERT_TRUE(silent && (*silent)->waitForHandshake());
        ASSERT_TRUE((*silent)->waitForEnd(limit + 10s));
        const auto after = std::chrono::nanoseconds(*(*silent)->endedAtNs() - connectedAt);
        std::vector<ControlMessage> told;
        // Without a control stream there is nothing to tell it on.
        if (row.helloBytes > 0)
            told.push_back(msg::Error{ErrorCode::protocolViolation,
                                      row.pairing ? "enrollment channel" : "hello required first"});
        EXPECT_EQ((*silent)->received(), told);
        EXPECT_GE(after, limit);
        EXPECT_LT(after, limit + 1500ms);
        fmt::print("{}: closed {} ms after it connected, deadline {} ms", name,
                   std::chrono::duration_cast<std::chrono::milliseconds>(after).count(), limit.count());
        if (row.pairing) {
            // The slot is free: the next device pairs.
            PairingClient next(host.keys, host.defaults.defaults(), fmt::format("next{}", seed), text);
            ASSERT_TRUE(next.ready() && next.hello() && next.request());
            EXPECT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
        } else {
            EXPECT_TRUE(eventually([&] { return connections() == 0; }));
        }
        const auto up = relay.counts(LossyRelay::Direction::toServer);
        const auto down = relay.counts(LossyRelay::Direction::toClient);
        fmt::print("; packets to the host {} ({} lost), back {} ({} lost)\n", up.forwarded, up.dropped, down.forwarded,
                   down.dropped);
    }
}

} // namespace
} // namespace quillmere::testing

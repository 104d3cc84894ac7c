// A device's request may wait a long while for the host's user: pairing up to
// its approval timeout, a consent prompt up to its own. Nothing else crosses
// the connection meanwhile, yet it must outlast the QUIC idle timeout; and a
// device that vanishes meanwhile must still be let go within about that
// timeout. The idle timeout here is short, and every wait keeps the ratio it
// would have to the shipped 15 s.

#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/PairingClient.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <iostream>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;
using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

class UserWaitTest : public ::testing::Test {
protected:
    enum class Asked { pairing, consent };
    static constexpr const char* askedNames[] = {"pairing approval", "consent"};
    static constexpr milliseconds idle = 600ms;
    static constexpr double shippedIdleSeconds = 15.0;
    // Late timers and main-actor hops on a loaded machine.
    static constexpr milliseconds slack = 300ms;

    static milliseconds scaled(double shippedSeconds) {
        return milliseconds(static_cast<std::int64_t>(shippedSeconds / shippedIdleSeconds * double(idle.count())));
    }

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        host.emplace(TestHost::Options{.pipelineDisplay = server.displayName(),
                                       .idleTimeoutNs = static_cast<std::uint64_t>(
                                           std::chrono::nanoseconds(idle).count())});
        port = host->start();
        viewerIdentity.emplace(host->pairThroughInvitation());
    }

    template <class F>
    auto onMain(F f) {
        decltype(f()) result{};
        host->main.sync([&] { result = f(); });
        return result;
    }
    std::size_t prompts() { return onMain([&] { return host->consent->pending().size(); }); }
    std::size_t connections() {
        return onMain([&] { return host->transport->connectionCount() + host->transport->closingCount(); });
    }
    bool awaitingApproval() {
        return std::holds_alternative<EnrollmentState::AwaitingApproval>(host->pairingState());
    }

    // A device asks, through a relay that loses one packet in twenty, until
    // the host's user is asked.
    void ask(Asked asked, int attempt) {
        if (asked == Asked::pairing) {
            const std::string text = host->showInvitation();
            relay.emplace(Invitation::fromText(text)->port, attempt + 1);
            relay->setConditions(link);
            phone.emplace(host->keys, host->defaults.defaults(), fmt::format("pairing{}", attempt), text,
                          "Anna's iPhone", 5.0, relay->port());
            ASSERT_TRUE(phone->ready() && phone->hello() && phone->request());
            const auto awaiting = host->awaitPairing<EnrollmentState::AwaitingApproval>();
            ASSERT_TRUE(awaiting);
            token = awaiting->token;
            return;
        }
        host->main.sync([&] { host->consent->autoApproveSessions = [] { return false; }; });
        relay.emplace(port, attempt + 1);
        relay->setConditions(link);
        viewer = std::make_unique<TestViewer>(*viewerIdentity, host->identity.fingerprint, relay->port(),
                                              host->defaults.defaults(), TestViewer::Options{});
        ASSERT_TRUE(viewer->waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }));
        viewer->select(CaptureChoice::testPatternID);
        ASSERT_TRUE(eventually([&] { return prompts() == 1; }));
    }

    // The device's request is no longer waiting: either side let go.
    bool requestEnded(Asked asked) {
        if (asked == Asked::pairing) return phone->recorder().closedReason().has_value() || !awaitingApproval();
        return viewer->waitUntil([](const TestViewer& v) { return v.closed(); }, 0ms) || prompts() == 0 ||
               connections() == 0;
    }

    // The relay goes last: it carries the device's close.
    void done() {
        viewer.reset();
        phone.reset();
        ASSERT_TRUE(eventually([&] { return connections() == 0; }));
        relay.reset();
    }

    std::string relayFigures() {
        const auto up = relay->counts(LossyRelay::Direction::toServer);
        const auto down = relay->counts(LossyRelay::Direction::toClient);
        return fmt::format("relay: {} packets to the host ({} lost), {} to the device ({} lost)", up.forwarded,
                           up.dropped, down.forwarded, down.dropped);
    }

    XvfbServer server{{.screens = {{640, 360}}, .windowManager = false}};
    std::optional<TestHost> host;
    std::uint16_t port = 0;
    std::optional<LocalIdentity> viewerIdentity;
    const LossyRelay::Conditions link{.loss = 0.05, .delay = 2ms};
    std::optional<LossyRelay> relay;
    std::optional<PairingClient> phone;
    std::unique_ptr<TestViewer> viewer;
    std::uint64_t token = 0;
};

TEST_F(UserWaitTest, TheUsersAnswerStillReachesADeviceThatWaitedPastTheIdleTimeout) {
    const struct Row {
        Asked asked;
        double shippedSeconds; // how long the user takes, at the shipped idle timeout
    } rows[] = {{Asked::pairing, 0},   {Asked::pairing, 14},  {Asked::pairing, 30},
                {Asked::pairing, 100}, {Asked::consent, 20}, {Asked::consent, 50}};
    int attempt = 0;
    for (const Row& row : rows) {
        const milliseconds wait = scaled(row.shippedSeconds);
        const std::string name = fmt::format("{} after {} s", askedNames[int(row.asked)], row.shippedSeconds);
        SCOPED_TRACE(name);
        ask(row.asked, attempt++);
        if (HasFatalFailure()) return;
        const auto asked = steady_clock::now();
        ASSERT_FALSE(eventually([&] { return requestEnded(row.asked); }, wait)) << "the request ended unanswered";
        const double answeredAfter = duration<double>(steady_clock::now() - asked).count();

        if (row.asked == Asked::pairing) {
            host->decide(token, true);
            const auto result = phone->result();
            ASSERT_TRUE(result);
            EXPECT_EQ(result->outcome, EnrollmentOutcome::approved);
            const auto finished = host->awaitPairing<EnrollmentState::Finished>();
            EXPECT_EQ(finished ? finished->message : "", "Anna's iPhone is paired.");
        } else {
            host->main.sync([&] { host->consent->resolve(host->consent->pending().front().id, true); });
            EXPECT_TRUE(viewer->waitUntil([](const TestViewer& v) { return v.decoded().size() >= 3; }))
                << "no pictures after the approval";
        }
        std::cout << fmt::format("{}: answered {:.2f} s ({:.1f} idle timeouts) after asking, {}\n", name,
                                 answeredAfter, answeredAfter / duration<double>(idle).count(), relayFigures());
        done();
    }
}

// Gone without a word (its close falls into the relay's black hole): the
// host's first keep-alive after the device's last packet restarts the idle
// timer, and nothing later does, so the host lets go within one ping
// interval (30 % of the idle timeout) and the idle timeout.
TEST_F(UserWaitTest, ADeviceThatVanishesWhileItsRequestWaitsIsLetGo) {
    const milliseconds bound = idle * 3 / 10 + idle + slack;
    int attempt = 0;
    for (const Asked asked : {Asked::pairing, Asked::consent}) {
        SCOPED_TRACE(askedNames[int(asked)]);
        ask(asked, attempt++);
        if (HasFatalFailure()) return;
        // It waited past the idle timeout first, kept alive.
        ASSERT_FALSE(eventually([&] { return requestEnded(asked); }, 2 * idle));
        relay->blackHole(true);
        const auto vanished = steady_clock::now();
        viewer.reset();
        phone.reset();
        if (asked == Asked::pairing) {
            const auto finished = host->awaitPairing<EnrollmentState::Finished>();
            EXPECT_EQ(finished ? finished->message : "", "The device disconnected before approval.");
        } else {
            EXPECT_TRUE(eventually([&] { return prompts() == 0 && connections() == 0; }));
        }
        const double letGoAfter = duration<double>(steady_clock::now() - vanished).count();
        EXPECT_LE(letGoAfter, duration<double>(bound).count());
        std::cout << fmt::format("{}: the device vanished; the host let go after {:.3f} s (idle timeout {:.1f} s, "
                                 "bound {:.1f} s)\n",
                                 askedNames[int(asked)], letGoAfter, duration<double>(idle).count(),
                                 duration<double>(bound).count());
        done();
    }
}

} // namespace
} // namespace quillmere::testing

// The server role's edge cases, driven by a raw QUIC client that can do what
// a well-behaved peer never would.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <future>
#include <iostream>

namespace quillmere {
namespace {

using testing::QuicTestPeer;
using testing::TestSessionListener;
using StreamID = QuicConnection::StreamID;
using namespace std::chrono_literals;

Bytes frameOf(const ControlMessage& message) { return *message.encodeFrame(); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A header announcing a ping with a reserved flag bit set.
const Bytes badHeader{0x00, 0x0E, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};

class PeerServerEdgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = keychain.make("host");
        trust.add(*Fingerprint::of(viewOf(rawIdentity.certificate)));
    }

    std::unique_ptr<QuicTestPeer> rawClient(std::uint16_t port, bool waitForReady = true) {
        auto client = QuicTestPeer::connect(port, testing::configurationFor(rawIdentity));
        if (waitForReady) {
            EXPECT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::ready); }));
        }
        return client;
    }

    StreamID openAndSend(QuicTestPeer& client, const Bytes& bytes, bool fin = false) {
        StreamID stream = -1;
        client.run([&](QuicConnection& c) {
            stream = c.openStream();
            c.send(stream, bytes, fin);
        });
        return stream;
    }

    testing::TestKeychain keychain;
    testing::TestDefaults defaults;
    testing::TrustSet trust;
    testing::TestIdentity rawIdentity = testing::makeIdentity();
    std::optional<LocalIdentity> host;
};

TEST_F(PeerServerEdgeTest, ABadFrameAfterGoodOnesDeliversNothingOfThatRead) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    const StreamID stream = openAndSend(*client, frameOf(testing::ping(1)));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());

    // Two good frames and a bad header, in one write and so in one read.
    client->run([&](QuicConnection& c) {
        c.send(stream, concat({frameOf(testing::ping(2)), frameOf(testing::ping(3)), badHeader}), false);
    });
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    // The flow is there although the client never sent its probe.
    EXPECT_EQ(accepted->recorder->kinds(),
              (std::vector<std::string>{"ready", "datagramFlowReady", "control:ping", "closed:protocolError"}));
    EXPECT_EQ(accepted->recorder->messages(), std::vector<ControlMessage>{testing::ping(1)});
    EXPECT_EQ(accepted->recorder->closedReason(), PeerCloseReason::protocolError(WireError::reservedBitsSet()));
    // The peer is told: a failure, not an orderly close.
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::failed); }));
}

TEST_F(PeerServerEdgeTest, FramesFollowedByTheEndOfTheStreamDeliverTheMessagesThenRemote) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    openAndSend(*client, concat({frameOf(testing::ping(1)), frameOf(msg::Pong{1, 2})}), true);
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    EXPECT_EQ(accepted->recorder->kinds(),
              (std::vector<std::string>{"ready", "datagramFlowReady", "control:ping", "control:pong", "closed:remote"}));
}

TEST_F(PeerServerEdgeTest, ASecondStreamIsCancelledAndTheFirstStaysTheControlStream) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    const StreamID control = openAndSend(*client, frameOf(testing::ping(1)));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());

    const StreamID second = openAndSend(*client, frameOf(testing::ping(2)));
    ASSERT_TRUE(client->waitUntil([&] { return client->failedStreams.contains(second); }));
    client->run([&](QuicConnection& c) { c.send(control, frameOf(testing::ping(3)), false); });
    ASSERT_TRUE(accepted->recorder->waitFor([](const auto& events) { return events.size() >= 4; }));
    EXPECT_EQ(accepted->recorder->messages(), (std::vector<ControlMessage>{testing::ping(1), testing::ping(3)}));
    EXPECT_FALSE(accepted->connection->isClosed());
}

TEST_F(PeerServerEdgeTest, TheProbeIsNeverDeliveredNorCountedButLongerDatagramsAre) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    client->run([](QuicConnection& c) {
        c.sendDatagram(Bytes{'Q', 'D', 'G', '1'});
        c.sendDatagram(Bytes{'Q', 'D', 'G', '1', '!'});
        c.sendDatagram(Bytes{'Q', 'D', 'G', '1'});
        c.sendDatagram(Bytes{'A', 'B', 'C', 'D'});
    });
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitFor([](const auto& events) { return events.size() >= 3; }));
    // The flow showed up with the client's first datagram, before any stream.
    EXPECT_EQ(accepted->recorder->kinds(), (std::vector<std::string>{"datagramFlowReady", "datagram:5", "datagram:4"}));
    EXPECT_EQ(accepted->recorder->datagrams(),
              (std::vector<Bytes>{{'Q', 'D', 'G', '1', '!'}, {'A', 'B', 'C', 'D'}}));
    EXPECT_EQ(accepted->connection->datagramsReceived(), 2);
}

TEST_F(PeerServerEdgeTest, AResetControlStreamFailsTheConnection) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    const StreamID control = openAndSend(*client, frameOf(testing::ping(1)));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());
    client->run([&](QuicConnection& c) { c.cancelStream(control, 5); });
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    const auto reason = accepted->recorder->closedReason();
    EXPECT_EQ(reason->kind(), PeerCloseReason::Kind::failed);
    EXPECT_NE(reason->text().find("(application error 5)"), std::string::npos) << reason->text();
}

TEST_F(PeerServerEdgeTest, AClientThatOpensNoStreamMeetsTheHandshakeTimeout) {
    TestSessionListener server(*host, trust, defaults.defaults(), std::nullopt, false);
    auto client = rawClient(server.waitForPort(), false);
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    accepted->connection->setHandshakeTimeout(0.3);
    const auto startNs = Clock::nowNs();
    accepted->connection->start(accepted->recorder->handler());
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    EXPECT_GE(accepted->recorder->closedAtNs() - startNs, 300'000'000u);
    EXPECT_EQ(accepted->recorder->closedReason(), PeerCloseReason::failed("handshake timeout"));
    EXPECT_EQ(accepted->recorder->kinds(), std::vector<std::string>{"closed:failed"});
}

TEST_F(PeerServerEdgeTest, ACancelledConnectionThatNeverStartedDeliversNothing) {
    TestSessionListener server(*host, trust, defaults.defaults(), std::nullopt, false);
    auto client = rawClient(server.waitForPort(), false);
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    accepted->connection->cancel();
    accepted->connection->start(accepted->recorder->handler());
    EXPECT_TRUE(accepted->connection->isClosed());
    // The client is told at once rather than left to time out.
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::cancelled); }));
    EXPECT_FALSE(client->hasState(QuicConnection::State::ready));
    EXPECT_TRUE(accepted->recorder->events().empty());
}

TEST_F(PeerServerEdgeTest, CloseWithGraceEndsShortlyAfterTheFinalMessageWentOut) {
    constexpr double grace = 5.0;
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    const StreamID control = openAndSend(*client, frameOf(testing::ping(1)));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());

    const auto startNs = Clock::nowNs();
    accepted->connection->close(grace);
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    const auto elapsedNs = accepted->recorder->closedAtNs() - startNs;
    EXPECT_GE(elapsedNs, 100'000'000u);
    // Well before the grace is up, however loaded the machine.
    EXPECT_LT(elapsedNs, static_cast<std::uint64_t>(grace * 0.5e9));
    EXPECT_EQ(accepted->recorder->closedReason(), PeerCloseReason::local());
    // The peer saw the end of the control stream, then an orderly close.
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::cancelled); }));
    std::lock_guard lock(client->mutex);
    EXPECT_TRUE(client->finished[control]);
}

// The final message cannot go out while the client acknowledges nothing (its
// queue is held): messages ahead of it fill what may be in flight, so only
// the grace timer can end the close.
TEST_F(PeerServerEdgeTest, AGraceShorterThanTheFinalDelayEndsByTheGraceTimer) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = rawClient(server.waitForPort());
    openAndSend(*client, frameOf(testing::ping(1)));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());

    struct Hold {
        std::promise<void> release;
        ~Hold() { release.set_value(); }
    } hold;
    client->queue->async([released = hold.release.get_future().share()] { released.wait(); });
    for (int i = 0; i < 8; ++i) accepted->connection->sendControl(msg::ClipboardPush{1, std::string(30'000, 'x')});

    const auto startNs = Clock::nowNs();
    accepted->connection->close(0.03);
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    EXPECT_GE(accepted->recorder->closedAtNs() - startNs, 30'000'000u);
    EXPECT_EQ(accepted->recorder->closedReason(), PeerCloseReason::local());
}

// Starts an accepted connection that answers pings as the host does.
void answerPings(const TestSessionListener::Accepted& accepted) {
    std::weak_ptr<PeerConnection> weak = accepted.connection;
    accepted.connection->start([weak, record = accepted.recorder->handler()](const PeerEvent& event) {
        const auto* control = std::get_if<peer::Control>(&event);
        const auto* ping = control ? control->message.as<msg::Ping>() : nullptr;
        const auto connection = weak.lock();
        if (ping && connection) connection->sendControl(msg::Pong{ping->senderTimeNs, 1});
        else record(event);
    });
}

// Pings from a peer that never reads the pongs: they wait on its control
// stream until the bound, then the connection ends. Another peer pinging
// all along is answered throughout and stays.
TEST_F(PeerServerEdgeTest, APeerThatStopsReadingIsLetGoPastTheBoundAndAnotherGoesOn) {
    constexpr std::size_t pongBytes = 24;
    constexpr auto bound = static_cast<std::int64_t>(PeerConnection::maxQueuedControlBytes);
    TestSessionListener server(*host, trust, defaults.defaults(), std::nullopt, false);
    auto configuration = testing::configurationFor(rawIdentity);
    configuration.streamWindow = 16 * 1024;
    auto flooder = QuicTestPeer::connect(server.waitForPort(), configuration);
    auto flooding = server.waitForConnection(0);
    ASSERT_TRUE(flooding);
    answerPings(*flooding);
    auto other = rawClient(server.waitForPort(), false);
    auto answering = server.waitForConnection(1);
    ASSERT_TRUE(answering);
    answerPings(*answering);
    ASSERT_TRUE(flooder->waitUntil([&] { return flooder->hasState(QuicConnection::State::ready); }));
    StreamID flooded = -1;
    flooder->run([&](QuicConnection& c) { c.pauseReading(flooded = c.openStream(), true); });
    const StreamID pinging = openAndSend(*other, frameOf(testing::ping(0)));

    Bytes pings;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        const Bytes ping = frameOf(testing::ping(i));
        pings.insert(pings.end(), ping.begin(), ping.end());
    }
    const std::uint64_t startNs = Clock::nowNs();
    std::size_t rounds = 0;
    while (!flooder->waitUntil([&] { return flooder->hasState(QuicConnection::State::failed); }, 1ms) &&
           rounds < 20'000) {
        flooder->run([&](QuicConnection& c) { c.send(flooded, pings, false); });
        other->run([&](QuicConnection& c) { c.send(pinging, frameOf(testing::ping(++rounds)), false); });
    }
    ASSERT_TRUE(flooding->recorder->waitForClosed());
    const std::int64_t sent = flooding->connection->controlBytesSent();
    std::lock_guard lock(flooder->mutex);
    const auto delivered = static_cast<std::int64_t>(flooder->received[flooded].size());
    std::cout << fmt::format("closed {:.2f} s into the flood: {} bytes of pongs sent, {} delivered, {} queued (bound "
                             "{}); {} pings of the other peer meanwhile\n",
                             static_cast<double>(flooding->recorder->closedAtNs() - startNs) / 1e9, sent, delivered,
                             sent - delivered, bound, rounds);
    EXPECT_EQ(flooding->recorder->closedReason(), PeerCloseReason::stoppedReading());
    EXPECT_GT(sent, bound);
    EXPECT_LE(sent, bound + static_cast<std::int64_t>(configuration.streamWindow + pongBytes));
    EXPECT_NE(flooder->errors.back().description.find("the peer stopped reading its control stream"), std::string::npos);
    EXPECT_TRUE(other->waitUntil([&] { return other->received[pinging].size() == (rounds + 1) * pongBytes; }));
    EXPECT_FALSE(answering->connection->isClosed());
}

} // namespace
} // namespace quillmere

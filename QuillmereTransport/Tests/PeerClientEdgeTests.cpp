// The client role's edge cases, and what both roles share: datagram batches,
// closing, and the order of events.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/Quic/UdpEndpoint.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere {
namespace {

using testing::PeerRecorder;
using testing::QuicTestServer;
using testing::TestClient;
using testing::TestSessionListener;

// A loopback UDP port with nothing behind it: the kernel answers with ICMP.
std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class PeerClientEdgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = keychain.make("host");
        phone = keychain.make("phone");
        trust.add(phone->fingerprint);
    }

    // A paired client with both flows ready, and its server side.
    struct Session {
        TestClient client;
        TestSessionListener::Accepted server;
    };
    // Listens as the host and returns a paired session with it.
    Session connected() {
        listener.emplace(*host, trust, defaults.defaults());
        Session session;
        session.client = TestClient::connect(listener->waitForPort(), *phone, testing::pinned(host->fingerprint),
                                             defaults.defaults());
        EXPECT_TRUE(session.client.recorder->waitForEvent<peer::DatagramFlowReady>());
        session.client.connection->sendControl(testing::ping(0));
        auto accepted = listener->waitForConnection(0);
        EXPECT_TRUE(accepted);
        if (accepted) {
            session.server = *accepted;
            EXPECT_TRUE(session.server.recorder->waitForEvent<peer::Control>());
        }
        return session;
    }

    // A client of a port with nothing behind it.
    TestClient unanswered(double handshakeTimeout = PeerConnection::defaultHandshakeTimeout) {
        return TestClient::connect(closedPort(), *phone, testing::pinned(host->fingerprint), defaults.defaults(),
                                   handshakeTimeout);
    }

    testing::TestKeychain keychain;
    testing::TestDefaults defaults;
    testing::TrustSet trust;
    std::optional<LocalIdentity> host;
    std::optional<LocalIdentity> phone;
    std::optional<TestSessionListener> listener;
};

TEST_F(PeerClientEdgeTest, ADatagramFlowReadyBeforeTheControlStreamIsDeliveredFirst) {
    // A server that grants the client no stream until told to.
    const auto serverIdentity = testing::makeIdentity();
    auto configuration = testing::configurationFor(serverIdentity);
    configuration.maxIncomingStreams = 0;
    QuicTestServer server(configuration);
    const Digest32 serverFingerprint = *Fingerprint::of(viewOf(serverIdentity.certificate));
    auto client = TestClient::connect(server.port(), *phone, testing::pinned(serverFingerprint), defaults.defaults());
    ASSERT_TRUE(client.recorder->waitForEvent<peer::DatagramFlowReady>());
    EXPECT_EQ(client.recorder->kinds(), std::vector<std::string>{"datagramFlowReady"});

    auto* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    // The client announced its flow with the probe.
    ASSERT_TRUE(accepted->waitUntil([&] { return !accepted->datagrams.empty(); }));
    {
        std::lock_guard lock(accepted->mutex);
        EXPECT_EQ(accepted->datagrams.front(), (Bytes{'Q', 'D', 'G', '1'}));
    }
    accepted->run([](QuicConnection& c) { c.allowPeerStreams(1); });
    ASSERT_TRUE(client.recorder->waitForEvent<peer::Ready>());
    EXPECT_EQ(client.recorder->kinds(), (std::vector<std::string>{"datagramFlowReady", "ready"}));
    EXPECT_EQ(client.recorder->readyFingerprint(), std::optional<Digest32>(serverFingerprint));
}

TEST_F(PeerClientEdgeTest, SocketErrorsWhileConnectingWaitForTheHandshakeTimeout) {
    const auto startNs = Clock::nowNs();
    auto client = unanswered(0.3);
    ASSERT_TRUE(client.recorder->waitForClosed());
    EXPECT_GE(client.recorder->closedAtNs() - startNs, 300'000'000u);
    EXPECT_EQ(client.recorder->kinds(), std::vector<std::string>{"closed:failed"});
    EXPECT_EQ(client.recorder->closedReason(), PeerCloseReason::failed("handshake timeout"));
}

TEST_F(PeerClientEdgeTest, CloseBeforeTheControlStreamEndsAtOnce) {
    auto client = unanswered();
    const auto startNs = Clock::nowNs();
    client.connection->close(5.0);
    ASSERT_TRUE(client.recorder->waitForClosed(std::chrono::seconds(2)));
    EXPECT_LT(client.recorder->closedAtNs() - startNs, 1'000'000'000u);
    EXPECT_EQ(client.recorder->closedReason(), PeerCloseReason::local());
}

TEST_F(PeerClientEdgeTest, DatagramBatchesReportOnceAndCountEveryDatagram) {
    auto session = connected();
    std::vector<bool> results;
    session.client.onQueue([&](PeerConnection& c) {
        c.sendDatagrams({Bytes{1}, Bytes{2, 2}, Bytes{3, 3, 3}}, [&](bool sent) { results.push_back(sent); });
        c.sendDatagrams({}, [&](bool sent) { results.push_back(sent); });
    });
    ASSERT_TRUE(session.server.recorder->waitFor([](const auto& events) {
        int count = 0;
        for (const auto& e : events) count += std::holds_alternative<peer::Datagram>(e);
        return count == 3;
    }));
    session.client.onQueue([](PeerConnection&) {}); // completions have run
    EXPECT_EQ(results, (std::vector<bool>{true, true}));
    EXPECT_EQ(session.client.connection->datagramsSent(), 3);
    EXPECT_EQ(session.server.connection->datagramsReceived(), 3);
    auto sizes = session.server.recorder->datagrams();
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<Bytes>{{1}, {2, 2}, {3, 3, 3}}));
}

TEST_F(PeerClientEdgeTest, WithoutADatagramFlowSendsReportFalseAndCountNothing) {
    auto client = unanswered();
    std::vector<bool> results;
    client.onQueue([&](PeerConnection& c) {
        c.sendDatagram(Bytes{1}, [&](bool sent) { results.push_back(sent); });
        c.sendDatagrams({Bytes{1}}, [&](bool sent) { results.push_back(sent); });
        c.sendDatagrams({}, [&](bool sent) { results.push_back(sent); });
        EXPECT_EQ(c.usableDatagramSize(), 0);
    });
    EXPECT_EQ(results, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(client.connection->datagramsSent(), 0);
}

TEST_F(PeerClientEdgeTest, ADatagramLargerThanTheUsableSizeIsRefused) {
    auto session = connected();
    // No packet a peer takes holds a datagram of the packet's whole size.
    constexpr std::size_t neverFits = UdpEndpoint::maxDatagramSize;
    std::vector<Bytes> sent;
    bool settled = false;
    // Datagrams are judged as they leave, at the end of the turn, and path
    // MTU discovery may raise the usable size before then: the boundary is
    // judged on a try over which the size held still.
    for (int attempt = 0; attempt < 10 && !settled; ++attempt) {
        std::int64_t before = 0;
        std::int64_t after = 0;
        std::vector<bool> results;
        session.client.onQueue([&](PeerConnection& c) {
            before = c.usableDatagramSize();
            const auto record = [&](bool ok) { results.push_back(ok); };
            c.sendDatagram(Bytes(static_cast<std::size_t>(before), 7), record);
            c.sendDatagram(Bytes(static_cast<std::size_t>(before) + 1, 8), record);
            c.sendDatagram(Bytes(neverFits, 9), record);
        });
        ASSERT_GE(before, 1100);
        ASSERT_TRUE(testing::eventually([&] {
            std::size_t told = 0;
            session.client.onQueue([&](PeerConnection& c) {
                told = results.size();
                after = c.usableDatagramSize();
            });
            return told == 3;
        }));
        settled = after == before;
        EXPECT_TRUE(results[0]);
        if (settled) {
            EXPECT_FALSE(results[1]);
        }
        EXPECT_FALSE(results[2]);
        if (results[0]) sent.push_back(Bytes(static_cast<std::size_t>(before), 7));
        if (results[1]) sent.push_back(Bytes(static_cast<std::size_t>(before) + 1, 8));
    }
    EXPECT_TRUE(settled);
    ASSERT_TRUE(testing::eventually([&] { return session.server.recorder->datagrams().size() >= sent.size(); }));
    EXPECT_EQ(session.server.recorder->datagrams(), sent);
}

TEST_F(PeerClientEdgeTest, AMessageThatCannotBeEncodedClosesWithAProtocolError) {
    auto session = connected();
    Hello hello;
    hello.major = 1;
    hello.name = std::string(65, 'n');
    const auto expected = ControlMessage(hello).encodeFrame();
    ASSERT_FALSE(expected);
    session.client.connection->sendControl(hello);
    ASSERT_TRUE(session.client.recorder->waitForClosed());
    EXPECT_EQ(session.client.recorder->closedReason(), PeerCloseReason::protocolError(expected.error()));
    EXPECT_EQ(session.client.connection->controlBytesSent(),
              static_cast<std::int64_t>(ControlMessage(testing::ping(0)).encodeFrame()->size()));
    // The server hears of a failure, not of an orderly end.
    ASSERT_TRUE(session.server.recorder->waitForClosed());
    EXPECT_EQ(session.server.recorder->closedReason()->kind(), PeerCloseReason::Kind::failed);
}

TEST_F(PeerClientEdgeTest, CancelIsLocalHereAndRemoteThereAndClosedComesLastAndOnce) {
    auto session = connected();
    session.client.connection->cancel();
    ASSERT_TRUE(session.client.recorder->waitForClosed());
    ASSERT_TRUE(session.server.recorder->waitForClosed());
    EXPECT_EQ(session.client.recorder->closedReason(), PeerCloseReason::local());
    EXPECT_EQ(session.server.recorder->closedReason(), PeerCloseReason::remote());
    // Late traffic and timers find both closed.
    session.server.connection->sendControl(testing::ping(1));
    session.client.connection->sendControl(testing::ping(2));
    EXPECT_TRUE(session.client.connection->isClosed());
    EXPECT_TRUE(session.server.connection->isClosed());
    // Whatever the sends set off on either side's queue has run after these.
    session.server.connection->queue().sync([] {});
    session.client.connection->queue().sync([] {});
    EXPECT_EQ(session.client.recorder->eventsAfterClosed(), 0);
    EXPECT_EQ(session.server.recorder->eventsAfterClosed(), 0);
    EXPECT_EQ(session.client.recorder->kinds().back(), "closed:local");
}

TEST_F(PeerClientEdgeTest, APeersGracefulCloseEndsThisSideAsRemote) {
    auto session = connected();
    session.server.connection->sendControl(msg::Bye{ByeReason::normal});
    session.server.connection->close(1.0);
    ASSERT_TRUE(session.client.recorder->waitForClosed());
    EXPECT_EQ(session.client.recorder->kinds(),
              (std::vector<std::string>{"ready", "datagramFlowReady", "control:bye", "closed:remote"}));
    ASSERT_TRUE(session.server.recorder->waitForClosed());
}

} // namespace
} // namespace quillmere

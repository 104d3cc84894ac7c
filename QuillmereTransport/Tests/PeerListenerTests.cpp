// The listener: its port, many clients on one socket, stopping, and the
// service class of its socket.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::TestClient;
using testing::TestSessionListener;

class PeerListenerTest : public testing::PairedPeersTest {};

TEST_F(PeerListenerTest, PortZeroReportsThePortTheSystemChoseOnTheListenerQueue) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto port = server.waitForPort();
    EXPECT_NE(port, 0);
    EXPECT_EQ(server.listener->port(), std::optional<std::uint16_t>(port));
    EXPECT_EQ(server.eventQueues(), std::vector<std::string>{"com.ornbeck.quillmeretransport.listener"});
}

TEST_F(PeerListenerTest, APortInUseFailsTheCreation) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto parameters = QUICParameters::make("quillmere/1", *host, true, trust.decision(), defaults.defaults());
    auto second = PeerListener::make(parameters, "quillmere/1", server.waitForPort(), std::nullopt);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().code, EADDRINUSE);
}

TEST_F(PeerListenerTest, ManyClientsShareTheSocketEachWithItsOwnConnection) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto port = server.waitForPort();
    constexpr int clientCount = 4;
    std::vector<TestClient> clients;
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(TestClient::connect(port, *phone, testing::pinned(host->fingerprint), defaults.defaults()));
    }
    for (int i = 0; i < clientCount; ++i) {
        ASSERT_TRUE(clients[i].recorder->waitForEvent<peer::DatagramFlowReady>());
        clients[i].connection->sendControl(testing::ping(100 + i));
        clients[i].onQueue([i](PeerConnection& c) { c.sendDatagram(Bytes(10 + i, static_cast<std::uint8_t>(i))); });
    }
    // Each server connection gets exactly its own client's message and datagram.
    std::set<std::uint64_t> pings;
    for (int i = 0; i < clientCount; ++i) {
        auto accepted = server.waitForConnection(i);
        ASSERT_TRUE(accepted);
        ASSERT_TRUE(accepted->recorder->waitFor([](const auto& events) {
            return testing::PeerRecorder::has<peer::Control>(events) &&
                   testing::PeerRecorder::has<peer::Datagram>(events);
        }));
        const auto messages = accepted->recorder->messages();
        ASSERT_EQ(messages.size(), 1u);
        const auto time = messages[0].as<msg::Ping>()->senderTimeNs;
        pings.insert(time);
        const auto index = static_cast<std::size_t>(time - 100);
        EXPECT_EQ(accepted->recorder->datagrams(), std::vector<Bytes>{Bytes(10 + index, static_cast<std::uint8_t>(index))});
        accepted->connection->sendControl(msg::Pong{time, 0});
    }
    EXPECT_EQ(pings.size(), static_cast<std::size_t>(clientCount));
    for (int i = 0; i < clientCount; ++i) {
        ASSERT_TRUE(clients[i].recorder->waitForEvent<peer::Control>());
        EXPECT_EQ(clients[i].recorder->messages(), (std::vector<ControlMessage>{msg::Pong{100u + i, 0}}));
    }
}

TEST_F(PeerListenerTest, AfterStopNewClientsGetNoConnectionWhileAcceptedOnesKeepWorking) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto port = server.waitForPort();
    auto early = TestClient::connect(port, *phone, testing::pinned(host->fingerprint), defaults.defaults());
    ASSERT_TRUE(early.recorder->waitForEvent<peer::DatagramFlowReady>());
    early.connection->sendControl(testing::ping(1));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());

    server.listener->stop();
    EXPECT_EQ(server.listener->port(), std::nullopt);
    auto late = TestClient::connect(port, *phone, testing::pinned(host->fingerprint), defaults.defaults());
    ASSERT_TRUE(late.recorder->waitForClosed(std::chrono::seconds(2)));
    EXPECT_EQ(late.recorder->closedReason(), PeerCloseReason::failed("connection closed by the peer: transport error 0x2"));
    EXPECT_EQ(server.connectionCount(), 1u);

    early.connection->sendControl(testing::ping(2));
    accepted->connection->queue().sync([&] { accepted->connection->sendDatagram(Bytes{4, 2}); });
    ASSERT_TRUE(accepted->recorder->waitFor([](const auto& events) { return events.size() >= 4; }));
    EXPECT_EQ(accepted->recorder->messages(), (std::vector<ControlMessage>{testing::ping(1), testing::ping(2)}));
    ASSERT_TRUE(early.recorder->waitForEvent<peer::Datagram>());
}

TEST_F(PeerListenerTest, WiFiPriorityMarksTheSocketForInteractiveVideo) {
    {
        TestSessionListener server(*host, trust, defaults.defaults());
        EXPECT_EQ(server.listener->trafficClass(), 0);
    }
    defaults.defaults().setValue(QUICParameters::wifiPriorityKey, true);
    TestSessionListener server(*host, trust, defaults.defaults());
    EXPECT_EQ(server.listener->trafficClass(), 34 << 2);
    // Clients built with the setting carry it too, and still connect.
    auto client = TestClient::connect(server.waitForPort(), *phone, testing::pinned(host->fingerprint), defaults.defaults());
    ASSERT_TRUE(client.recorder->waitForEvent<peer::Ready>());
}

TEST(QUICParametersTest, TheServiceClassFollowsTheSettingReadAfreshEachTime) {
    testing::TestDefaults defaults;
    EXPECT_EQ(QUICParameters::serviceClass(defaults.defaults()), QUICParameters::ServiceClass::bestEffort);
    defaults.defaults().setValue(QUICParameters::wifiPriorityKey, true);
    EXPECT_EQ(QUICParameters::serviceClass(defaults.defaults()), QUICParameters::ServiceClass::interactiveVideo);
    defaults.defaults().setValue(QUICParameters::wifiPriorityKey, "no");
    EXPECT_EQ(QUICParameters::serviceClass(defaults.defaults()), QUICParameters::ServiceClass::bestEffort);
}

TEST(QUICParametersTest, BothDecisionsRefuseAnAbsentFingerprintOnTheVerifyQueue) {
    testing::TestKeychain keychain;
    testing::TestDefaults defaults;
    const auto host = keychain.make("host");
    std::vector<std::string> queues;
    bool askedWithNothing = false;
    auto parameters = QUICParameters::make("quillmere-enroll/1", host, true,
                                           [&](const std::optional<Digest32>& fingerprint) {
                                               queues.push_back(SerialQueue::currentLabel());
                                               askedWithNothing = !fingerprint.has_value();
                                               return fingerprint.has_value();
                                           },
                                           defaults.defaults());
    const Bytes garbage{1, 2, 3};
    const std::vector<ByteView> chain{viewOf(garbage)};
    EXPECT_FALSE(parameters.peerCheck(chain));
    EXPECT_TRUE(askedWithNothing);
    EXPECT_FALSE(parameters.peerCheck({}));
    const std::vector<ByteView> hostChain{viewOf(host.certificate.der())};
    EXPECT_TRUE(parameters.peerCheck(hostChain));
    EXPECT_EQ(queues, std::vector<std::string>(3, "com.ornbeck.quillmeretransport.verify"));
    EXPECT_EQ(parameters.alpn, "quillmere-enroll/1");
    EXPECT_EQ(parameters.maxDatagramFrameSize, 65535u);
    EXPECT_EQ(parameters.idleTimeoutNs, 15'000'000'000u);
}

} // namespace
} // namespace quillmere

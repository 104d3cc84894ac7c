// Real QUIC on loopback: handshake, one stream each way, datagrams, and the
// ways a connection ends.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/Quic/UdpEndpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>

namespace quillmere {
namespace {

using testing::QuicTestPeer;
using testing::QuicTestServer;
using State = QuicConnection::State;

Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 31 + seed) % 251);
    return bytes;
}

class QuicConnectionTest : public ::testing::Test {
protected:
    testing::TestIdentity serverIdentity = testing::makeIdentity();
    testing::TestIdentity clientIdentity = testing::makeIdentity();
};

TEST_F(QuicConnectionTest, ExchangesStreamBytesAndDatagramsBothWays) {
    std::atomic<int> serverChecks{0};
    Bytes seenByServer;
    std::mutex seenMutex;
    auto serverConfiguration = testing::configurationFor(serverIdentity, [&](std::span<const ByteView> chain) {
        std::lock_guard lock(seenMutex);
        ++serverChecks;
        if (!chain.empty()) seenByServer.assign(chain.front().begin(), chain.front().end());
        return true;
    });
    QuicTestServer server(serverConfiguration);
    ASSERT_TRUE(server.listener);
    auto client = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));

    QuicConnection::StreamID stream = -1;
    client->run([&](QuicConnection& c) {
        stream = c.openStream();
        c.openDatagramFlow();
    });
    ASSERT_TRUE(client->waitUntil([&] { return !client->readyStreams.empty() && !client->datagramFlowSizes.empty(); }));
    const Bytes request = pattern(300'000, 1);
    client->run([&](QuicConnection& c) {
        c.send(stream, request, true);
        c.sendDatagram(Bytes{'p', 'i', 'n', 'g'});
    });

    QuicTestPeer* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(accepted->waitUntil([&] { return accepted->finished[stream] && !accepted->datagrams.empty(); }));
    {
        std::lock_guard lock(accepted->mutex);
        EXPECT_EQ(accepted->received[stream], request);
        EXPECT_EQ(accepted->peerStreams, std::vector<QuicConnection::StreamID>{stream});
        EXPECT_EQ(accepted->datagramFlowSizes.size(), 1u);
        EXPECT_EQ(accepted->datagrams.front(), (Bytes{'p', 'i', 'n', 'g'}));
    }
    {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(seenByServer, clientIdentity.certificate);
    }

    const Bytes reply = pattern(70'000, 2);
    accepted->run([&](QuicConnection& c) {
        c.send(stream, reply, true);
        c.sendDatagram(Bytes{'p', 'o', 'n', 'g'});
    });
    ASSERT_TRUE(client->waitUntil([&] { return client->finished[stream] && !client->datagrams.empty(); }));
    std::lock_guard lock(client->mutex);
    EXPECT_EQ(client->received[stream], reply);
    EXPECT_EQ(client->datagrams.front(), (Bytes{'p', 'o', 'n', 'g'}));
    std::vector<Bytes> chain;
    client->queue->sync([&] { chain = client->connection->peerCertificates(); });
    ASSERT_FALSE(chain.empty());
    EXPECT_EQ(chain.front(), serverIdentity.certificate);
}

} // namespace
} // namespace quillmere

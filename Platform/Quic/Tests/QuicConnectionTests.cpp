// Real QUIC on loopback: handshake, one stream each way, datagrams, and the
// ways a connection ends.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/Quic/UdpEndpoint.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/LossyRelay.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

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
        // Small datagrams share a packet, and on arrival its buffer.
        c.sendDatagram(Bytes{'p', 'i', 'n', 'g'});
        c.sendDatagram(Bytes{'t', 'w', 'o'});
        c.sendDatagram(Bytes{'3'});
    });

    QuicTestPeer* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(accepted->waitUntil([&] { return accepted->finished[stream] && accepted->datagrams.size() == 3; }));
    {
        std::lock_guard lock(accepted->mutex);
        EXPECT_EQ(accepted->received[stream], request);
        EXPECT_EQ(accepted->peerStreams, std::vector<QuicConnection::StreamID>{stream});
        EXPECT_EQ(accepted->datagramFlowSizes.size(), 1u);
        EXPECT_EQ(accepted->datagrams, (std::vector<Bytes>{{'p', 'i', 'n', 'g'}, {'t', 'w', 'o'}, {'3'}}));
    }
    {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(seenByServer, clientIdentity.certificate);
    }

    const Bytes reply = pattern(70'000, 2);
    accepted->run([&](QuicConnection& c) {
        c.send(stream, reply, true);
        // A slice of a shared buffer goes out as the slice, not the buffer.
        c.sendDatagram(SharedBytes(Bytes{'[', 'p', 'o', 'n', 'g', ']'}).slice(1, 4));
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

TEST_F(QuicConnectionTest, CarriesManyTimesTheFlowControlWindowsInOrder) {
    QuicTestServer server(testing::configurationFor(serverIdentity));
    auto client = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));
    const Bytes payload = pattern(24 * 1024 * 1024, 5); // three connection windows
    QuicConnection::StreamID stream = -1;
    client->run([&](QuicConnection& c) {
        stream = c.openStream();
        for (std::size_t offset = 0; offset < payload.size(); offset += 1024 * 1024) {
            c.send(stream, Bytes(payload.begin() + offset, payload.begin() + offset + 1024 * 1024),
                   offset + 1024 * 1024 == payload.size());
        }
    });
    QuicTestPeer* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(accepted->waitUntil([&] { return accepted->finished[stream]; }, std::chrono::seconds(30)));
    std::lock_guard lock(accepted->mutex);
    EXPECT_TRUE(accepted->received[stream] == payload);
}

TEST_F(QuicConnectionTest, DatagramsHeldBackByCongestionControlAreSentLaterNotDropped) {
    QuicTestServer server(testing::configurationFor(serverIdentity));
    auto client = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));
    constexpr int count = 600; // far beyond the initial congestion window
    std::atomic<int> delivered{0};
    client->run([&](QuicConnection& c) {
        for (int i = 0; i < count; ++i) {
            c.sendDatagram(Bytes(1000, static_cast<std::uint8_t>(i)), [&](bool sent) { delivered += sent ? 1 : 0; });
        }
    });
    QuicTestPeer* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(accepted->waitUntil([&] { return accepted->datagrams.size() == count; }));
    client->run([](QuicConnection&) {});
    EXPECT_EQ(delivered.load(), count);
}

// Behind a link gone dark the window fills and the rest must wait: what
// waits past its age is refused and counted, never sent once the link is
// back; what is sent afterwards arrives.
TEST_F(QuicConnectionTest, DatagramsThatWaitedPastTheirAgeAreDroppedAndCounted) {
    QuicTestServer server(testing::configurationFor(serverIdentity));
    testing::LossyRelay relay(server.port());
    auto client = QuicTestPeer::connect(relay.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));
    QuicTestPeer* accepted = server.waitForPeer(0);
    ASSERT_NE(accepted, nullptr);
    constexpr int count = 300; // far beyond the initial congestion window
    std::atomic<int> sent{0};
    std::atomic<int> refused{0};
    QuicConnection::StreamID stream = -1;
    client->run([&](QuicConnection& c) { stream = c.openStream(); });
    relay.blackHole(true);
    client->run([&](QuicConnection& c) {
        c.setDatagramMaxAge(20'000'000);
        for (int i = 0; i < count; ++i)
            c.sendDatagram(Bytes(1000, 1), [&](bool ok) { (ok ? sent : refused) += 1; });
    });
    ASSERT_TRUE(testing::eventually([&] { return sent + refused == count; }));
    std::uint64_t expired = 0;
    client->run([&](QuicConnection& c) { expired = c.datagramsExpired(); });
    EXPECT_GT(refused.load(), count / 2);
    EXPECT_EQ(expired, static_cast<std::uint64_t>(refused.load()));

    relay.blackHole(false);
    client->run([&](QuicConnection& c) {
        // Stream data arms the probe timer that finds the window's packets lost.
        c.send(stream, Bytes{1}, false);
        for (int i = 0; i < 10; ++i) c.sendDatagram(Bytes(1000, 2));
    });
    ASSERT_TRUE(accepted->waitUntil([&] {
        return std::count_if(accepted->datagrams.begin(), accepted->datagrams.end(),
                             [](const Bytes& d) { return d[0] == 2; }) == 10;
    }));
    std::lock_guard lock(accepted->mutex);
    EXPECT_EQ(accepted->datagrams.size(), 10u) << "a datagram from before the outage arrived late";
}

TEST_F(QuicConnectionTest, APeerClosingWithACodeIsAFailureAndWithoutOneACancellation) {
    QuicTestServer server(testing::configurationFor(serverIdentity));
    auto first = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    auto second = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(first->waitUntil([&] { return first->hasState(State::ready); }));
    ASSERT_TRUE(second->waitUntil([&] { return second->hasState(State::ready); }));
    server.waitForPeer(1);
    for (auto& peer : server.peers) {
        const bool isFirst = peer->connection->remoteAddress() == first->connection->endpoint().localAddress();
        peer->run([&](QuicConnection& c) { isFirst ? c.close(7, "going away") : c.close(0, {}); });
    }
    ASSERT_TRUE(first->waitUntil([&] { return first->hasState(State::failed); }));
    ASSERT_TRUE(second->waitUntil([&] { return second->hasState(State::cancelled); }));
    std::lock_guard lock(first->mutex);
    ASSERT_EQ(first->errors.size(), 1u);
    EXPECT_EQ(first->errors[0].domain, QuicError::Domain::application);
    EXPECT_EQ(first->errors[0].code, 7);
    EXPECT_EQ(first->errors[0].description, "connection closed by the peer: application error 7: going away");
}

TEST_F(QuicConnectionTest, AClosedPortIsASocketErrorToWaitOnUntilTheHandshakeTimeout) {
    auto probe = UdpEndpoint::bind(SocketAddress::loopbackV4(0), 0);
    ASSERT_TRUE(probe);
    const auto port = (*probe)->localAddress().port();
    probe->reset(); // nothing listens there now
    auto configuration = testing::configurationFor(clientIdentity);
    configuration.handshakeTimeoutNs = 300'000'000;
    auto client = QuicTestPeer::connect(port, configuration);
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::failed); }));
    std::lock_guard lock(client->mutex);
    ASSERT_GE(client->errors.size(), 2u);
    EXPECT_EQ(client->errors.front().domain, QuicError::Domain::posix);
    EXPECT_EQ(client->errors.front().code, ECONNREFUSED);
    EXPECT_EQ(client->errors.back().description, "handshake timeout");
    EXPECT_TRUE(client->hasState(State::waiting));
}

// Each side that keeps alive pings a quiet connection several times per the
// idle timeout in force, the shorter of the two. Pings into the void do not
// keep it open: once the peer vanishes (no close comes), it ends within the
// longer ping interval, the server's 30 %, plus that idle timeout.
TEST_F(QuicConnectionTest, KeepAliveOutlastsTheIdleTimeoutAndStillFindsAVanishedPeer) {
    using namespace std::chrono;
    using Direction = testing::LossyRelay::Direction;
    constexpr milliseconds idle{400};
    constexpr milliseconds longIdle{15'000};
    // Late timers on a loaded machine.
    constexpr milliseconds slack{300};
    const struct Row {
        const char* what;
        milliseconds serverIdle, clientIdle;
        bool serverPings, clientPings;
    } rows[] = {
        {"both keep alive", idle, idle, true, true},
        {"only the server, the client's timeout the shorter", longIdle, idle, true, false},
        {"only the client, the server's timeout the shorter", idle, longIdle, false, true},
        {"neither keeps alive", idle, idle, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto serverConfiguration = testing::configurationFor(serverIdentity);
        serverConfiguration.idleTimeoutNs = static_cast<std::uint64_t>(nanoseconds(row.serverIdle).count());
        serverConfiguration.keepAlive = row.serverPings;
        auto clientConfiguration = testing::configurationFor(clientIdentity);
        clientConfiguration.idleTimeoutNs = static_cast<std::uint64_t>(nanoseconds(row.clientIdle).count());
        clientConfiguration.keepAlive = row.clientPings;
        QuicTestServer server(serverConfiguration);
        testing::LossyRelay relay(server.port());
        auto client = QuicTestPeer::connect(relay.port(), clientConfiguration);
        ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));
        QuicTestPeer* accepted = server.waitForPeer(0);
        ASSERT_NE(accepted, nullptr);
        QuicTestPeer* sides[] = {client.get(), accepted};
        // Seconds from `from` until each side ended; negative while it has not.
        double endedAfter[2] = {-1, -1};
        const auto end = [&](steady_clock::time_point from, milliseconds within, bool both) {
            return testing::eventually(
                [&] {
                    for (int i = 0; i < 2; ++i) {
                        std::lock_guard lock(sides[i]->mutex);
                        if (endedAfter[i] < 0 && sides[i]->hasState(State::failed))
                            endedAfter[i] = duration<double>(steady_clock::now() - from).count();
                    }
                    return both ? endedAfter[0] >= 0 && endedAfter[1] >= 0 : endedAfter[0] >= 0 || endedAfter[1] >= 0;
                },
                within);
        };
        const auto packets = [&] {
            return relay.counts(Direction::toServer).forwarded + relay.counts(Direction::toClient).forwarded;
        };
        double perPeriod = 0;
        if (row.serverPings || row.clientPings) {
            // Five quiet idle timeouts; the first has the handshake's tail.
            ASSERT_FALSE(end(steady_clock::now(), idle, false));
            const auto before = packets();
            ASSERT_FALSE(end(steady_clock::now(), 4 * idle, false));
            perPeriod = double(packets() - before) / 4;
            // A ping and its acknowledgement each quarter of the period (or
            // 30 % from a server alone), and now and then an acknowledgement
            // asked back; pings that crossed would make it sixteen.
            EXPECT_LE(perPeriod, 11.0);
            relay.blackHole(true);
        }
        ASSERT_TRUE(end(steady_clock::now(), 2 * longIdle, true));
        const milliseconds effective = std::min(row.serverIdle, row.clientIdle);
        const double bound = duration<double>(effective * 13 / 10 + slack).count();
        EXPECT_LE(std::max(endedAfter[0], endedAfter[1]), bound);
        fmt::print("{}: {:.1f} packets per {} ms idle period; the client ended {:.3f} s, the server {:.3f} s "
                   "after the peer went silent (bound {:.3f} s)\n",
                   row.what, perPeriod, effective.count(), endedAfter[0], endedAfter[1], bound);
        std::scoped_lock lock(client->mutex, accepted->mutex);
        EXPECT_EQ(client->errors.back().description, "idle timeout");
        EXPECT_EQ(accepted->errors.back().description, "idle timeout");
    }
}

TEST_F(QuicConnectionTest, TheListenerForgetsTheIDsOfConnectionsThatAreGone) {
    auto server = std::make_unique<QuicTestServer>(testing::configurationFor(serverIdentity));
    auto listener = server->listener;
    {
        auto client = QuicTestPeer::connect(server->port(), testing::configurationFor(clientIdentity));
        ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::ready); }));
        ASSERT_NE(server->waitForPeer(0), nullptr);
        EXPECT_GE(listener->routedConnectionIDs(), 2u);
    }
    server.reset(); // releases the accepted connection
    // The receive thread may hold the last reference for a moment (a packet
    // being routed), so the IDs go when it lets go.
    EXPECT_TRUE(testing::eventually([&] { return listener->routedConnectionIDs() == 0u; }))
        << listener->routedConnectionIDs();
}

TEST_F(QuicConnectionTest, AStoppedListenerRefusesNewClientsAtOnce) {
    QuicTestServer server(testing::configurationFor(serverIdentity));
    server.listener->stop();
    auto client = QuicTestPeer::connect(server.port(), testing::configurationFor(clientIdentity));
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(State::failed); }, std::chrono::seconds(2)));
    {
        std::lock_guard lock(client->mutex);
        EXPECT_EQ(client->errors.back().description, "connection closed by the peer: transport error 0x2");
    }
    EXPECT_EQ(server.peerCount(), 0u);
    EXPECT_EQ(server.listener->routedConnectionIDs(), 0u);
}

} // namespace
} // namespace quillmere

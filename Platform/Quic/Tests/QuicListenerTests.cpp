// What a listener does with packets no connection takes: a Retry for a
// client's first Initial, a connection only for one that returns its token,
// a bounded number of handshakes under way, nothing at all for the rest.

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "Platform/Quic/UdpEndpoint.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <ngtcp2/ngtcp2.h>

#include <random>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::QuicTestServer;

Bytes randomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

// A client's Initial packet as the listener sees it before any decryption:
// a real long header around a payload of noise, padded to 1200 bytes.
Bytes initial(const Bytes& destination, const Bytes& source, const Bytes& token, std::mt19937& random) {
    Bytes packet{0xc3, 0x00, 0x00, 0x00, 0x01};
    packet.push_back(static_cast<std::uint8_t>(destination.size()));
    packet.insert(packet.end(), destination.begin(), destination.end());
    packet.push_back(static_cast<std::uint8_t>(source.size()));
    packet.insert(packet.end(), source.begin(), source.end());
    packet.push_back(static_cast<std::uint8_t>(0x40 | (token.size() >> 8))); // two-byte varint
    packet.push_back(static_cast<std::uint8_t>(token.size()));
    packet.insert(packet.end(), token.begin(), token.end());
    const std::size_t rest = 1200 - packet.size() - 2;
    packet.push_back(static_cast<std::uint8_t>(0x40 | (rest >> 8)));
    packet.push_back(static_cast<std::uint8_t>(rest));
    const Bytes noise = randomBytes(rest, random);
    packet.insert(packet.end(), noise.begin(), noise.end());
    return packet;
}

struct Retry {
    Bytes source; // the ID the client must now address
    Bytes token;
};

std::optional<Retry> parseRetry(const Bytes& packet) {
    ngtcp2_pkt_hd header{};
    if (ngtcp2_pkt_decode_hd_long(&header, packet.data(), packet.size()) <= 0 || header.type != NGTCP2_PKT_RETRY)
        return std::nullopt;
    // After the long header's IDs: the token, then a 16-byte integrity tag.
    const std::size_t tokenStart = 7 + header.dcid.datalen + header.scid.datalen;
    if (packet.size() < tokenStart + 16) return std::nullopt;
    return Retry{Bytes(header.scid.data, header.scid.data + header.scid.datalen),
                 Bytes(packet.begin() + static_cast<std::ptrdiff_t>(tokenStart), packet.end() - 16)};
}

// A raw UDP client that sends what it is given and keeps what comes back.
class Forger {
public:
    explicit Forger(std::uint16_t port) {
        endpoint = *UdpEndpoint::connect(SocketAddress::loopbackV4(port), 0);
        endpoint->startReceiving(
            [this](const SocketAddress&, ByteView packet) {
                std::lock_guard lock(mutex);
                answers.emplace_back(packet.begin(), packet.end());
                changed.notify_all();
            },
            {});
    }
    // The receive thread stops before what it writes to goes.
    ~Forger() { endpoint.reset(); }

    std::optional<Bytes> exchange(const Bytes& packet, std::chrono::milliseconds limit = 2s) {
        std::unique_lock lock(mutex);
        const std::size_t before = answers.size();
        endpoint->send(SocketAddress{}, viewOf(packet));
        if (!changed.wait_for(lock, limit, [&] { return answers.size() > before; })) return std::nullopt;
        return answers[before];
    }

    std::optional<Retry> retryFor(const Bytes& packet) {
        std::unique_lock lock(mutex);
        const std::size_t before = answers.size();
        endpoint->send(SocketAddress{}, viewOf(packet));
        std::optional<Retry> retry;
        changed.wait_for(lock, 2s, [&] {
            for (std::size_t i = before; i < answers.size() && !retry; ++i) retry = parseRetry(answers[i]);
            return retry.has_value();
        });
        return retry;
    }

    // A first Initial, then the one that returns the Retry's token; true
    // once the listener made up its mind about the second.
    bool handshakeAfterRetry(QuicListener& listener, std::mt19937& random) {
        const Bytes source = randomBytes(8, random);
        const auto retry = retryFor(initial(randomBytes(18, random), source, {}, random));
        if (!retry) return false;
        const auto decided = [&] { return listener.counts().accepted + listener.counts().refused; };
        const auto before = decided();
        endpoint->send(SocketAddress{}, viewOf(initial(retry->source, source, retry->token, random)));
        return testing::eventually([&] { return decided() > before; });
    }

    std::shared_ptr<UdpEndpoint> endpoint;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> answers;
};

class QuicListenerTest : public ::testing::Test {
protected:
    testing::TestIdentity identity = testing::makeIdentity();
    QuicTestServer server{testing::configurationFor(identity)};
    std::mt19937 random{7};
};

TEST_F(QuicListenerTest, JunkAndForgedTokensMakeNoConnection) {
    Forger forger(server.port());
    const Bytes source = randomBytes(8, random);
    Bytes cut = initial(randomBytes(18, random), source, {}, random);
    cut.resize(600);
    const struct {
        const char* what;
        Bytes packet;
        bool retried;
    } cases[] = {
        {"noise", randomBytes(1200, random), false},
        {"a short Initial", cut, false},
        {"an Initial of noise", initial(randomBytes(18, random), source, {}, random), true},
        {"a forged token", initial(randomBytes(18, random), source, Bytes(80, 0xb6), random), false},
    };
    std::uint64_t retries = 0;
    for (const auto& c : cases) {
        const auto answer = forger.exchange(c.packet, c.retried ? 2000ms : 200ms);
        EXPECT_EQ(answer && parseRetry(*answer), c.retried) << c.what;
        retries += c.retried;
    }
    const auto counts = server.listener->counts();
    EXPECT_EQ(counts.retries, retries);
    EXPECT_EQ(counts.ignored, 3u);
    EXPECT_EQ(counts.accepted, 0u);
    EXPECT_EQ(server.peerCount(), 0u);
    EXPECT_EQ(server.listener->routedConnectionIDs(), 0u);
}

TEST_F(QuicListenerTest, ATokenWorksOnlyFromTheAddressItWasGivenTo) {
    Forger first(server.port());
    Forger second(server.port());
    const Bytes source = randomBytes(8, random);
    const auto retry = first.retryFor(initial(randomBytes(18, random), source, {}, random));
    ASSERT_TRUE(retry);
    second.exchange(initial(retry->source, source, retry->token, random), 200ms);
    EXPECT_EQ(server.listener->counts().accepted, 0u);
    first.exchange(initial(retry->source, source, retry->token, random), 200ms);
    EXPECT_EQ(server.listener->counts().accepted, 1u);
}

TEST(QuicListener, HandshakesUnderWayAreBoundedAndTheirPlacesComeBack) {
    // Connections kept unstarted stay in their handshake for as long as the test likes.
    std::mutex mutex;
    std::vector<std::shared_ptr<QuicConnection>> held;
    auto listener = *QuicListener::make(testing::configurationFor(testing::makeIdentity()),
                                        SocketAddress::loopbackV4(0),
                                        [] { return std::make_shared<SerialQueue>("test.server"); });
    listener->start(
        [&](std::shared_ptr<QuicConnection> connection) {
            std::lock_guard lock(mutex);
            held.push_back(std::move(connection));
        },
        {});
    std::mt19937 random{7};
    Forger forger(listener->port());
    for (std::size_t i = 0; i < QuicListener::maxHandshakes; ++i) ASSERT_TRUE(forger.handshakeAfterRetry(*listener, random));
    EXPECT_EQ(listener->counts().accepted, QuicListener::maxHandshakes);
    EXPECT_EQ(listener->handshakesInProgress(), QuicListener::maxHandshakes);

    // One too many is refused at once, without state.
    ASSERT_TRUE(forger.handshakeAfterRetry(*listener, random));
    EXPECT_EQ(listener->counts().refused, 1u);

    // A connection that is gone gives its place back.
    {
        std::lock_guard lock(mutex);
        held.erase(held.begin());
    }
    EXPECT_EQ(listener->handshakesInProgress(), QuicListener::maxHandshakes - 1);
    ASSERT_TRUE(forger.handshakeAfterRetry(*listener, random));
    EXPECT_EQ(listener->counts().accepted, QuicListener::maxHandshakes + 1);
    listener->stop();
    std::lock_guard lock(mutex);
    held.clear();
}

} // namespace
} // namespace quillmere

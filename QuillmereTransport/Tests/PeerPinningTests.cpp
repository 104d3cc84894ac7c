// Sessions over real QUIC on loopback with keychain identities: who gets in,
// and what a refused peer manages to deliver (nothing).

#include "Platform/Quic/Tests/QuicTestPeer.h"
#include "QuillmereTransport/Identity/Fingerprint.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::PeerRecorder;
using testing::QuicTestPeer;
using testing::TestClient;
using testing::TestSessionListener;

class PeerPinningTest : public testing::PairedPeersTest {};

TEST_F(PeerPinningTest, PairedClientExchangesControlMessagesAndDatagramsBothWays) {
    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = TestClient::connect(server.waitForPort(), *phone, testing::pinned(host->fingerprint),
                                      defaults.defaults());
    ASSERT_TRUE(client.recorder->waitForEvent<peer::DatagramFlowReady>());
    ASSERT_EQ(client.recorder->readyFingerprint(), std::optional<Digest32>(host->fingerprint));

    Hello hello;
    hello.major = 1;
    hello.role = PeerRole::client;
    hello.name = "Phone";
    client.connection->sendControl(hello);
    client.onQueue([](PeerConnection& c) { c.sendDatagram(Bytes{1, 2, 3, 4, 5}); });

    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    auto& serverSide = *accepted->recorder;
    ASSERT_TRUE(serverSide.waitFor([](const auto& events) {
        int controls = 0;
        int datagrams = 0;
        for (const auto& e : events) {
            controls += std::holds_alternative<peer::Control>(e);
            datagrams += std::holds_alternative<peer::Datagram>(e);
        }
        return controls == 1 && datagrams == 1;
    }));
    EXPECT_EQ(serverSide.readyFingerprint(), std::optional<Digest32>(phone->fingerprint));
    EXPECT_EQ(serverSide.messages(), std::vector<ControlMessage>{hello});
    EXPECT_EQ(serverSide.datagrams(), (std::vector<Bytes>{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(accepted->connection->datagramsReceived(), 1);

    accepted->connection->sendControl(testing::ping(42));
    accepted->connection->queue().sync([&] {
        EXPECT_GT(accepted->connection->usableDatagramSize(), 1000);
        accepted->connection->sendDatagram(Bytes(1000, 0xAB));
    });
    ASSERT_TRUE(client.recorder->waitFor([](const auto& events) {
        return PeerRecorder::has<peer::Control>(events) && PeerRecorder::has<peer::Datagram>(events);
    }));
    EXPECT_EQ(client.recorder->messages(), std::vector<ControlMessage>{testing::ping(42)});
    EXPECT_EQ(client.recorder->datagrams(), std::vector<Bytes>{Bytes(1000, 0xAB)});
    EXPECT_EQ(client.connection->controlBytesSent(), static_cast<std::int64_t>(ControlMessage(hello).encodeFrame()->size()));
    EXPECT_EQ(client.connection->datagramsSent(), 1);
    EXPECT_EQ(accepted->connection->datagramsSent(), 1);

    // Every event ran on its connection's own queue.
    for (const auto& label : serverSide.queues()) EXPECT_EQ(label, "com.ornbeck.quillmeretransport.server");
    for (const auto& label : client.recorder->queues()) EXPECT_EQ(label, "com.ornbeck.quillmeretransport.client");
    // The peer check ran on the verify queue, once per handshake.
    EXPECT_EQ(trust.asked(), std::vector<std::optional<Digest32>>{phone->fingerprint});
    EXPECT_EQ(trust.askedOnQueues(), std::vector<std::string>{"com.ornbeck.quillmeretransport.verify"});
}

TEST_F(PeerPinningTest, UnpairedClientIsRefusedAtTheHandshake) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto stranger = keychain.make("stranger");
    auto client = TestClient::connect(server.waitForPort(), stranger, testing::pinned(host->fingerprint),
                                      defaults.defaults());
    ASSERT_TRUE(client.recorder->waitForClosed());
    EXPECT_EQ(client.recorder->kinds(), std::vector<std::string>{"closed:failed"});
    EXPECT_EQ(client.recorder->closedReason()->text(), "TLS handshake refused by the peer: Certificate is bad (alert 42)");

    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    EXPECT_EQ(accepted->recorder->kinds(), std::vector<std::string>{"closed:failed"});
    EXPECT_EQ(accepted->recorder->closedReason()->text(), "TLS handshake failed: Certificate is bad (alert 42)");
    EXPECT_EQ(trust.asked(), std::vector<std::optional<Digest32>>{stranger.fingerprint});
}

// A client that sends on the stream and the datagram flow as early as its
// own side of the handshake allows, before the server has judged it.
class EagerClient {
public:
    EagerClient(std::uint16_t port, QuicConfiguration configuration)
        : peer(QuicTestPeer::connect(port, std::move(configuration))) {
        peer->run([](QuicConnection& c) {
            const auto stream = c.openStream();
            c.send(stream, *ControlMessage(testing::ping(7)).encodeFrame(), false);
            for (int i = 0; i < 5; ++i) c.sendDatagram(Bytes(100, static_cast<std::uint8_t>(i)));
        });
    }
    bool waitForFailure() {
        return peer->waitUntil([&] { return peer->hasState(QuicConnection::State::failed); });
    }
    bool streamOpened() {
        std::lock_guard lock(peer->mutex);
        return !peer->readyStreams.empty();
    }
    std::string failure() {
        std::lock_guard lock(peer->mutex);
        return peer->errors.empty() ? "" : peer->errors.back().description;
    }
    std::unique_ptr<QuicTestPeer> peer;
};

struct RefusedCase {
    const char* name;
    const char* curve;      // the client's key; nullptr: no certificate at all
    const char* alpn;
    bool pinned;            // the client's key is in the trust set
    const char* clientSees; // the text of the client's failure
    bool clientGotToSend;   // its own half of the handshake completed, so its data went out
};

void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.name; }

class PeerRefusalTest : public PeerPinningTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(PeerRefusalTest, ServerApplicationSeesNoneOfTheRefusedClientsData) {
    const RefusedCase& refused = GetParam();
    TestSessionListener server(*host, trust, defaults.defaults());
    testing::TestIdentity identity;
    if (refused.curve != nullptr) identity = testing::makeIdentity(refused.curve);
    QuicConfiguration configuration;
    configuration.alpn = refused.alpn;
    configuration.certificateDER = identity.certificate;
    configuration.privateKeyDER = identity.privateKey;
    if (refused.pinned) {
        // Pinned by the SHA-256 of its key info, as a paired device would be.
        const auto fingerprint = Fingerprint::of(viewOf(identity.certificate));
        if (fingerprint) trust.add(*fingerprint);
    }
    EagerClient client(server.waitForPort(), configuration);
    ASSERT_TRUE(client.waitForFailure());
    EXPECT_EQ(client.failure(), refused.clientSees);
    EXPECT_EQ(client.streamOpened(), refused.clientGotToSend);

    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForClosed());
    EXPECT_EQ(accepted->recorder->kinds(), std::vector<std::string>{"closed:failed"});
    EXPECT_EQ(accepted->connection->datagramsReceived(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PeerRefusalTest,
    ::testing::Values(
        RefusedCase{"unpaired", "P-256", "quillmere/1", false,
                    "TLS handshake refused by the peer: Certificate is bad (alert 42)", true},
        RefusedCase{"withoutCertificate", nullptr, "quillmere/1", false,
                    "TLS handshake refused by the peer: Certificate is required (alert 116)", true},
        RefusedCase{"pinnedP384Key", "P-384", "quillmere/1", true,
                    "TLS handshake refused by the peer: Certificate is bad (alert 42)", true},
        RefusedCase{"wrongProtocol", "P-256", "other/1", true,
                    "TLS handshake refused by the peer: No supported application protocol could be negotiated (alert 120)",
                    false},
        RefusedCase{"noProtocol", "P-256", "", true,
                    "TLS handshake refused by the peer: No supported application protocol could be negotiated (alert 120)",
                    false}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

TEST_F(PeerPinningTest, ANonP256KeyReachesTheDecisionAsNoFingerprint) {
    TestSessionListener server(*host, trust, defaults.defaults());
    EagerClient client(server.waitForPort(), testing::configurationFor(testing::makeIdentity("P-384")));
    ASSERT_TRUE(client.waitForFailure());
    EXPECT_EQ(trust.asked(), std::vector<std::optional<Digest32>>{std::nullopt});
}

TEST_F(PeerPinningTest, ARemovedFingerprintIsRefusedFromItsNextHandshakeWhileTheOpenConnectionStays) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto port = server.waitForPort();
    auto first = TestClient::connect(port, *phone, testing::pinned(host->fingerprint), defaults.defaults());
    ASSERT_TRUE(first.recorder->waitForEvent<peer::Ready>());

    trust.remove(phone->fingerprint);
    auto second = TestClient::connect(port, *phone, testing::pinned(host->fingerprint), defaults.defaults());
    ASSERT_TRUE(second.recorder->waitForClosed());
    EXPECT_EQ(second.recorder->kinds(), std::vector<std::string>{"closed:failed"});

    first.connection->sendControl(testing::ping(1));
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());
    EXPECT_FALSE(first.connection->isClosed());
}

TEST_F(PeerPinningTest, ClientRefusesAServerItHasNotPinned) {
    TestSessionListener server(*host, trust, defaults.defaults());
    const auto impostor = keychain.make("impostor");
    auto client = TestClient::connect(server.waitForPort(), *phone, testing::pinned(impostor.fingerprint),
                                      defaults.defaults());
    ASSERT_TRUE(client.recorder->waitForClosed());
    EXPECT_EQ(client.recorder->kinds(), std::vector<std::string>{"closed:failed"});
    EXPECT_EQ(client.recorder->closedReason()->text(), "TLS handshake failed: Certificate is bad (alert 42)");
}

TEST_F(PeerPinningTest, APinnedKeyIsAcceptedWhateverTheCertificatesDates) {
    // Expired a year ago: dates, issuer and names play no part.
    testing::PKey key = testing::ecKey("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 9);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -2 * 365 * 24 * 3600L);
    X509_gmtime_adj(X509_getm_notAfter(certificate), -365 * 24 * 3600L);
    X509_set_pubkey(certificate, key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("old"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key.get(), EVP_sha256());
    testing::TestIdentity expired{testing::derOf(certificate), testing::pkcs8Of(key.get())};
    X509_free(certificate);
    trust.add(*Fingerprint::of(viewOf(expired.certificate)));

    TestSessionListener server(*host, trust, defaults.defaults());
    auto client = QuicTestPeer::connect(server.waitForPort(), testing::configurationFor(expired));
    ASSERT_TRUE(client->waitUntil([&] { return client->hasState(QuicConnection::State::ready); }));
    client->run([](QuicConnection& c) { c.send(c.openStream(), *ControlMessage(testing::ping(3)).encodeFrame(), false); });
    auto accepted = server.waitForConnection(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(accepted->recorder->waitForEvent<peer::Control>());
    EXPECT_EQ(accepted->recorder->kinds(), (std::vector<std::string>{"ready", "datagramFlowReady", "control:ping"}));
}

} // namespace
} // namespace quillmere

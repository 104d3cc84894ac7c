// The host connection over a real QUIC connection on loopback: a client
// that asks for a surface receives a 100 KB frame as paced, correctly headed
// datagrams within its datagram size, and a client whose datagram size
// cannot carry a fragment gets a keyframe asked for instead.

#include "QuillmereMac/HostConnection/HostConnection.h"
#include "QuillmereMac/Tests/HostConnectionFixture.h"

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "QuillmereWire/MediaDatagram.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/RefusingMediaDelegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

namespace quillmere {
namespace {

using testing::clientCapabilities;
using testing::eventually;
using testing::clientHello;
using testing::frameOf;
using testing::S;
using testing::streamConfig;
using testing::W;

// The media side, safe on every queue: approves every prompt and counts
// what the connection asks of the surface's pipeline.
class LoopbackMedia final : public testing::RefusingMediaDelegate {
public:
    struct Pipeline final : SurfacePipeline {
        Pipeline(std::shared_ptr<MediaConnection> owner, std::atomic<int>& keyframeRequests)
            : SurfacePipeline(S, std::move(owner), CaptureChoice::window(W),
                              Environment{std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.pipeline.7"), {},
                                          [] { return false; }}),
              keyframeRequests(keyframeRequests) {}

        std::atomic<int>& keyframeRequests;

        void requestKeyframe() override { ++keyframeRequests; }
        void setBitrate(std::uint32_t) override {}
        void setTier(std::int64_t, std::uint32_t) override {}
    };

    std::atomic<int> keyframeRequests{0};
    std::atomic<bool> began{false};

    void requestCaptureConsent(std::string, std::uint32_t, std::function<void(bool)> reply,
                               std::shared_ptr<PromptScope>) override {
        reply(true);
    }
    void startSurface(std::uint32_t surfaceID, std::uint32_t, std::shared_ptr<MediaConnection> connection) override {
        std::lock_guard lock(mutex_);
        surface_ = std::make_shared<Pipeline>(connection, keyframeRequests);
        connection->keepSurface(surfaceID, surface_);
    }
    void beginMedia(std::uint32_t, std::uint32_t, std::shared_ptr<MediaConnection> connection) override {
        std::lock_guard lock(mutex_);
        last_ = connection;
        began = true;
    }
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override {
        std::lock_guard lock(mutex_);
        return surfaceID == S && surface_ && surface_->connection() == connection ? surface_ : nullptr;
    }
    bool testPatternEnabled() override { return true; }
    bool permission() override { return true; }
    std::shared_ptr<MediaConnection> lastConnection() override {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<Pipeline> surface_;
    std::shared_ptr<MediaConnection> last_;
};

// The QUIC peer, with the time and size of every datagram handed to it.
class RecordingPeer final : public HostPeer {
public:
    explicit RecordingPeer(std::shared_ptr<HostPeer> inner) : inner_(std::move(inner)) {}

    Executor& queue() override { return inner_->queue(); }
    void start(EventHandler onEvent) override { inner_->start(std::move(onEvent)); }
    void sendControl(const ControlMessage& message) override { inner_->sendControl(message); }
    void close(double graceSeconds) override { inner_->close(graceSeconds); }
    void sendDatagram(SharedBytes datagram, Completion completion) override {
        {
            std::lock_guard lock(mutex_);
            sends_.emplace_back(Clock::nowNs(), datagram.size());
        }
        inner_->sendDatagram(std::move(datagram), std::move(completion));
    }
    std::int64_t usableDatagramSize() const override { return inner_->usableDatagramSize(); }

    std::vector<std::pair<std::uint64_t, std::size_t>> sends() const {
        std::lock_guard lock(mutex_);
        return sends_;
    }

private:
    std::shared_ptr<HostPeer> inner_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, std::size_t>> sends_;
};

class HostConnectionLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = keychain.make("host");
        phone = keychain.make("phone");
        trust.add(phone->fingerprint);
    }

    // A client that streams surface S from a host connection on loopback,
    // up to the point where the host may send frames.
    void connect(std::uint16_t maxDatagram) {
        server.emplace(*host, trust, defaults.defaults(), std::nullopt, false);
        client = testing::TestClient::connect(server->waitForPort(), *phone, testing::pinned(host->fingerprint),
                                              defaults.defaults());
        auto accepted = server->waitForConnection(0);
        ASSERT_TRUE(accepted);
        peer = std::make_shared<RecordingPeer>(HostPeer::over(accepted->connection));
        connection = HostConnection::make(
            peer, HostSession(testing::hostHello(), testing::hostCapabilities(), testing::rateConfig()), media,
            mainActor, {}, [this](HostConnection&) { closed = true; });
        connection->start();

        ASSERT_TRUE(client.recorder->waitForEvent<peer::DatagramFlowReady>());
        client.connection->sendControl(clientHello());
        client.connection->sendControl(clientCapabilities(maxDatagram));
        client.connection->sendControl(msg::CaptureSelect{S, W});
        ASSERT_TRUE(client.recorder->waitFor([](const auto& events) { return countOf<msg::CaptureState>(events) >= 2; }));
        connection->announceStreamConfig(streamConfig(S, 1));
        ASSERT_TRUE(client.recorder->waitFor([](const auto& events) { return countOf<StreamConfig>(events) >= 1; }));
        client.connection->sendControl(msg::ConfigAck{S, 1});
        client.connection->sendControl(msg::StartStream{S});
        ASSERT_TRUE(eventually([&] { return media->began.load(); }));
        // The host's side of the datagram flow opens with the client's probe.
        ASSERT_TRUE(eventually([&] {
            std::int64_t usable = 0;
            peer->queue().sync([&] { usable = peer->usableDatagramSize(); });
            return usable > 0;
        }));
        // The stream's start asks for its first keyframe; none has gone out
        // yet, so a later request is due at once.
        ASSERT_TRUE(eventually([&] { return media->keyframeRequests.load() >= 1; }));
        media->keyframeRequests = 0;
    }

    void TearDown() override {
        client = {};
        server.reset(); // cancels the host's side: the connection closes
        if (connection) {
            EXPECT_TRUE(eventually([&] { return closed.load(); }));
        }
        connection.reset();
    }

    template <class M>
    static std::size_t countOf(const std::vector<PeerEvent>& events) {
        std::size_t n = 0;
        for (const auto& event : events)
            if (const auto* control = std::get_if<peer::Control>(&event)) n += control->message.is<M>();
        return n;
    }

    std::vector<Bytes> videoDatagrams() {
        std::vector<Bytes> out;
        for (const Bytes& bytes : client.recorder->datagrams()) {
            auto decoded = MediaDatagram::decode(bytes);
            if (decoded && decoded->header.kind == MediaHeader::Kind::video) out.push_back(bytes);
        }
        return out;
    }

    testing::TestKeychain keychain;
    testing::TestDefaults defaults;
    testing::TrustSet trust;
    std::optional<LocalIdentity> host;
    std::optional<LocalIdentity> phone;
    SerialQueue mainActor{"main"};
    std::shared_ptr<LoopbackMedia> media = std::make_shared<LoopbackMedia>();
    std::optional<testing::TestSessionListener> server;
    testing::TestClient client;
    std::shared_ptr<RecordingPeer> peer;
    std::shared_ptr<HostConnection> connection;
    std::atomic<bool> closed{false};
};

TEST_F(HostConnectionLoopbackTest, AHundredKilobyteFrameArrivesAsPacedDatagramsWithinTheClientsSize) {
    connect(1200);
    const std::uint64_t captured = Clock::nowNs();
    const EncodedFrame frame = frameOf(S, 1, 100 * 1024, captured, true);
    Bytes data = frame.data;
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + i / 977);
    EncodedFrame sent = frame;
    sent.data = data;
    const std::uint64_t before = Clock::nowNs();
    connection->sendFrame(sent);

    const std::size_t expected = (data.size() + 1160 - 1) / 1160; // 89
    ASSERT_TRUE(eventually([&] { return videoDatagrams().size() >= expected; })) << videoDatagrams().size();
    const std::vector<Bytes> datagrams = videoDatagrams();
    ASSERT_EQ(datagrams.size(), expected);

    std::map<std::uint16_t, Bytes> pieces;
    for (const Bytes& bytes : datagrams) {
        EXPECT_LE(bytes.size(), 1200u);
        const auto decoded = MediaDatagram::decode(bytes);
        ASSERT_TRUE(decoded);
        const MediaHeader& h = decoded->header;
        EXPECT_EQ(h.surfaceID, S);
        EXPECT_EQ(h.epoch, 2u);
        EXPECT_EQ(h.frameID, 1u);
        EXPECT_EQ(h.configGeneration, 1u);
        EXPECT_EQ(h.flags, MediaHeader::Flags::keyframe);
        EXPECT_EQ(h.fragmentCount, expected);
        EXPECT_EQ(h.totalLength, data.size());
        EXPECT_EQ(h.captureTimeNs, captured);
        EXPECT_LT(h.sendOffsetUs, 10'000'000u);
        pieces[h.fragmentIndex] = Bytes(decoded->payload.begin(), decoded->payload.end());
    }
    ASSERT_EQ(pieces.size(), expected);
    Bytes joined;
    for (const auto& [index, piece] : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    EXPECT_EQ(joined, data);

    // Never ahead of the bucket: by any send, no more than a burst plus what
    // 40 MB/s refilled since the frame was handed over has left.
    const auto sends = peer->sends();
    ASSERT_EQ(sends.size(), expected);
    double total = 0;
    for (const auto& [at, size] : sends) {
        total += static_cast<double>(size);
        EXPECT_LE(total, 24000.0 + static_cast<double>(at - before) / 1e9 * 40e6 + 1.0);
    }
    const DatagramPacer::Metrics pacing = connection->pacerMetrics();
    EXPECT_EQ(pacing.immediate + pacing.paced, static_cast<std::int64_t>(expected));
    const auto metrics = connection->transportMetrics(S);
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->framesSent, 1);
    EXPECT_EQ(metrics->datagramsSent, static_cast<std::int64_t>(expected));
    EXPECT_EQ(metrics->bytesSent, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(metrics->lastUsableDatagramSize, 1200);
    EXPECT_EQ(media->keyframeRequests.load(), 0);
}

TEST_F(HostConnectionLoopbackTest, AFrameTheClientsDatagramSizeCannotCarryLeadsToAKeyframeRequest) {
    testing::LogCapture log;
    connect(100);
    // Before any keyframe went out, so that the wanted keyframe is due at once.
    connection->sendFrame(frameOf(S, 1, 5000, Clock::nowNs(), false));
    ASSERT_TRUE(eventually([&] { return media->keyframeRequests.load() >= 1; }));
    const auto metrics = connection->transportMetrics(S);
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->framesDropped, 1);
    EXPECT_EQ(metrics->framesSent, 0);
    EXPECT_TRUE(videoDatagrams().empty());
    EXPECT_EQ(log.lines("pipeline"), std::vector<std::string>{"frames refused surface=7: usable datagram size 100 is "
                                                              "below the 104 bytes a fragment needs"});
}

} // namespace
} // namespace quillmere

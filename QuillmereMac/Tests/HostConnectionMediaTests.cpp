#include "QuillmereMac/Sending/AudioDatagram.h"
#include "QuillmereMac/Tests/HostConnectionFixture.h"

namespace quillmere::testing {
namespace {

class HostConnectionMediaTest : public HostConnectionTest {
protected:
    // Streams the surfaces and lets each pipeline send its first keyframe,
    // so that no keyframe is pending afterwards; what went out is forgotten.
    void streaming(std::initializer_list<std::uint32_t> surfaceIDs) {
        hello();
        for (std::uint32_t id : surfaceIDs) {
            stream(id, 0x1000 + id);
            connection->sendFrame(frameOf(id, 1, 100, peer->executor.nowNs(), true));
        }
        peer->executor.advance(300 * ms); // past the keyframes' minimum spacing
        take();
        peer->datagrams.clear();
    }
    std::size_t keyframeRequests(const Transcript& seen, std::uint32_t surfaceID) {
        return static_cast<std::size_t>(
            std::count(seen.begin(), seen.end(), fmt::format("pipeline {} keyframeRequested", surfaceID)));
    }
};

TEST_F(HostConnectionMediaTest, AFrameWithoutASenderIsDroppedWithoutAKeyframeRequest) {
    streaming({S});
    connection->sendFrame(frameOf(99, 1, 1000, peer->executor.nowNs(), false));
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(peer->datagrams.empty());
}

TEST_F(HostConnectionMediaTest, BeforeTheClientsCapabilitiesTheLimitIs65535) {
    peer->receive(clientHello());
    stream(S);
    peer->usable = 70000;
    connection->sendFrame(frameOf(S, 1, 100, peer->executor.nowNs(), true));
    settle();
    ASSERT_EQ(peer->datagrams.size(), 1u);
    EXPECT_EQ(connection->transportMetrics(S)->lastUsableDatagramSize, 65535);
    EXPECT_FALSE(connection->transportMetrics(99));
}

TEST_F(HostConnectionMediaTest, EachKeyframeSentStartsTheEpochItsFollowersAndConfigurationsCarry) {
    hello();
    stream(S);
    const struct {
        bool keyframe;
        std::uint32_t epoch;
    } frames[] = {{true, 2}, {false, 2}, {true, 3}, {false, 3}};
    std::uint32_t frameID = 0;
    for (const auto& row : frames) {
        connection->sendFrame(frameOf(S, ++frameID, 100, peer->executor.nowNs(), row.keyframe));
        settle();
        ASSERT_FALSE(peer->datagrams.empty());
        EXPECT_EQ(peer->headers().back().epoch, row.epoch) << "frame " << frameID;
    }

    // A configuration carries the epoch of the frames before it; a pipeline
    // put in the last one's place counts from the first again.
    connection->announceStreamConfig(streamConfig(S, 2));
    peer->receive(msg::ConfigAck{S, 2});
    connection->keepSurface(S, std::weak_ptr<SurfaceHandle>());
    connection->announceStreamConfig(streamConfig(S, 3));
    settle();
    std::vector<std::uint32_t> configEpochs;
    for (const ControlMessage& message : peer->controls)
        if (const auto* config = message.as<StreamConfig>()) configEpochs.push_back(config->epoch);
    EXPECT_EQ(configEpochs, (std::vector<std::uint32_t>{1, 3, 1}));
}

TEST_F(HostConnectionMediaTest, FramesTheSessionDoesNotAdmitAreNotSent) {
    streaming({S});
    connection->sendFrame(frameOf(S, 1, 100, peer->executor.nowNs(), true, 2)); // unacknowledged generation
    peer->receive(msg::Pause{S, true});
    connection->sendFrame(frameOf(S, 2, 100, peer->executor.nowNs(), false));
    settle();
    EXPECT_TRUE(peer->datagrams.empty());
    EXPECT_EQ(connection->transportMetrics(S)->framesDropped, 2);

    // Acknowledged late, a configuration's frames wait for a keyframe of it:
    // the one before the acknowledgement went nowhere.
    peer->receive(msg::Pause{S, false});
    connection->announceStreamConfig(streamConfig(S, 2));
    settle();
    peer->receive(msg::ConfigAck{S, 2});
    connection->sendFrame(frameOf(S, 3, 100, peer->executor.nowNs(), false, 2));
    settle();
    EXPECT_TRUE(peer->datagrams.empty());
    connection->sendFrame(frameOf(S, 4, 100, peer->executor.nowNs(), true, 2));
    settle();
    ASSERT_FALSE(peer->datagrams.empty());
    EXPECT_TRUE(peer->headers().front().flags.contains(MediaHeader::Flags::keyframe));
}

TEST_F(HostConnectionMediaTest, AnAdmissionRefusalAsksForAKeyframeOnceItIsDue) {
    streaming({S});
    // A frame left queued too long in the sender's admission (as a stalled
    // turn would leave it) breaks every later frame until a keyframe.
    const auto sender = connection->senders().at(S);
    sender->offer(frameOf(S, 1, 100, peer->executor.nowNs(), false));
    peer->executor.advance(60 * ms);
    take();
    connection->sendFrame(frameOf(S, 2, 100, peer->executor.nowNs(), false));
    const Transcript seen = take();
    EXPECT_EQ(keyframeRequests(seen, S), 1u);
    EXPECT_EQ(sender->metrics().framesDropped, 1);
    EXPECT_TRUE(peer->datagrams.empty());

    // Until the pipeline sends it, each refusal asks again; once it has,
    // refusals within the keyframes' spacing only keep one wanted.
    connection->sendFrame(frameOf(S, 3, 100, peer->executor.nowNs(), true));
    settle();
    sender->offer(frameOf(S, 4, 100, peer->executor.nowNs(), false));
    peer->executor.advance(60 * ms);
    take();
    connection->sendFrame(frameOf(S, 5, 100, peer->executor.nowNs(), false));
    EXPECT_EQ(keyframeRequests(take(), S), 0u);
    EXPECT_EQ(sender->metrics().framesDropped, 2);
    // The interval's end asks by itself, with no frame to carry the request.
    peer->executor.advance(250 * ms);
    EXPECT_EQ(keyframeRequests(take(), S), 1u);
}

TEST_F(HostConnectionMediaTest, FramesTooLargeForTheDatagramSizeAreRefusedAndAskForAKeyframe) {
    hello();
    stream(S);
    connection->sendFrame(frameOf(S, 1, 100, peer->executor.nowNs(), true)); // the first keyframe, while it fits
    settle();
    peer->receive(clientCapabilities(100)); // valid on the wire, too small for a fragment
    peer->executor.advance(300 * ms);
    take();
    peer->datagrams.clear();
    connection->sendFrame(frameOf(S, 2, 500, peer->executor.nowNs(), false));
    EXPECT_EQ(keyframeRequests(take(), S), 1u);
    connection->sendFrame(frameOf(S, 3, 500, peer->executor.nowNs(), false));
    EXPECT_GE(keyframeRequests(take(), S), 1u);
    EXPECT_TRUE(peer->datagrams.empty());
    EXPECT_EQ(connection->transportMetrics(S)->framesDropped, 2);
    const auto lines = log.lines("pipeline");
    EXPECT_EQ(lines, std::vector<std::string>{"frames refused surface=7: usable datagram size 100 is below the 104 "
                                              "bytes a fragment needs"});
}

TEST_F(HostConnectionMediaTest, AudioGoesStraightOutAheadOfPacedVideo) {
    streaming({S});
    peer->executor.advance(10'000 * ms);
    take();
    const std::uint64_t now = peer->executor.nowNs();
    connection->sendFrame(frameOf(S, 1, 100 * 1024, now, true)); // more than one burst: the rest waits
    settle();
    const std::size_t videoSoFar = peer->datagrams.size();
    EXPECT_LT(videoSoFar, 89u); // 102,400 bytes in 1,160-byte pieces: 89 datagrams

    connection->sendAudio(SharedBytes(Bytes(120, 0x33)), 9, 41, 3, now - 5'000'000'000ULL);
    connection->sendAudio(SharedBytes(Bytes(60, 0x44)), 9, 42, 3, now + 1);
    connection->sendAudio(SharedBytes(), 9, 43, 3, now);
    settle();
    ASSERT_EQ(peer->datagrams.size(), videoSoFar + 2);
    const auto headers = peer->headers();
    const MediaHeader& late = headers[videoSoFar];
    EXPECT_EQ(late.kind, MediaHeader::Kind::audio);
    EXPECT_EQ(late.flags, MediaHeader::Flags{});
    EXPECT_EQ(late.surfaceID, 9u);
    EXPECT_EQ(late.epoch, 1u);
    EXPECT_EQ(late.frameID, 41u);
    EXPECT_EQ(late.configGeneration, 3u);
    EXPECT_EQ(late.fragmentIndex, 0);
    EXPECT_EQ(late.fragmentCount, 1);
    EXPECT_EQ(late.totalLength, 120u);
    EXPECT_EQ(late.captureTimeNs, now - 5'000'000'000ULL);
    EXPECT_EQ(late.sendOffsetUs, 5'000'000u);
    EXPECT_EQ(headers[videoSoFar + 1].sendOffsetUs, 4'294'967'295u);

    peer->executor.advance(5 * ms); // the video drains afterwards
    EXPECT_EQ(peer->datagrams.size(), 89u + 2u);
}

TEST_F(HostConnectionMediaTest, AudioOffsetsSaturate) {
    EXPECT_EQ(AudioDatagram::sendOffsetUs(10'000, 10'000), 0u);
    EXPECT_EQ(AudioDatagram::sendOffsetUs(4'294'967'295'999ULL + 7, 7), 4'294'967'295u);
    EXPECT_EQ(AudioDatagram::sendOffsetUs(4'294'967'294'999ULL + 7, 7), 4'294'967'294u);
    EXPECT_EQ(AudioDatagram::sendOffsetUs(5, 6), 4'294'967'295u);
}

TEST_F(HostConnectionMediaTest, AudioAfterCloseIsDroppedAndTheConfigGoesAsControl) {
    streaming({S});
    connection->sendAudioConfig(msg::AudioConfig{4, 48000, 2, 10});
    EXPECT_EQ(take(), (Transcript{"send audioConfig(gen 4)"}));
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    connection->sendAudio(SharedBytes(Bytes(10, 1)), 9, 1, 1, peer->executor.nowNs());
    settle();
    EXPECT_TRUE(peer->datagrams.empty());
}

TEST_F(HostConnectionMediaTest, AStallEndAsksForKeyframesOfEverySurfaceInAscendingOrder) {
    streaming({3, 1, 2});
    peer->autoComplete = false;
    connection->sendFrame(frameOf(1, 2, 1000, peer->executor.nowNs(), false));
    settle();
    ASSERT_EQ(peer->datagrams.size(), 1u);
    peer->executor.advance(41 * ms); // the first datagram is now a stall
    connection->sendFrame(frameOf(2, 2, 1000, peer->executor.nowNs(), false));
    settle();
    EXPECT_EQ(peer->datagrams.size(), 1u);
    peer->executor.advance(81 * ms); // and the waiting one is stale
    take();
    peer->completions.front()(true);
    const Transcript seen = take();
    EXPECT_EQ(seen, (Transcript{"pipeline 1 keyframeRequested", "pipeline 2 keyframeRequested",
                                "pipeline 3 keyframeRequested"}));
    EXPECT_EQ(log.lines("transport").back(), "wifi stall ended: dropped 1 stale datagrams, keyframes for 3 surfaces");
    EXPECT_EQ(connection->transportMetrics(2)->datagramsRejectedByStack, 1); // completed as not sent
}

TEST_F(HostConnectionMediaTest, PacerMetricsReadingsResetOnlyTheLargestStackDelay) {
    hello();
    stream(S);
    peer->autoComplete = false;
    connection->sendFrame(frameOf(S, 1, 1000, peer->executor.nowNs(), true));
    settle();
    peer->executor.advance(3 * ms);
    peer->completions.at(0)(true);
    settle();
    const DatagramPacer::Metrics first = connection->pacerMetrics();
    EXPECT_EQ(first.stackMaxNs, static_cast<std::int64_t>(3 * ms));

    connection->sendFrame(frameOf(S, 2, 1000, peer->executor.nowNs(), false));
    settle();
    peer->executor.advance(1 * ms);
    peer->completions.at(1)(true);
    settle();
    const DatagramPacer::Metrics second = connection->pacerMetrics();
    EXPECT_EQ(second.stackMaxNs, static_cast<std::int64_t>(1 * ms));
    EXPECT_EQ(second.stackSamples, 2);
    EXPECT_EQ(second.stackTotalNs, static_cast<std::int64_t>(4 * ms));
    EXPECT_EQ(second.immediate, 2);
}

} // namespace
} // namespace quillmere::testing

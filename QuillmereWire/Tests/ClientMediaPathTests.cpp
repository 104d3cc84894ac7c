#include "ClientSessionTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace client_test;
using Actions = ClientActions;

Actions receiveAll(ClientSession& session, const std::vector<SharedBytes>& datagrams, std::uint64_t now) {
    Actions all;
    for (const auto& datagram : datagrams) {
        auto actions = session.receive(datagram, now);
        all.insert(all.end(), actions.begin(), actions.end());
    }
    return all;
}

std::vector<std::string> described(const Actions& actions) {
    std::vector<std::string> out;
    for (const auto& action : actions) out.push_back(action.description());
    return out;
}

ClientAction recovery(std::uint32_t epoch, std::uint32_t lastComplete, RecoveryReason reason,
                      std::uint32_t surfaceID = 1) {
    return send(msg::RecoveryRequest{surfaceID, epoch, lastComplete, reason});
}

TEST(ClientMediaPath, FragmentsOfAFrameAreDeliveredWhole) {
    ClientSession session = streamingSession();
    const EncodedFrame frame = videoFrame(0);
    const auto datagrams = fragments(frame);
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_EQ(session.receive(datagrams[2], t0 + 1), Actions{});
    EXPECT_EQ(session.receive(datagrams[0], t0 + 2), Actions{});
    const Actions actions = session.receive(datagrams[1], t0 + 3);
    ASSERT_EQ(actions.size(), 1u);
    const auto* deliver = actions[0].as<client::Deliver>();
    ASSERT_TRUE(deliver);
    EXPECT_EQ(deliver->frame.data, frame.data);
    EXPECT_EQ(deliver->frame.firstFragmentAtNs, t0 + 1);
    EXPECT_EQ(deliver->frame.completedAtNs, t0 + 3);
    EXPECT_EQ(deliver->frame.sendOffsetUs, 100u);
    EXPECT_EQ(session.statistics().received, 1u);
}

TEST(ClientMediaPath, NothingIsReceivedOutsideStreaming) {
    ClientSession session = newSession();
    session.handle(hostHello(), t0);
    EXPECT_EQ(session.receive(fragments(videoFrame(0))[0], t0), Actions{});
    EXPECT_EQ(session.assembler().counters().datagrams, 0);
}

TEST(ClientMediaPath, UnusableBytesGoToTheMainAssemblerAndAreRejected) {
    ClientSession session = streamingSession();
    EXPECT_EQ(session.receive(ByteView(Bytes{0x01}), t0), Actions{});
    Bytes shortVideo(20, 0);
    shortVideo[1] = 1;
    EXPECT_EQ(session.receive(ByteView(shortVideo), t0), Actions{});
    Bytes parity = fragments(videoFrame(0))[0].toBytes();
    parity[1] = 3;
    EXPECT_EQ(session.receive(ByteView(parity), t0), Actions{});
    EXPECT_EQ(session.assembler().counters().rejected, 3);
}

TEST(ClientMediaPath, LossOfAFragmentAsksForRecoveryOncePerEpochWithinTheRetryTime) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0, 4)), t0);
    // Frame 1 loses its middle fragment; frame 2 completing gives it up as late.
    auto one = fragments(videoFrame(1, 4));
    session.receive(one[0], t0 + ms);
    session.receive(one[2], t0 + ms);
    EXPECT_EQ(described(receiveAll(session, fragments(videoFrame(2, 4)), t0 + 2 * ms)),
              (std::vector<std::string>{"send(recoveryRequest)", "deliver(frame 2)"}))
        << "the late loss asks; the gap report of the same frame is within the retry time";
    EXPECT_EQ(session.requester().requestsSent(), 1);
    EXPECT_EQ(session.statistics().late, 1u);
    EXPECT_EQ(session.statistics().lost, 1u);
}

TEST(ClientMediaPath, RecoveryRequestsFollowTheRequesterSpacing) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0, 4)), t0);
    session.receive(fragments(videoFrame(1, 4))[0], t0 + ms);
    EXPECT_EQ(receiveAll(session, fragments(videoFrame(2, 4)), t0 + 2 * ms).front(),
              recovery(4, 0, RecoveryReason::frameLoss));
    session.receive(fragments(videoFrame(3, 4))[0], t0 + 3 * ms);
    const Actions within = receiveAll(session, fragments(videoFrame(4, 4)), t0 + 200 * ms);
    EXPECT_EQ(described(within), (std::vector<std::string>{"deliver(frame 4)"}));
    session.receive(fragments(videoFrame(6, 5))[0], t0 + 201 * ms);
    EXPECT_EQ(receiveAll(session, fragments(videoFrame(7, 5)), t0 + 202 * ms).front(),
              recovery(5, 4, RecoveryReason::frameLoss));
}

TEST(ClientMediaPath, TickExpiresStalledFramesWithoutDelivering) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0)), t0);
    session.receive(fragments(videoFrame(1))[0], t0 + ms);
    EXPECT_EQ(session.tick(t0 + ms + 80 * ms), Actions{});
    EXPECT_EQ(session.tick(t0 + ms + 80 * ms + 1), Actions{recovery(1, 0, RecoveryReason::assemblyTimeout)});
    EXPECT_EQ(session.statistics().lost, 1u);
    EXPECT_EQ(session.assembler().partialFrameCount(), 0u);
}

TEST(ClientMediaPath, LossesAreTalliedByReasonAcrossReportIntervals) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0)), t0);
    auto one = fragments(videoFrame(1));
    session.receive(one[0], t0 + ms);
    receiveAll(session, fragments(videoFrame(2)), t0 + 2 * ms);
    session.report(t0 + 3 * ms, 0, 0);
    session.receive(fragments(videoFrame(3))[0], t0 + 4 * ms);
    session.tick(t0 + 4 * ms + 80 * ms + 1);
    EXPECT_EQ(session.losses(FrameLossReason::late), 1);
    EXPECT_EQ(session.losses(FrameLossReason::expired), 1);
    EXPECT_EQ(session.losses(FrameLossReason::gap), 1) << "the assembler also reports frame 1 as the gap before 2";
    EXPECT_EQ(session.losses(FrameLossReason::evicted), 0);
    EXPECT_EQ(session.statistics().lost, 1u) << "the report reset the interval; the tally stays";
}

TEST(ClientMediaPath, DecodeFailureCountsAlwaysAndAsksOnlyWithAnEpoch) {
    ClientSession session = streamingSession();
    EXPECT_EQ(session.decodeFailed(t0), Actions{});
    EXPECT_EQ(session.statistics().decodeErrors, 1u);
    receiveAll(session, fragments(videoFrame(0, 3)), t0);
    EXPECT_EQ(session.decodeFailed(t0 + ms), Actions{recovery(3, 0, RecoveryReason::decodeError)});
    EXPECT_EQ(session.decodeFailed(t0 + 2 * ms), Actions{});
    EXPECT_EQ(session.statistics().decodeErrors, 3u);

    ClientSession ready = newSession();
    EXPECT_EQ(ready.decodeFailed(t0), Actions{});
    EXPECT_EQ(ready.statistics().decodeErrors, 1u);
}

TEST(ClientMediaPath, ReportClosesTheIntervalThenPings) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0)), t0 + 5 * ms);
    session.frameDecoded();
    session.frameDisplayed();
    session.frameDisplayed();
    const Actions actions = session.report(t0 + 1'000 * ms, -5, 7);
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0], send(ReceiverReport{1, 1'000, 1, 0, 0, 1, 0, 0, 200, 0, 3}));
    EXPECT_EQ(actions[1], send(msg::Ping{t0 + 1'000 * ms}));
    EXPECT_EQ(session.statistics().decodeQueueDepth, 0);
    EXPECT_EQ(session.statistics().thermalState, 3);
    EXPECT_EQ(session.report(t0 + 1'500 * ms, 300, 1).front(),
              send(ReceiverReport{1, 500, 0, 0, 0, 0, 0, 0, 0, 255, 1}));

    ClientSession ready = newSession();
    EXPECT_EQ(ready.report(t0, 1, 1), Actions{});
    EXPECT_EQ(ready.statistics().decodeQueueDepth, 0);
}

TEST(ClientMediaPath, AudioNeedsTheAnnouncedGeneration) {
    ClientSession session = streamingSession();
    const Bytes opus{0xF8, 0x01, 0x02};
    EXPECT_EQ(session.receive(ByteView(audioDatagram(1, 40, opus)), t0), Actions{});
    session.handle(msg::AudioConfig{1, 48000, 2, 10}, t0);
    EXPECT_EQ(session.receive(ByteView(audioDatagram(2, 41, opus)), t0), Actions{});
    EXPECT_EQ(session.receive(ByteView(audioDatagram(1, 42, opus)), t0),
              (Actions{client::AudioPacket{9, 42, 123, opus}}));
    Bytes truncated = audioDatagram(1, 43, opus);
    truncated.resize(30);
    EXPECT_EQ(session.receive(ByteView(truncated), t0), Actions{});
    EXPECT_EQ(session.assembler().counters().datagrams, 0) << "audio never reaches the video assembler";
}

TEST(ClientMediaPath, ExtraSurfaceFramesWaitForItsConfiguration) {
    ClientSession session = streamingSession();
    const auto frame = fragments(videoFrame(0, 1, 1, 90, 3));
    EXPECT_EQ(session.receive(frame[0], t0), Actions{});
    session.addSurface(3, 0x99);
    session.handle(hostState(2, CaptureStateValue::active, 3), t0);
    EXPECT_EQ(session.receive(frame[0], t0), Actions{});
    session.handle(streamConfig(1, 3), t0);
    const Actions actions = session.receive(frame[0], t0 + 1);
    EXPECT_EQ(described(actions), (std::vector<std::string>{"deliverSurface(3, frame 0)"}));
    EXPECT_EQ(session.statistics().received, 0u) << "extra surfaces keep no statistics";
    EXPECT_EQ(session.assembler().counters().datagrams, 0);
}

TEST(ClientMediaPath, ExtraSurfaceLossesAskForItsOwnRecovery) {
    ClientSession session = streamingSession();
    session.addSurface(2, 0x99);
    session.handle(streamConfig(1, 2), t0);
    receiveAll(session, fragments(videoFrame(0, 6, 1, 250, 2)), t0);
    session.receive(fragments(videoFrame(1, 6, 1, 250, 2))[0], t0);
    const Actions actions = receiveAll(session, fragments(videoFrame(2, 6, 1, 250, 2)), t0);
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.front(), recovery(6, 0, RecoveryReason::frameLoss, 2));
    EXPECT_EQ(session.requester().requestsSent(), 0);
}

// A request left outstanding for the old surface's epoch 3 must not hold
// back requests for the new surface, whose epochs start again at 1.
TEST(ClientMediaPath, WindowSwitchForgetsTheOldSurfacesRecoveryRequest) {
    ClientSession session = streamingSession();
    receiveAll(session, fragments(videoFrame(0, 3)), t0);
    ASSERT_FALSE(session.decodeFailed(t0).empty());
    session.selectWindow(0x77);
    session.handle(hostState(2, CaptureStateValue::active), t0);
    session.handle(streamConfig(1), t0);
    receiveAll(session, fragments(videoFrame(0, 1)), t0 + ms);
    EXPECT_EQ(session.decodeFailed(t0 + 2 * ms), Actions{recovery(1, 0, RecoveryReason::decodeError)});
}

} // namespace
} // namespace quillmere

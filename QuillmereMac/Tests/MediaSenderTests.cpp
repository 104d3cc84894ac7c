#include "TestSupport/TestValues.h"
#include "QuillmereMac/Sending/MediaSender.h"
#include "QuillmereMac/Tests/LogCapture.h"

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereWire/MediaDatagram.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

using testing::ms;

struct FakeDatagramPeer : DatagramPeer {
    ManualExecutor executor{"connection"};
    std::int64_t usable = 1200;
    std::vector<SharedBytes> sent;
    std::vector<Completion> completions;

    Executor& queue() override { return executor; }
    void sendDatagram(SharedBytes datagram, Completion completion) override {
        sent.push_back(std::move(datagram));
        completions.push_back(std::move(completion));
    }
    std::int64_t usableDatagramSize() const override { return usable; }
};

EncodedFrame frame(std::uint32_t id, std::size_t length, std::uint64_t captureTimeNs, bool keyframe = false) {
    EncodedFrame f;
    f.surfaceID = 7;
    f.epoch = 2;
    f.frameID = id;
    f.configGeneration = 3;
    f.flags = keyframe ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    f.captureTimeNs = captureTimeNs;
    f.data.resize(length);
    for (std::size_t i = 0; i < length; ++i) f.data[i] = static_cast<std::uint8_t>(i * 7 + id);
    return f;
}

class MediaSenderTest : public ::testing::Test {
protected:
    FakeDatagramPeer peer;
    bool admitting = true;
    std::vector<std::uint32_t> asked;
    std::shared_ptr<MediaSender> sender = MediaSender::make(
        7, SendAdmission(AdmissionLimits(3, 50 * ms)), [this] { return peer.executor.nowNs(); },
        [this](const EncodedFrame& f) {
            asked.push_back(f.frameID);
            return admitting;
        });

    MediaHeader header(std::size_t index) {
        auto decoded = MediaDatagram::decode(peer.sent.at(index).view());
        EXPECT_TRUE(decoded);
        return decoded ? decoded->header : MediaHeader{};
    }
};

TEST_F(MediaSenderTest, SummaryOfASenderThatSentNothing) {
    EXPECT_EQ(sender->summary(), "frames sent=0 dropped=0 datagrams=0 rejected=0 sendAge mean=0\u00b5s max=0\u00b5s "
                                 "usableDatagram last=0 min=0");
}

TEST_F(MediaSenderTest, AFrameIsCutInOrderAndStampedWithItsAge) {
    const std::uint64_t now = peer.executor.nowNs();
    ASSERT_EQ(sender->offer(frame(1, 3000, now - 2 * ms, true)), SendAdmission::Decision::admitted);
    sender->send(peer, 65535, nullptr);
    ASSERT_EQ(peer.sent.size(), 3u); // 1,160 payload bytes per 1,200-byte datagram
    Bytes joined;
    for (std::size_t i = 0; i < 3; ++i) {
        const MediaHeader h = header(i);
        EXPECT_EQ(h.fragmentIndex, i);
        EXPECT_EQ(h.fragmentCount, 3);
        EXPECT_EQ(h.sendOffsetUs, 2000u);
        EXPECT_LE(peer.sent[i].size(), 1200u);
        const auto payload = peer.sent[i].view().subspan(MediaHeader::headerSize);
        joined.insert(joined.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(joined, frame(1, 3000, 0).data);
    const TransportMetrics& m = sender->metrics();
    EXPECT_EQ(m.framesAdmitted, 1);
    EXPECT_EQ(m.framesSent, 1);
    EXPECT_EQ(m.datagramsSent, 3);
    EXPECT_EQ(m.bytesSent, 3000);
    EXPECT_EQ(m.maxSendAgeNs, static_cast<std::int64_t>(2 * ms));
    EXPECT_EQ(sender->summary(), "frames sent=1 dropped=0 datagrams=3 rejected=0 sendAge mean=2000\u00b5s "
                                 "max=2000\u00b5s usableDatagram last=1200 min=1200");
}

TEST_F(MediaSenderTest, SendOffsetIsZeroForAFutureCaptureAndSaturatesWhenTooOld) {
    EXPECT_EQ(MediaSender::sendOffsetUs(4'294'967'295'999ULL), 4'294'967'295u);
    EXPECT_EQ(MediaSender::sendOffsetUs(4'294'967'296'000ULL), 4'294'967'295u);
    EXPECT_EQ(MediaSender::sendOffsetUs(999), 0u);

    const std::uint64_t now = peer.executor.nowNs();
    sender->offer(frame(1, 100, now + 5 * ms, true));
    sender->send(peer, 65535, nullptr);
    EXPECT_EQ(header(0).sendOffsetUs, 0u);
    EXPECT_EQ(sender->metrics().maxSendAgeNs, 0);

    peer.executor.advance(5'000'000 * ms); // 5,000 s
    sender->offer(frame(2, 100, 1, false));
    sender->send(peer, 65535, nullptr);
    EXPECT_EQ(header(1).sendOffsetUs, 4'294'967'295u);
}

TEST_F(MediaSenderTest, TheSmallerOfLimitAndPathDecidesAndTheMinimumOnlyFalls) {
    const std::uint64_t now = peer.executor.nowNs();
    sender->offer(frame(1, 2000, now, true));
    sender->send(peer, 1000, nullptr); // the client's limit is below the path's 1,200
    EXPECT_EQ(peer.sent.front().size(), 1000u);
    EXPECT_EQ(sender->metrics().minUsableDatagramSize, 1000);
    peer.usable = 1100;
    sender->offer(frame(2, 100, now));
    sender->send(peer, 65535, nullptr);
    EXPECT_EQ(sender->metrics().lastUsableDatagramSize, 1100);
    EXPECT_EQ(sender->metrics().minUsableDatagramSize, 1000);
}

TEST_F(MediaSenderTest, AFrameTheSessionRefusesIsNotFragmented) {
    admitting = false;
    sender->offer(frame(1, 5000, peer.executor.nowNs(), true));
    EXPECT_EQ(sender->send(peer, 65535, nullptr), 0); // dropped, but not for want of datagram room
    EXPECT_EQ(asked, std::vector<std::uint32_t>{1});
    EXPECT_TRUE(peer.sent.empty());
    EXPECT_EQ(sender->metrics().datagramsSent, 0);
    EXPECT_EQ(sender->metrics().framesDropped, 1);
    EXPECT_EQ(sender->metrics().lastUsableDatagramSize, 0);
}

TEST_F(MediaSenderTest, RefusedOffersCountAsDropped) {
    const std::uint64_t now = peer.executor.nowNs();
    sender->offer(frame(1, 100, now, true));
    peer.executor.advance(60 * ms); // the keyframe expires before it is sent
    EXPECT_EQ(sender->offer(frame(2, 100, now)), SendAdmission::Decision::refusedAwaitingKeyframe);
    EXPECT_EQ(sender->metrics().framesAdmitted, 1);
    EXPECT_EQ(sender->metrics().framesDropped, 1);
    EXPECT_TRUE(sender->admission().recoveryRequired());
}

TEST_F(MediaSenderTest, StackRefusalsAreCountedOnTheConnectionQueue) {
    std::vector<DatagramPeer::Completion> held;
    const MediaSender::Via via = [&](SharedBytes, DatagramPeer::Completion completion) {
        held.push_back(std::move(completion));
    };
    sender->offer(frame(1, 3000, peer.executor.nowNs(), true));
    sender->send(peer, 65535, via);
    ASSERT_EQ(held.size(), 3u);
    EXPECT_TRUE(peer.sent.empty()); // everything went the given way
    held[0](true);
    held[1](false);
    held[2](false);
    EXPECT_EQ(sender->metrics().datagramsRejectedByStack, 0);
    peer.executor.runUntilIdle();
    EXPECT_EQ(sender->metrics().datagramsRejectedByStack, 2);
}

TEST_F(MediaSenderTest, ADatagramSizeTooSmallForAFragmentRefusesFramesVisibly) {
    testing::LogCapture log;
    peer.usable = 100;
    const std::uint64_t now = peer.executor.nowNs();
    for (std::uint32_t id = 1; id <= 3; ++id) {
        sender->offer(frame(id, 500, now, id == 1));
        EXPECT_EQ(sender->send(peer, 65535, nullptr), 1); // reported as unsendable
    }
    EXPECT_TRUE(peer.sent.empty());
    EXPECT_EQ(sender->metrics().framesDropped, 3);
    EXPECT_EQ(sender->metrics().minUsableDatagramSize, 100);
    EXPECT_EQ(log.lines("pipeline"),
              std::vector<std::string>{"frames refused surface=7: usable datagram size 100 is below the 104 bytes a "
                                       "fragment needs"});

    peer.usable = 104;
    sender->offer(frame(4, 500, now, true));
    EXPECT_EQ(sender->send(peer, 65535, nullptr), 0);
    EXPECT_EQ(peer.sent.size(), 8u); // 64 payload bytes each
    peer.usable = 64;
    sender->offer(frame(5, 500, now));
    sender->send(peer, 65535, nullptr);
    EXPECT_EQ(log.lines("pipeline").size(), 2u); // a new run of refusals is said again
}

TEST_F(MediaSenderTest, AFrameTooLargeToFragmentIsDroppedAndLogged) {
    testing::LogCapture log;
    sender->offer(frame(1, 2049 * 64, peer.executor.nowNs(), true));
    sender->send(peer, 104, nullptr);
    EXPECT_TRUE(peer.sent.empty());
    EXPECT_EQ(sender->metrics().framesDropped, 1);
    ASSERT_EQ(log.lines("pipeline").size(), 1u);
    EXPECT_NE(log.lines("pipeline")[0].find("media.fragmentCount"), std::string::npos);
}

} // namespace
} // namespace quillmere

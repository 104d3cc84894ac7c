#include "QuillmereMac/Tests/HostConnectionFixture.h"

namespace quillmere::testing {
namespace {

TEST_F(HostConnectionTest, ScriptedSessionGivesTheExactSendsAndMediaCalls) {
    EXPECT_TRUE(peer->started);
    peer->emit(peer::Ready{Digest32{}});
    peer->emit(peer::DatagramFlowReady{1200});
    peer->receive(clientHello());
    EXPECT_EQ(take(), (Transcript{"send hello(Mac)", "send capabilities"}));
    EXPECT_EQ(statuses, (std::vector<std::optional<std::string>>{"Phone"}));
    peer->receive(clientCapabilities(1100));
    EXPECT_EQ(connection->capabilitiesCopy(), clientCapabilities(1100));

    media->windows = {CaptureWindow{W, "Notes", "TextEdit", 800, 600}};
    peer->receive(msg::CaptureListRequest{});
    EXPECT_EQ(take(), (Transcript{"media captureList", "send captureList(1)"}));

    peer->receive(msg::CaptureSelect{S, 0xFFFFFF03});
    EXPECT_EQ(take(), (Transcript{"send captureState(7 gen 1 awaitingConsent)",
                                  "media requestCaptureConsent(display(3), 4294967043, Phone)"}));
    media->consentReplies.back()(true);
    EXPECT_EQ(take(), (Transcript{"send captureState(7 gen 1 active)", "media startSurface(7, 4294967043)"}));

    connection->announceStreamConfig(streamConfig(S, 1));
    EXPECT_EQ(take(), (Transcript{"send streamConfig(7 gen 1)"}));
    peer->receive(msg::ConfigAck{S, 1});
    peer->receive(msg::StartStream{S});
    EXPECT_EQ(take(), (Transcript{"media beginMedia(7, 4294967043)", "pipeline 7 keyframeRequested",
                                  "pipeline 7 setTier(60, 40000)"}));

    // A 3,000-byte keyframe in the client's 1,100-byte datagrams, in the
    // epoch the session issued for it.
    connection->sendFrame(frameOf(S, 1, 3000, peer->executor.nowNs(), true));
    settle();
    ASSERT_EQ(peer->datagrams.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const MediaHeader h = peer->headers()[i];
        EXPECT_EQ(h.kind, MediaHeader::Kind::video);
        EXPECT_EQ(h.frameID, 1u);
        EXPECT_EQ(h.epoch, 2u);
        EXPECT_EQ(h.fragmentIndex, i);
        EXPECT_EQ(h.fragmentCount, 3);
        EXPECT_LE(peer->datagrams[i].size(), 1100u);
    }

    // Control of this computer, one key, then the client lets the lease run idle.
    peer->receive(msg::InputControlRequest{});
    EXPECT_EQ(take(), (Transcript{"media requestControl(Phone)"}));
    media->controlReplies.back()(true);
    EXPECT_EQ(take(), (Transcript{"send inputControlState(gen 1 granted lease 500)"}));
    peer->receive(msg::Input{1, 1, input::Key{4, true}});
    EXPECT_EQ(take(), (Transcript{"media inject(1)"}));
    peer->executor.advance(700 * ms); // the input timer finds the key held too long
    EXPECT_EQ(take(), (Transcript{"media inject(1)", "send inputControlState(gen 1 expired lease 500)"}));

    peer->receive(msg::ClipboardPush{5, "hello"});
    EXPECT_EQ(take(), (Transcript{"media writeClipboard(Phone, hello)"}));
    media->writeReplies.back()(ClipboardOutcome::done);
    EXPECT_EQ(take(), (Transcript{"send clipboardResult(5 done)"}));

    peer->receive(msg::TextSize{1});
    peer->receive(msg::ScreenShape{0});
    // The text size is a main-actor task; the shape is set at once.
    EXPECT_EQ(take(), (Transcript{"media setScreenShape(standard)", "media setTextSize(1)"}));

    // The client leaves; the transport then reports the close.
    peer->receive(msg::Bye{ByeReason::normal});
    EXPECT_EQ(take(), (Transcript{"media stopSurface(7)", "close(1)"}));
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    EXPECT_EQ(take(), (Transcript{"media setTextSize(0)"}));
    EXPECT_EQ(closedCount, 1);
    const auto lines = log.lines("transport");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "datagram flow ready, usable 1200 bytes");
    EXPECT_EQ(lines[lines.size() - 2], "surface closed: frames sent=1 dropped=0 datagrams=3 rejected=0 sendAge "
                                       "mean=0\u00b5s max=0\u00b5s usableDatagram last=1100 min=1100");
    EXPECT_EQ(lines.back(), "connection closed: remote");
}

} // namespace
} // namespace quillmere::testing

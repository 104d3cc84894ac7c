#include "QuillmereMac/Tests/HostConnectionFixture.h"

namespace quillmere::testing {
namespace {

Bytes probe(std::size_t length, std::uint8_t second = 0x01) {
    Bytes bytes(length);
    bytes[0] = 0xFD;
    bytes[1] = second;
    for (std::size_t i = 2; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 11);
    return bytes;
}

TEST_F(HostConnectionTest, AClockProbeIsAnsweredAtOnceWithTheHostTime) {
    peer->executor.advance(0x0102030405ULL);
    const std::uint64_t at = peer->executor.nowNs();
    peer->emit(peer::Datagram{SharedBytes(probe(14))});
    ASSERT_EQ(peer->datagrams.size(), 1u);
    const Bytes reply = peer->datagrams[0].toBytes();
    ASSERT_EQ(reply.size(), 22u);
    EXPECT_EQ(reply[0], 0xFD);
    EXPECT_EQ(reply[1], 0x02);
    EXPECT_TRUE(std::equal(reply.begin() + 2, reply.begin() + 14, probe(14).begin() + 2));
    std::uint64_t time = 0;
    for (std::size_t i = 14; i < 22; ++i) time = time << 8 | reply[i];
    EXPECT_EQ(time, at);
    EXPECT_EQ(peer->completions.size(), 0u);
}

TEST_F(HostConnectionTest, OtherDatagramsGetNoAnswer) {
    for (const Bytes& bytes : {probe(13), probe(15), probe(14, 0x02), Bytes{0x51, 0x44, 0x47, 0x31}})
        peer->emit(peer::Datagram{SharedBytes(bytes)});
    Bytes wrongFirst = probe(14);
    wrongFirst[0] = 0xFC;
    peer->emit(peer::Datagram{SharedBytes(wrongFirst)});
    EXPECT_TRUE(peer->datagrams.empty());
}

TEST_F(HostConnectionTest, AFocusHintReachesTheMediaSideBeforeTheSession) {
    // Before the hello the session answers every message with an error.
    peer->receive(msg::FocusHint{S, 250});
    const Transcript seen = take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "media focusHint(7, 250)");
    EXPECT_TRUE(seen[1].starts_with("send error(")) << seen[1];
    EXPECT_EQ(seen[2], "close(1)");
}

TEST_F(HostConnectionTest, StatusFollowsEveryHelloEvenARejectedOne) {
    peer->receive(clientHello(2)); // wrong major version
    EXPECT_EQ(statuses, (std::vector<std::optional<std::string>>{std::nullopt}));
    EXPECT_FALSE(connection->capabilitiesCopy());
    peer->receive(clientCapabilities()); // the session is closed: nothing is stored
    EXPECT_EQ(connection->capabilitiesCopy(), std::nullopt);
}

TEST_F(HostConnectionTest, ReadyStoresThePeerFingerprint) {
    std::array<std::uint8_t, 32> raw{};
    raw[0] = 0xAB;
    const Digest32 fingerprint(raw);
    peer->emit(peer::Ready{fingerprint});
    EXPECT_EQ(connection->peerFingerprint(), fingerprint);
}

TEST_F(HostConnectionTest, ASecondClosedEventDoesNothing) {
    hello();
    stream(S);
    peer->emit(peer::Closed{PeerCloseReason::local()});
    EXPECT_EQ(take(), (Transcript{"media stopSurface(7)"}));
    EXPECT_TRUE(connection->isClosed());
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(closedCount, 1);
    EXPECT_EQ(log.lines("transport").back(), "connection closed: local");
}

TEST_F(HostConnectionTest, ClosingReleasesHeldInputAndRestoresTextSizeAndShape) {
    hello();
    stream(S);
    peer->receive(msg::InputControlRequest{});
    settle();
    media->controlReplies.back()(true);
    EXPECT_EQ(take(), (Transcript{"media requestControl(Phone)", "send inputControlState(gen 1 granted lease 500)"}));
    peer->receive(msg::Input{1, 1, input::Key{4, true}});
    peer->receive(msg::Input{2, 1, input::Button{InputButton::left, true}});
    peer->receive(msg::TextSize{2});
    peer->receive(msg::ScreenShape{1});
    EXPECT_EQ(take(), (Transcript{"media inject(1)", "media inject(1)", "media setScreenShape(wide)",
                                  "media setTextSize(2)"}));
    EXPECT_TRUE(connection->textSizeChanged());
    EXPECT_TRUE(connection->screenShapeChanged());

    peer->emit(peer::Closed{PeerCloseReason::failed("handshake timeout")});
    EXPECT_EQ(take(), (Transcript{"media inject(2)", "media stopSurface(7)", "media setScreenShape(standard)",
                                  "media setTextSize(0)"}));
    // Ticks of a closed connection do nothing, and its timer is gone.
    peer->executor.advance(2000 * ms);
    EXPECT_TRUE(take().empty());
}

TEST_F(HostConnectionTest, ALateCloseLeavesTheNewerConnectionsMediaAlone) {
    hello();
    stream(S);
    stream(8, 0x5678);
    peer->receive(msg::TextSize{1});
    take();

    // A newer connection took surface 7 over and began media last.
    Transcript otherTranscript;
    auto newer = HostConnection::make(std::make_shared<FakePeer>(otherTranscript),
                                      HostSession(hostHello(), hostCapabilities(), rateConfig()), media, main, {}, {});
    media->pipelines[S] = std::make_shared<FakePipeline>(otherTranscript, media->pipelineQueue, S, newer);
    media->last = newer;

    peer->emit(peer::Closed{PeerCloseReason::remote()});
    // The closing connection stops its own surfaces only: the newer one's 7
    // goes on.
    EXPECT_EQ(take(), (Transcript{"media stopSurface(7)", "media stopSurface(8)"}));
    ASSERT_TRUE(media->pipelines.contains(S));
    EXPECT_EQ(media->pipelines[S]->connection(), newer);
    const auto lines = log.lines("transport");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "late close of a replaced connection: the newer session keeps its media"),
              lines.end());
    EXPECT_EQ(closedCount, 1);
}

TEST_F(HostConnectionTest, CloseWithoutAMediaSideStillEndsTheSession) {
    peer = std::make_shared<FakePeer>(transcript);
    auto gone = std::make_shared<FakeMedia>(transcript);
    connection = makeConnection(gone);
    gone.reset();
    peer->receive(clientHello());
    take();
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(closedCount, 1);
}

TEST_F(HostConnectionTest, HopsToAReleasedConnectionAreDropped) {
    hello();
    auto weak = std::weak_ptr<HostConnection>(connection);
    connection->grantControl(true);
    connection->endSurface(S);
    connection.reset();
    EXPECT_TRUE(weak.expired());
    settle();
    EXPECT_TRUE(take().empty());
}

TEST_F(HostConnectionTest, ThermalAndByeStepsRunOnTheQueue) {
    hello();
    stream(S);
    connection->thermalChanged(ThermalLevel::critical);
    EXPECT_EQ(take(), (Transcript{"pipeline 7 setBitrate(14000)"}));
    connection->sayBye(ByeReason::revoked);
    const Transcript bye = take();
    ASSERT_GE(bye.size(), 2u);
    EXPECT_EQ(bye[bye.size() - 2], "send bye(revoked)");
    EXPECT_EQ(bye.back(), "close(1)");
}

} // namespace
} // namespace quillmere::testing

#include "ClientSessionTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace client_test;
using Phase = ClientSession::Phase;
using Actions = ClientActions;

ClientSession readySession() {
    ClientSession session = newSession();
    session.handle(hostHello(), t0);
    session.handle(hostCapabilities(), t0);
    return session;
}

TEST(ClientSessionHello, StartSendsHelloThenCapabilitiesInAnyPhase) {
    ClientSession session = newSession();
    const Actions expected{send(clientHello()), send(clientCapabilities())};
    EXPECT_EQ(session.start(), expected);
    session.close();
    EXPECT_EQ(session.start(), expected);
}

TEST(ClientSessionHello, AnythingBeforeTheHostHelloCloses) {
    ClientSession session = newSession();
    EXPECT_EQ(session.handle(msg::Ping{5}, t0),
              (Actions{violation("hello required first"),
                       closedBy(ClientCloseReason::protocolViolation("hello required first"))}));
    EXPECT_EQ(session.phase(), Phase::closed);
    EXPECT_EQ(session.handle(hostHello(), t0), Actions{});
}

TEST(ClientSessionHello, OnlyAHostOfMajorVersionOneIsAccepted) {
    const Actions bad{violation("bad host hello"), closedBy(ClientCloseReason::protocolViolation("bad host hello"))};
    ClientSession clientRole = newSession();
    EXPECT_EQ(clientRole.handle(hostHello(1, 0, PeerRole::client), t0), bad);
    ClientSession nextMajor = newSession();
    EXPECT_EQ(nextMajor.handle(hostHello(2), t0), bad);

    ClientSession anyMinor = newSession();
    EXPECT_EQ(anyMinor.handle(hostHello(1, 9), t0), Actions{});
    EXPECT_EQ(anyMinor.phase(), Phase::ready);
    EXPECT_EQ(anyMinor.hostHello(), hostHello(1, 9));
}

TEST(ClientSessionHello, RequestsWaitForTheHostHello) {
    ClientSession session = newSession();
    EXPECT_EQ(session.selectWindow(window), Actions{});
    EXPECT_EQ(session.requestCaptureList(), Actions{});
    EXPECT_EQ(session.addSurface(2, window), Actions{});
    EXPECT_EQ(session.pullClipboard(), Actions{});
    EXPECT_EQ(session.clipboardRequestID(), 0u);
}

// The whole way to streaming, message by message.
TEST(ClientSessionTranscript, SelectingAWindowReachesStreaming) {
    ClientSession session = readySession();
    EXPECT_EQ(session.requestCaptureList(), Actions{send(msg::CaptureListRequest{})});
    const std::vector<CaptureWindow> windows{{window, "Notes", "Notes", 800, 600}};
    EXPECT_EQ(session.handle(msg::CaptureList{windows}, t0), Actions{client::Windows{windows}});

    EXPECT_EQ(session.selectWindow(window), (Actions{send(msg::CaptureSelect{1, window})}));
    EXPECT_EQ(session.phase(), Phase::awaitingConsent);
    EXPECT_EQ(session.requestCaptureList(), Actions{});
    EXPECT_EQ(session.handle(hostState(1, CaptureStateValue::awaitingConsent), t0),
              Actions{client::CaptureState{CaptureStateValue::awaitingConsent}});
    EXPECT_EQ(session.handle(hostState(1, CaptureStateValue::active), t0),
              Actions{client::CaptureState{CaptureStateValue::active}});
    EXPECT_EQ(session.phase(), Phase::awaitingConfig);

    EXPECT_EQ(session.handle(streamConfig(1), t0),
              (Actions{client::Configure{streamConfig(1)}, send(msg::ConfigAck{1, 1}), send(msg::StartStream{1})}));
    EXPECT_EQ(session.phase(), Phase::streaming);
    EXPECT_EQ(session.assembler().acceptedConfigGeneration(), 1u);
    EXPECT_EQ(session.config().acknowledged(), streamConfig(1));
    EXPECT_FALSE(session.config().pending());

    EXPECT_EQ(session.handle(streamConfig(2), t0),
              (Actions{client::Configure{streamConfig(2)}, send(msg::ConfigAck{1, 2})}));
    EXPECT_EQ(session.requestCaptureList(), Actions{send(msg::CaptureListRequest{})});
}

TEST(ClientSessionTranscript, ConfigurationBeforeConsentIsIgnored) {
    ClientSession session = readySession();
    session.selectWindow(window);
    EXPECT_EQ(session.handle(streamConfig(1), t0), Actions{});
    EXPECT_FALSE(session.config().acknowledged());
}

TEST(ClientSessionTranscript, ReactivationWaitsForANewerConfiguration) {
    ClientSession session = streamingSession(3);
    session.handle(hostState(1, CaptureStateValue::active), t0);
    EXPECT_EQ(session.phase(), Phase::awaitingConfig);
    EXPECT_EQ(session.handle(streamConfig(3), t0), Actions{});
    EXPECT_EQ(session.handle(streamConfig(2), t0), Actions{});
    EXPECT_EQ(session.phase(), Phase::awaitingConfig);
    EXPECT_EQ(session.handle(streamConfig(4), t0),
              (Actions{client::Configure{streamConfig(4)}, send(msg::ConfigAck{1, 4}), send(msg::StartStream{1})}));
}

TEST(ClientSessionTranscript, ConfigurationGenerationsWrap) {
    ClientSession session = streamingSession(0xFFFFFFFFu);
    EXPECT_EQ(session.handle(streamConfig(0), t0).size(), 2u);
    EXPECT_EQ(session.config().acknowledged()->configGeneration, 0u);
}

TEST(ClientSessionTranscript, CaptureGenerationsMayRepeatButNotGoBack) {
    ClientSession session = readySession();
    session.selectWindow(window);
    session.handle(hostState(0, CaptureStateValue::awaitingConsent), t0);
    EXPECT_EQ(session.handle(hostState(0, CaptureStateValue::awaitingConsent), t0).size(), 1u);
    EXPECT_EQ(session.handle(hostState(0xFFFFFFFFu, CaptureStateValue::active), t0), Actions{});
    EXPECT_EQ(session.phase(), Phase::awaitingConsent);
    EXPECT_EQ(session.captureGeneration(), 0u);
}

TEST(ClientSessionTranscript, FinalCaptureStatesReturnToReady) {
    for (const auto state : {CaptureStateValue::denied, CaptureStateValue::ended, CaptureStateValue::unavailable}) {
        ClientSession session = streamingSession();
        session.receive(fragments(videoFrame(1))[0], t0);
        ASSERT_EQ(session.assembler().partialFrameCount(), 1u);
        EXPECT_EQ(session.handle(hostState(1, state), t0), Actions{client::CaptureState{state}});
        EXPECT_EQ(session.phase(), Phase::ready);
        EXPECT_EQ(session.assembler().partialFrameCount(), 0u);
        EXPECT_EQ(session.assembler().acceptedConfigGeneration(), 1u);
    }
}

TEST(ClientSessionTranscript, HostStopOfTheMainSurfaceEndsItsCapture) {
    ClientSession session = streamingSession();
    session.receive(fragments(videoFrame(0))[0], t0);
    EXPECT_EQ(session.handle(msg::StopStream{1, StopReason::captureEnded}, t0),
              Actions{client::CaptureState{CaptureStateValue::ended}});
    EXPECT_EQ(session.phase(), Phase::ready);
    EXPECT_FALSE(session.assembler().epoch());
}

// The host's new surface numbers its configurations from the start again:
// a client still holding the old surface's generation would never stream.
TEST(ClientSessionWindowSwitch, NewSurfaceStreamsFromItsFirstConfiguration) {
    ClientSession session = streamingSession(5);
    EXPECT_EQ(session.selectWindow(0x77), (Actions{send(msg::CaptureSelect{1, 0x77})}));
    EXPECT_FALSE(session.config().acknowledged());
    EXPECT_EQ(session.captureGeneration(), 1u);
    session.handle(hostState(2, CaptureStateValue::awaitingConsent), t0);
    session.handle(hostState(2, CaptureStateValue::active), t0);
    EXPECT_EQ(session.handle(streamConfig(1), t0),
              (Actions{client::Configure{streamConfig(1)}, send(msg::ConfigAck{1, 1}), send(msg::StartStream{1})}));
    EXPECT_EQ(session.phase(), Phase::streaming);
}

// A stale activation of the old surface can slip in after the selection;
// the host's newer generation still clears what it brought along.
TEST(ClientSessionWindowSwitch, NewerCaptureGenerationClearsAStaleConfiguration) {
    ClientSession session = streamingSession(1, 1);
    session.selectWindow(0x77);
    session.handle(hostState(1, CaptureStateValue::active), t0);
    session.handle(streamConfig(6), t0);
    session.handle(hostState(2, CaptureStateValue::awaitingConsent), t0);
    EXPECT_FALSE(session.config().acknowledged());
    session.handle(hostState(2, CaptureStateValue::active), t0);
    EXPECT_EQ(session.handle(streamConfig(1), t0).size(), 3u);
    EXPECT_EQ(session.phase(), Phase::streaming);
}

TEST(ClientSessionWindowSwitch, SelectionForgetsFramesButKeepsCounts) {
    ClientSession session = streamingSession();
    for (const auto& datagram : fragments(videoFrame(0))) session.receive(datagram, t0);
    session.receive(fragments(videoFrame(1))[0], t0);
    session.frameDecoded();
    session.selectWindow(0x77);
    EXPECT_EQ(session.assembler().partialFrameCount(), 0u);
    EXPECT_FALSE(session.assembler().epoch());
    EXPECT_FALSE(session.assembler().lastDeliveredFrameID());
    EXPECT_EQ(session.assembler().counters().completed, 1);
    EXPECT_EQ(session.statistics().received, 1u);
    EXPECT_EQ(session.statistics().decoded, 1u);
}

TEST(ClientSessionMessages, HostErrorAndByeCloseWithoutReply) {
    ClientSession errored = readySession();
    EXPECT_EQ(errored.handle(msg::Error{ErrorCode::notAuthorized, "no"}, t0),
              Actions{closedBy(ClientCloseReason::hostError(ErrorCode::notAuthorized))});
    EXPECT_EQ(errored.phase(), Phase::closed);

    ClientSession left = streamingSession();
    EXPECT_EQ(left.handle(msg::Bye{ByeReason::idle}, t0), Actions{closedBy(ClientCloseReason::bye(ByeReason::idle))});
    EXPECT_EQ(left.close(), Actions{});
}

TEST(ClientSessionMessages, ClientOnlyMessagesAreViolations) {
    const std::vector<ControlMessage> clientOnly{
        hostHello(), msg::ConfigAck{1, 1}, msg::StartStream{1}, msg::RecoveryRequest{}, ReceiverReport{},
        msg::CaptureSelect{1, 2}, msg::Pause{1, true}, msg::EnrollRequest{}, msg::EnrollPending{}, msg::EnrollResult{},
        msg::Input{1, 1, input::Renew{}}, msg::ClipboardPull{1}, msg::FocusHint{1, 5}, msg::SurfaceBudget{1, 64, 64},
        msg::TextSize{1}, msg::ScreenShape{1}, msg::CaptureListRequest{}};
    const std::string text = "message not allowed from host on session channel";
    for (const ControlMessage& message : clientOnly) {
        ClientSession session = streamingSession();
        EXPECT_EQ(session.handle(message, t0),
                  (Actions{violation(text), closedBy(ClientCloseReason::protocolViolation(text))}))
            << message.caseName();
        EXPECT_EQ(session.phase(), Phase::closed);
    }
}

TEST(ClientSessionMessages, PassThroughsAndQuietMessages) {
    ClientSession session = readySession();
    EXPECT_EQ(session.handle(msg::InputControlState{3, InputControlStateValue::granted, 500}, t0),
              (Actions{client::InputControl{3, InputControlStateValue::granted, 500}}));
    EXPECT_EQ(session.handle(msg::AudioConfig{1, 48000, 2, 10}, t0), (Actions{client::AudioConfigured{1, 48000, 2, 10}}));
    EXPECT_EQ(session.audioGeneration(), 1u);
    const CursorShape shape{3, 4, 32, Bytes{0x89, 0x50}};
    EXPECT_EQ(session.handle(shape, t0), Actions{client::CursorShape{shape}});
    EXPECT_EQ(session.handle(HostPower{80, true}, t0), (Actions{client::HostPower{HostPower{80, true}}}));
    EXPECT_EQ(session.handle(msg::Ignored{0x7777}, t0), Actions{});
    EXPECT_EQ(session.handle(msg::InputControlRequest{}, t0), Actions{});
    EXPECT_EQ(session.handle(hostCapabilities(FeatureSet{0x07}), t0), Actions{});
    EXPECT_EQ(session.hostCapabilities(), hostCapabilities(FeatureSet{0x07}));
    EXPECT_EQ(session.phase(), Phase::ready);
}

TEST(ClientSessionMessages, PingIsAnsweredAndPongFeedsTheClock) {
    ClientSession session = readySession();
    EXPECT_EQ(session.handle(msg::Ping{777}, t0 + 5), (Actions{send(msg::Pong{777, t0 + 5})}));
    EXPECT_EQ(session.handle(msg::Pong{1'000, 5'000'000}, 3'001), Actions{});
    ASSERT_EQ(session.clock().samples().size(), 1u);
    EXPECT_EQ(session.clock().samples().front(), (ClockOffsetEstimator::Sample{2'000, 4'998'000, 2'001}));
}

TEST(ClientSessionClipboard, TextMustBeOneTo60000WellFormedBytes) {
    ClientSession session = readySession();
    EXPECT_EQ(session.pushClipboard(""), Actions{});
    EXPECT_EQ(session.pushClipboard(std::string(60'001, 'a')), Actions{});
    EXPECT_EQ(session.pushClipboard("\xC3"), Actions{});
    EXPECT_EQ(session.clipboardRequestID(), 0u);
    EXPECT_EQ(session.pushClipboard(std::string(60'000, 'a')),
              (Actions{send(msg::ClipboardPush{1, std::string(60'000, 'a')})}));
}

TEST(ClientSessionClipboard, OneRequestAtATimeAnsweredOnlyByItsIdentifier) {
    ClientSession session = readySession();
    EXPECT_EQ(session.pullClipboard(), Actions{send(msg::ClipboardPull{1})});
    EXPECT_EQ(session.pullClipboard(), Actions{});
    EXPECT_EQ(session.pushClipboard("x"), Actions{});
    EXPECT_EQ(session.handle(msg::ClipboardResult{2, ClipboardOutcome::done}, t0), Actions{});
    EXPECT_EQ(session.handle(msg::ClipboardPush{2, "other"}, t0), Actions{});
    EXPECT_EQ(session.pendingClipboard(), (ClientSession::PendingClipboard{1, ClientSession::ClipboardKind::pull}));
    EXPECT_EQ(session.handle(msg::ClipboardPush{1, "from the Mac"}, t0),
              Actions{client::ClipboardReceived{"from the Mac"}});
    EXPECT_FALSE(session.pendingClipboard());

    EXPECT_EQ(session.pushClipboard("to the Mac"), (Actions{send(msg::ClipboardPush{2, "to the Mac"})}));
    EXPECT_EQ(session.handle(msg::ClipboardPush{2, "echo"}, t0), Actions{});
    EXPECT_EQ(session.handle(msg::ClipboardResult{2, ClipboardOutcome::busy}, t0),
              (Actions{client::ClipboardOutcome{2, ClipboardOutcome::busy}}));
    EXPECT_EQ(session.pullClipboard(), Actions{send(msg::ClipboardPull{3})});
}

TEST(ClientSessionExtras, LimitsOnAddingSurfaces) {
    ClientSession session = readySession();
    EXPECT_EQ(session.addSurface(1, window), Actions{});
    EXPECT_EQ(session.addSurface(0, window), Actions{});
    for (std::uint32_t id = 2; id <= 6; ++id)
        EXPECT_EQ(session.addSurface(id, id * 10), (Actions{send(msg::CaptureSelect{id, id * 10})}));
    EXPECT_EQ(session.addSurface(7, window), Actions{});
    EXPECT_EQ(session.addSurface(4, 99), (Actions{send(msg::CaptureSelect{4, 99})}));
    EXPECT_EQ(session.extras().size(), 5u);

    session.selectWindow(window);
    EXPECT_EQ(session.addSurface(4, 99), Actions{});
}

TEST(ClientSessionExtras, LifeOfAnExtraSurface) {
    ClientSession session = streamingSession();
    session.addSurface(3, 0x99);
    EXPECT_EQ(session.handle(hostState(4, CaptureStateValue::awaitingConsent, 3), t0),
              (Actions{client::SurfaceState{3, CaptureStateValue::awaitingConsent}}));
    EXPECT_EQ(session.handle(hostState(4, CaptureStateValue::active, 3), t0),
              (Actions{client::SurfaceState{3, CaptureStateValue::active}}));
    EXPECT_EQ(session.focusHint(3, 100), Actions{});
    EXPECT_EQ(session.handle(streamConfig(1, 3), t0),
              (Actions{client::ConfigureSurface{3, streamConfig(1, 3)}, send(msg::ConfigAck{3, 1}),
                       send(msg::StartStream{3})}));
    EXPECT_EQ(session.handle(streamConfig(1, 3), t0), Actions{});
    EXPECT_EQ(session.handle(streamConfig(2, 3), t0),
              (Actions{client::ConfigureSurface{3, streamConfig(2, 3)}, send(msg::ConfigAck{3, 2})}));
    EXPECT_EQ(session.focusHint(3, 100), (Actions{send(msg::FocusHint{3, 100})}));
    EXPECT_EQ(session.pause(3, true), (Actions{send(msg::Pause{3, true})}));
    EXPECT_EQ(session.phase(), Phase::streaming);

    EXPECT_EQ(session.handle(msg::StopStream{3, StopReason::captureEnded}, t0),
              (Actions{client::SurfaceState{3, CaptureStateValue::ended}}));
    EXPECT_TRUE(session.extras().contains(3));
    EXPECT_EQ(session.pause(3, false), Actions{});
    EXPECT_EQ(session.handle(hostState(3, CaptureStateValue::ended, 3), t0), Actions{});
    EXPECT_EQ(session.handle(hostState(4, CaptureStateValue::ended, 3), t0),
              (Actions{client::SurfaceState{3, CaptureStateValue::ended}}));
    EXPECT_FALSE(session.extras().contains(3));
    EXPECT_EQ(session.handle(hostState(5, CaptureStateValue::active, 3), t0), Actions{});
}

TEST(ClientSessionExtras, RefusedSelectionRemovesTheSurface) {
    ClientSession session = readySession();
    session.addSurface(2, window);
    EXPECT_EQ(session.handle(hostState(0, CaptureStateValue::unavailable, 2), t0),
              (Actions{client::SurfaceState{2, CaptureStateValue::unavailable}}));
    EXPECT_TRUE(session.extras().empty());
}

TEST(ClientSessionExtras, ExtrasOutliveMainSurfaceChanges) {
    ClientSession session = streamingSession();
    session.addSurface(2, window);
    session.handle(hostState(1, CaptureStateValue::ended), t0);
    session.selectWindow(0x77);
    EXPECT_TRUE(session.extras().contains(2));
    EXPECT_EQ(session.removeSurface(2), (Actions{send(msg::StopStream{2, StopReason::user})}));
    EXPECT_EQ(session.removeSurface(2), Actions{});
}

TEST(ClientSessionRequests, StreamingOnlyRequestsAndTheirBounds) {
    ClientSession ready = readySession();
    EXPECT_EQ(ready.setTextSize(1), Actions{});
    EXPECT_EQ(ready.pause(true), Actions{});
    EXPECT_EQ(ready.focusHint(1, 100), Actions{});
    EXPECT_EQ(ready.setSurfaceBudget(1, 100, 100), Actions{});

    ClientSession session = streamingSession();
    EXPECT_EQ(session.setTextSize(2), Actions{send(msg::TextSize{2})});
    EXPECT_EQ(session.setTextSize(3), Actions{});
    EXPECT_EQ(session.setScreenShape(0), Actions{send(msg::ScreenShape{0})});
    EXPECT_EQ(session.setScreenShape(3), Actions{});
    EXPECT_EQ(session.pause(true), (Actions{send(msg::Pause{1, true})}));
    EXPECT_EQ(session.focusHint(1, 250), (Actions{send(msg::FocusHint{1, 250})}));
    EXPECT_EQ(session.focusHint(2, 250), Actions{});
}

TEST(ClientSessionRequests, SurfaceBudgetIsClampedAndNeedsTheHostFeature) {
    ClientSession session = streamingSession();
    EXPECT_EQ(session.setSurfaceBudget(1, 10, 10'000), (Actions{send(msg::SurfaceBudget{1, 64, 8192})}));
    EXPECT_EQ(session.setSurfaceBudget(2, 100, 100), Actions{});
    session.addSurface(2, window);
    EXPECT_EQ(session.setSurfaceBudget(2, -5, 640), (Actions{send(msg::SurfaceBudget{2, 64, 640})}));

    session.handle(hostCapabilities(FeatureSet{0x07}), t0);
    EXPECT_EQ(session.setSurfaceBudget(1, 640, 480), Actions{});
}

TEST(ClientSessionClose, StopsTheMainStreamOnlyWhenItRuns) {
    ClientSession ready = readySession();
    EXPECT_EQ(ready.close(), (Actions{send(msg::Bye{ByeReason::normal}), closedBy(ClientCloseReason::local())}));
    EXPECT_EQ(ready.close(), Actions{});

    ClientSession streaming = streamingSession();
    EXPECT_EQ(streaming.close(), (Actions{send(msg::StopStream{1, StopReason::user}), send(msg::Bye{ByeReason::normal}),
                                          closedBy(ClientCloseReason::local())}));
}

TEST(ClientSessionClose, ClosedSessionRefusesEverything) {
    ClientSession session = streamingSession();
    session.addSurface(2, window);
    session.close();
    EXPECT_EQ(session.handle(msg::Ping{1}, t0), Actions{});
    EXPECT_EQ(session.handle(streamConfig(9), t0), Actions{});
    EXPECT_EQ(session.selectWindow(window), Actions{});
    EXPECT_EQ(session.removeSurface(2), Actions{});
    EXPECT_EQ(session.pushClipboard("x"), Actions{});
    EXPECT_EQ(session.receive(fragments(videoFrame(0))[0], t0), Actions{});
}

} // namespace
} // namespace quillmere

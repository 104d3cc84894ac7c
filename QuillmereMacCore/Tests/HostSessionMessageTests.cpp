#include "HostSessionHarness.h"

#include <functional>

namespace quillmere {
namespace {

using namespace session_test;

using Given = std::function<void(Harness&)>;

void fresh(Harness&) {}
void active(Harness& h) { h.hello(); }
// Approved with a configuration proposed but not yet acknowledged.
void proposed(Harness& h) {
    h.hello().select(S).approve(S);
    h.session.proposeConfig(streamConfig(S, 1));
}
void acknowledged(Harness& h) { h.hello().select(S).approve(S).configure(S); }
void denied(Harness& h) {
    h.hello().select(S);
    h.session.resolveConsent(S, 1, false);
}
void ended(Harness& h) {
    h.hello().stream(S);
    h.handle(msg::StopStream{S, StopReason::user});
}
void closed(Harness& h) { h.handle(msg::Ping{1}); }

struct MessageRow {
    const char* name;
    Given given;
    ControlMessage message;
    Actions expected;
    HostSession::Phase phaseAfter = HostSession::Phase::active;
};

ReceiverReport surfaceReport(std::uint32_t surfaceID, std::uint32_t lost, std::uint8_t thermal) {
    ReceiverReport r;
    r.surfaceID = surfaceID;
    r.intervalMs = 1000;
    r.framesReceived = 60;
    r.framesLost = lost;
    r.thermalState = thermal;
    return r;
}

Actions closing(Actions before, ErrorCode code, std::string reason) {
    before.push_back(fatal(code, std::move(reason)));
    before.push_back(action::Close{});
    return before;
}

TEST(HostSessionMessages, AnswerEachMessageWithItsExactActions) {
    using P = HostSession::Phase;
    const auto violation = ErrorCode::protocolViolation;
    const std::string notAllowed = "message not allowed from client on session channel";
    const Actions release{action::Inject{{inject::KeyUp{4}}}};

    const MessageRow rows[] = {
        // Hello first.
        {"ping before hello", fresh, msg::Ping{5}, closing({}, violation, "hello required first"), P::closed},
        {"wrong major before wrong role", fresh, clientHello(2, 0, PeerRole::host),
         closing({}, ErrorCode::versionMismatch, "major 2"), P::closed},
        {"host role", fresh, clientHello(1, 0, PeerRole::host), closing({}, violation, "peer must be a client"),
         P::closed},
        {"hello 1.7", fresh, clientHello(1, 7), {send(hostHello()), send(hostCapabilities())}},
        {"after close", closed, msg::Ping{5}, {}, P::closed},
        {"duplicate hello", active, clientHello(), closing({}, violation, "duplicate hello"), P::closed},
        {"duplicate hello tears down", controlling, clientHello(),
         closing({release[0], action::StopMedia{S}}, violation, "duplicate hello"), P::closed},
        // Messages only the host sends.
        {"streamConfig", active, streamConfig(S, 1), closing({}, violation, notAllowed), P::closed},
        {"captureList", active, msg::CaptureList{}, closing({}, violation, notAllowed), P::closed},
        {"captureState", active, msg::CaptureState{}, closing({}, violation, notAllowed), P::closed},
        {"enrollRequest", active, msg::EnrollRequest{}, closing({}, violation, notAllowed), P::closed},
        {"enrollPending", active, msg::EnrollPending{}, closing({}, violation, notAllowed), P::closed},
        {"enrollResult", active, msg::EnrollResult{}, closing({}, violation, notAllowed), P::closed},
        {"inputControlState", active, msg::InputControlState{}, closing({}, violation, notAllowed), P::closed},
        {"audioConfig", active, msg::AudioConfig{}, closing({}, violation, notAllowed), P::closed},
        {"cursorShape", active, CursorShape{}, closing({}, violation, notAllowed), P::closed},
        {"hostPower while streaming", streaming, HostPower{}, closing({action::StopMedia{S}}, violation, notAllowed),
         P::closed},
        // The client leaves without an answer.
        {"bye", active, msg::Bye{ByeReason::normal}, {action::Close{}}, P::closed},
        {"bye before the start", acknowledged, msg::Bye{ByeReason::normal}, {action::StopMedia{S}, action::Close{}},
         P::closed},
        {"error while controlling", controlling, msg::Error{ErrorCode::internalError, "x"},
         {release[0], action::StopMedia{S}, action::Close{}}, P::closed},
        // Nothing to do.
        {"capabilities", active, clientCapabilities(2), {}},
        {"pong", active, msg::Pong{1, 2}, {}},
        {"clipboardResult", active, msg::ClipboardResult{}, {}},
        {"ignored", active, msg::Ignored{0x7777}, {}},
        {"ping", active, msg::Ping{5}, {send(msg::Pong{5, t0})}},
        {"captureListRequest without stream", active, msg::CaptureListRequest{}, {action::ListWindows{}}},
        // Input control.
        {"control without stream", approved, msg::InputControlRequest{},
         {refusal("control requires an active stream")}},
        {"control asked", streaming, msg::InputControlRequest{}, {action::RequestControl{}}},
        {"control held", controlling, msg::InputControlRequest{},
         {controlState(1, InputControlStateValue::granted, 500)}},
        {"input without grant", streaming, msg::Input{1, 0, input::Key{4, true}}, {}},
        {"input under grant", controlling, msg::Input{2, 1, input::Text{"hi"}}, {action::Inject{{inject::Text{"hi"}}}}},
        // Selecting.
        {"select", active, msg::CaptureSelect{S, W},
         {captureState(S, 1, CaptureStateValue::awaitingConsent), action::RequestConsent{S, W, 1}}},
        {"select over the limit", awaiting, msg::CaptureSelect{8, W},
         {captureState(8, 0, CaptureStateValue::unavailable)}},
        {"reselect streaming", streaming, msg::CaptureSelect{S, 0x99},
         {action::StopMedia{S}, captureState(S, 2, CaptureStateValue::awaitingConsent),
          action::RequestConsent{S, 0x99, 2}}},
        {"reselect before the start", approved, msg::CaptureSelect{S, 0x99},
         {action::StopMedia{S}, captureState(S, 2, CaptureStateValue::awaitingConsent),
          action::RequestConsent{S, 0x99, 2}}},
        // Acknowledging.
        {"ack unknown", active, msg::ConfigAck{9, 1}, {unknown(9)}},
        {"ack pending", proposed, msg::ConfigAck{S, 1}, {}},
        {"ack other generation", proposed, msg::ConfigAck{S, 2}, {}},
        {"ack awaiting consent", awaiting, msg::ConfigAck{S, 1}, {refusal("configAck before consent")}},
        {"ack streaming without match", streaming, msg::ConfigAck{S, 1}, {refusal("configAck before consent")}},
        // Starting.
        {"start unknown", active, msg::StartStream{9}, {unknown(9)}},
        {"start awaiting", awaiting, msg::StartStream{S}, {refusal("startStream without approved capture")}},
        {"start before ack", proposed, msg::StartStream{S}, {refusal("startStream before configAck")}},
        {"start", acknowledged, msg::StartStream{S},
         {action::StartMedia{S}, action::ForceKeyframe{S}, soleTier(S)}},
        {"start streaming", streaming, msg::StartStream{S}, {}},
        // Stopping.
        {"stop unknown", active, msg::StopStream{9, StopReason::user}, {unknown(9)}},
        {"stop streaming", streaming, msg::StopStream{S, StopReason::user},
         {action::StopMedia{S}, action::ClearSurfaceBudget{S}, captureState(S, 1, CaptureStateValue::ended)}},
        {"stop before the start", acknowledged, msg::StopStream{S, StopReason::user},
         {action::StopMedia{S}, action::ClearSurfaceBudget{S}, captureState(S, 1, CaptureStateValue::ended)}},
        {"stop ended", ended, msg::StopStream{S, StopReason::error},
         {action::ClearSurfaceBudget{S}, captureState(S, 1, CaptureStateValue::ended)}},
        {"stop releases control first", controlling, msg::StopStream{S, StopReason::user},
         {release[0], controlState(1, InputControlStateValue::revoked, 0), action::StopMedia{S},
          action::ClearSurfaceBudget{S}, captureState(S, 1, CaptureStateValue::ended)}},
        // Pausing.
        {"pause unknown", active, msg::Pause{9, true}, {unknown(9)}},
        {"pause approved", approved, msg::Pause{S, true}, {refusal("pause without stream")}},
        {"resume unpaused", streaming, msg::Pause{S, false}, {}},
        {"pause", streaming, msg::Pause{S, true}, {action::PauseMedia{S, true}}},
        // Recovery.
        {"recovery unknown", active, msg::RecoveryRequest{9, 1, 0, RecoveryReason::frameLoss}, {unknown(9)}},
        {"recovery not streaming", acknowledged, msg::RecoveryRequest{S, 1, 0, RecoveryReason::frameLoss}, {}},
        {"recovery", streaming, msg::RecoveryRequest{S, 1, 0, RecoveryReason::decodeError},
         {action::ForceKeyframe{S}}},
        {"recovery of an old epoch", streaming, msg::RecoveryRequest{S, 0, 0, RecoveryReason::frameLoss}, {}},
        // Receiver reports.
        {"report unknown", active, surfaceReport(9, 0, 0), {unknown(9)}},
        {"report not streaming", approved, surfaceReport(S, 30, 0), {}},
        {"report clean", streaming, surfaceReport(S, 0, 0), {}},
        {"report with loss", streaming, surfaceReport(S, 30, 0), {action::SetBitrate{S, 17000}}},
        {"report from a hot client", streaming, surfaceReport(S, 0, 2), {soleTier(S, 30)}},
        // Clipboard.
        {"push", active, msg::ClipboardPush{3, "abc"}, {action::ClipboardWriteRequested{3, "abc"}}},
        {"pull", active, msg::ClipboardPull{3}, {action::ClipboardReadRequested{3}}},
        // Focus, budgets, display.
        {"focus on a scheduled surface", streaming, msg::FocusHint{S, 500}, {}},
        {"budget unknown", active, msg::SurfaceBudget{9, 640, 480}, {}},
        {"budget ended", ended, msg::SurfaceBudget{S, 640, 480}, {}},
        {"budget denied", denied, msg::SurfaceBudget{S, 640, 480}, {action::SetSurfaceBudget{S, 640, 480}}},
        {"text size without stream", approved, msg::TextSize{2}, {refusal("text size requires an active stream")}},
        {"text size", streaming, msg::TextSize{2}, {action::SetTextSize{2}}},
        {"screen shape without stream", active, msg::ScreenShape{1},
         {refusal("screen shape requires an active stream")}},
        {"screen shape", streaming, msg::ScreenShape{1}, {action::SetScreenShape{1}}},
    };

    for (const MessageRow& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        row.given(h);
        EXPECT_EQ(h.handle(row.message), row.expected);
        EXPECT_EQ(h.session.phase(), row.phaseAfter);
    }
}

TEST(HostSessionMessages, HelloKeepsTheClientsValues) {
    Harness h;
    h.hello();
    EXPECT_EQ(h.session.clientHello(), clientHello(1, 7));
    // A closed session ignores even a hello.
    h.handle(msg::Bye{});
    EXPECT_TRUE(h.handle(clientHello()).empty());
}

TEST(HostSessionMessages, SurfaceLimitFollowsTheClientsCapabilities) {
    Harness h;
    EXPECT_EQ(h.session.maxSurfaces(), 1);
    h.hello().select(1);
    EXPECT_EQ(h.handle(msg::CaptureSelect{2, W}), Actions{captureState(2, 0, CaptureStateValue::unavailable)});
    EXPECT_EQ(h.session.nextCaptureGeneration(), 2u);

    h.handle(clientCapabilities(9));
    EXPECT_EQ(h.session.maxSurfaces(), 4);
    EXPECT_EQ(h.handle(msg::CaptureSelect{2, W}).size(), 2u);
    EXPECT_EQ(h.generationOf(2), 2u);

    HostSession none(hostHello(), hostCapabilities(0), rateConfig());
    EXPECT_EQ(none.maxSurfaces(), 0);
}

TEST(HostSessionMessages, PausedSurfaceFreesItsPlace) {
    Harness h;
    h.hello().stream(1);
    EXPECT_EQ(h.handle(msg::CaptureSelect{2, W}).size(), 1u);
    h.handle(msg::Pause{1, true});
    EXPECT_EQ(h.handle(msg::CaptureSelect{2, W}).size(), 2u);
    // A known surface is never held back by the limit.
    EXPECT_EQ(h.handle(msg::CaptureSelect{1, W}).size(), 3u);
}

TEST(HostSessionMessages, AcknowledgedConfigurationLetsTheStreamStart) {
    Harness h;
    proposed(h);
    EXPECT_TRUE(h.handle(msg::ConfigAck{S, 2}).empty());
    EXPECT_EQ(h.session.staleMessages(), 1);
    EXPECT_TRUE(h.handle(msg::ConfigAck{S, 1}).empty());
    ASSERT_TRUE(h.session.surfaces().at(S).config.acknowledged());
    EXPECT_FALSE(h.session.surfaces().at(S).config.pending());
    h.start(S);
    EXPECT_EQ(h.session.surfaces().at(S).phase, HostSession::SurfacePhase::streaming(W));

    // A new configuration while streaming asks for a keyframe once acknowledged.
    EXPECT_EQ(h.session.proposeConfig(streamConfig(S, 2)), Actions{send(streamConfig(S, 2))});
    EXPECT_EQ(h.handle(msg::ConfigAck{S, 2}), Actions{action::ForceKeyframe{S}});
    EXPECT_TRUE(h.session.isStreaming(S, 2));
    EXPECT_FALSE(h.session.isStreaming(S, 1));
}

TEST(HostSessionMessages, PauseTwiceAndResumeAnnouncesTheTierAgain) {
    Harness h;
    h.hello().stream(S);
    EXPECT_EQ(h.handle(msg::Pause{S, true}), (Actions{action::PauseMedia{S, true}}));
    EXPECT_TRUE(h.handle(msg::Pause{S, true}).empty());
    EXPECT_FALSE(h.session.isStreaming(S, 1));
    EXPECT_EQ(h.handle(msg::Pause{S, false}),
              (Actions{action::PauseMedia{S, false}, action::ForceKeyframe{S}, soleTier(S)}));
}

TEST(HostSessionMessages, RecoveryWaitsForTheKeyframeInterval) {
    Harness h;
    h.hello().stream(S);
    EXPECT_EQ(h.session.keyframeIssued(S, h.now), 2u);
    h.now += 100 * ms;
    EXPECT_TRUE(h.handle(msg::RecoveryRequest{S, 2, 0, RecoveryReason::frameLoss}).empty());
    EXPECT_TRUE(h.handle(msg::RecoveryRequest{S, 1, 0, RecoveryReason::frameLoss}).empty());
    EXPECT_EQ(h.session.staleMessages(), 1);
    h.now += 150 * ms;
    EXPECT_TRUE(h.session.keyframeDue(S, h.now));
    EXPECT_EQ(h.handle(msg::RecoveryRequest{S, 2, 0, RecoveryReason::frameLoss}), Actions{action::ForceKeyframe{S}});
    EXPECT_EQ(h.session.recovery().at(S).requestsCoalesced(), 1);
}

TEST(HostSessionMessages, ClipboardRequestsMustBeNewer) {
    Harness h;
    h.hello();
    h.handle(msg::ClipboardPull{0xFFFFFFFFu});
    h.session.clipboardReadCompleted(0xFFFFFFFFu, false, std::nullopt);
    EXPECT_TRUE(h.handle(msg::ClipboardPull{0xFFFFFFFFu}).empty());
    EXPECT_EQ(h.session.staleMessages(), 1);
    EXPECT_EQ(h.handle(msg::ClipboardPull{5}), Actions{action::ClipboardReadRequested{5}});
    // While the pull is under way a push is refused but becomes the newest.
    EXPECT_EQ(h.handle(msg::ClipboardPush{6, "x"}), Actions{clipboardResult(6, ClipboardOutcome::busy)});
    EXPECT_EQ(h.session.lastClipboardRequestID(), 6u);
    EXPECT_TRUE(h.handle(msg::ClipboardPush{6, "x"}).empty());
    EXPECT_EQ(h.session.staleMessages(), 2);
}

TEST(HostSessionMessages, FocusAndSeveralSurfacesShareTheBudget) {
    Harness h;
    h.hello();
    h.handle(clientCapabilities(4));
    h.stream(1).stream(2);
    // Surface 2 focused (6 of 8 weights), surface 1 secondary.
    EXPECT_EQ(h.handle(msg::FocusHint{2, 1000}),
              (Actions{action::SetTier{1, SurfaceAllocation{SurfaceTier::secondary, 30, 10000}},
                       action::SetTier{2, SurfaceAllocation{SurfaceTier::focused, 60, 30000}}}));
    EXPECT_TRUE(h.handle(msg::FocusHint{2, 1000}).empty());
    // A hint for an unknown surface changes nothing.
    EXPECT_TRUE(h.handle(msg::FocusHint{99, 1000}).empty());
    // Stopping the focused one hands the whole rest to the other.
    const Actions stopped = h.handle(msg::StopStream{2, StopReason::user});
    EXPECT_EQ(stopped.back(), soleTier(1));
}

} // namespace
} // namespace quillmere

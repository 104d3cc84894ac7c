#include "HostSessionHarness.h"

#include <functional>

namespace quillmere {
namespace {

using namespace session_test;

struct EventRow {
    const char* name;
    std::function<void(Harness&)> given;
    std::function<Actions(Harness&)> event;
    Actions expected;
};

void pulling(Harness& h) { h.hello().handle(msg::ClipboardPull{3}); }
void pushing(Harness& h) { h.hello().handle(msg::ClipboardPush{3, "abc"}); }
void askingControl(Harness& h) { h.hello().stream(S).handle(msg::InputControlRequest{}); }

Actions read(Harness& h, bool approved, std::optional<std::string> text) {
    return h.session.clipboardReadCompleted(3, approved, text);
}

TEST(HostSessionEvents, AnswerEachEventWithItsExactActions) {
    const std::string largest(HostSession::maxClipboardBytes, 'a');
    const Actions release{action::Inject{{inject::KeyUp{4}}}};
    const std::uint64_t lease = HostSession::defaultLeaseNs;

    const EventRow rows[] = {
        {"consent granted", awaiting, [](Harness& h) { return h.session.resolveConsent(S, 1, true); },
         {captureState(S, 1, CaptureStateValue::active)}},
        {"consent refused", awaiting, [](Harness& h) { return h.session.resolveConsent(S, 1, false); },
         {captureState(S, 1, CaptureStateValue::denied)}},
        {"consent repeated", approved, [](Harness& h) { return h.session.resolveConsent(S, 1, true); }, {}},
        {"consent for an unknown surface", awaiting, [](Harness& h) { return h.session.resolveConsent(9, 1, true); },
         {}},
        {"write done", pushing,
         [](Harness& h) { return h.session.clipboardWriteCompleted(3, ClipboardOutcome::done); },
         {clipboardResult(3, ClipboardOutcome::done)}},
        {"write for another request", pushing,
         [](Harness& h) { return h.session.clipboardWriteCompleted(2, ClipboardOutcome::done); }, {}},
        {"read refused", pulling, [](Harness& h) { return read(h, false, "x"); },
         {clipboardResult(3, ClipboardOutcome::denied)}},
        {"read without text", pulling, [](Harness& h) { return read(h, true, std::nullopt); },
         {clipboardResult(3, ClipboardOutcome::notText)}},
        {"read empty", pulling, [](Harness& h) { return read(h, true, ""); },
         {clipboardResult(3, ClipboardOutcome::empty)}},
        {"read at the limit", pulling, [&](Harness& h) { return read(h, true, largest); },
         {send(msg::ClipboardPush{3, largest})}},
        {"read over the limit", pulling, [&](Harness& h) { return read(h, true, largest + "b"); },
         {clipboardResult(3, ClipboardOutcome::tooLarge)}},
        {"control refused", askingControl, [](Harness& h) { return h.session.resolveControlRequest(false, h.now); },
         {controlState(0, InputControlStateValue::denied, 0)}},
        {"control granted", askingControl, [](Harness& h) { return h.session.resolveControlRequest(true, h.now); },
         {controlState(1, InputControlStateValue::granted, 500)}},
        {"control answer nobody asked for", streaming,
         [](Harness& h) { return h.session.resolveControlRequest(true, h.now); }, {}},
        {"tick within the lease", controlling, [&](Harness& h) { return h.session.tick(h.now + lease); }, {}},
        {"tick past the lease", controlling, [&](Harness& h) { return h.session.tick(h.now + lease + 1); },
         {release[0], controlState(1, InputControlStateValue::expired, 500)}},
        {"tick with nothing held", streaming, [&](Harness& h) { return h.session.tick(h.now + 10 * lease); }, {}},
        {"config awaiting consent", awaiting, [](Harness& h) { return h.session.proposeConfig(streamConfig(S, 1)); },
         {}},
        {"config approved", approved, [](Harness& h) { return h.session.proposeConfig(streamConfig(S, 1)); },
         {send(streamConfig(S, 1))}},
        {"config not newer", streaming, [](Harness& h) { return h.session.proposeConfig(streamConfig(S, 1)); }, {}},
        {"surface ended while streaming", streaming, [](Harness& h) { return h.session.surfaceEnded(S); },
         {action::StopMedia{S}, action::ClearSurfaceBudget{S}, send(msg::StopStream{S, StopReason::captureEnded}),
          captureState(S, 1, CaptureStateValue::ended)}},
        {"surface ended while controlling", controlling, [](Harness& h) { return h.session.surfaceEnded(S); },
         {release[0], controlState(1, InputControlStateValue::revoked, 0), action::StopMedia{S},
          action::ClearSurfaceBudget{S}, send(msg::StopStream{S, StopReason::captureEnded}),
          captureState(S, 1, CaptureStateValue::ended)}},
        {"surface ended before its start", approved, [](Harness& h) { return h.session.surfaceEnded(S); },
         {action::StopMedia{S}, action::ClearSurfaceBudget{S}, send(msg::StopStream{S, StopReason::captureEnded}),
          captureState(S, 1, CaptureStateValue::ended)}},
        {"surface ended awaiting consent", awaiting, [](Harness& h) { return h.session.surfaceEnded(S); },
         {action::ClearSurfaceBudget{S}, send(msg::StopStream{S, StopReason::captureEnded}),
          captureState(S, 1, CaptureStateValue::ended)}},
        {"critical Mac", streaming, [](Harness& h) { return h.session.thermalChanged(ThermalLevel::critical, h.now); },
         {action::SetBitrate{S, 14000}}},
        {"serious Mac under the rate", streaming,
         [](Harness& h) { return h.session.thermalChanged(ThermalLevel::serious, h.now); }, {}},
        {"critical Mac, nothing streams", approved,
         [](Harness& h) { return h.session.thermalChanged(ThermalLevel::critical, h.now); }, {}},
        {"host bye while controlling", controlling, [](Harness& h) { return h.session.end(ByeReason::idle); },
         {release[0], action::StopMedia{S}, send(msg::Bye{ByeReason::idle}), action::Close{}}},
        {"host bye before the start", approved, [](Harness& h) { return h.session.end(ByeReason::normal); },
         {action::StopMedia{S}, send(msg::Bye{ByeReason::normal}), action::Close{}}},
        {"host bye awaiting consent", awaiting, [](Harness& h) { return h.session.end(ByeReason::normal); },
         {send(msg::Bye{ByeReason::normal}), action::Close{}}},
        {"host bye before hello", [](Harness&) {}, [](Harness& h) { return h.session.end(ByeReason::shutdown); },
         {send(msg::Bye{ByeReason::shutdown}), action::Close{}}},
    };

    for (const EventRow& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        row.given(h);
        EXPECT_EQ(row.event(h), row.expected);
    }
}

TEST(HostSessionEvents, LateConsentForAReselectedSurfaceIsStale) {
    Harness h;
    h.hello().select(S).select(S, 0x99);
    EXPECT_TRUE(h.session.resolveConsent(S, 1, true).empty());
    EXPECT_EQ(h.session.staleMessages(), 1);
    EXPECT_EQ(h.session.surfaces().at(S).phase, HostSession::SurfacePhase::awaitingConsent(0x99));
    EXPECT_EQ(h.session.resolveConsent(S, 2, true).size(), 1u);
    EXPECT_EQ(h.session.surfaces().at(S).phase, HostSession::SurfacePhase::approved(0x99));
}

TEST(HostSessionEvents, ClipboardCompletionCountsOnce) {
    Harness h;
    pulling(h);
    EXPECT_EQ(h.session.clipboardReadCompleted(3, true, "hi").size(), 1u);
    EXPECT_FALSE(h.session.clipboardBusy());
    EXPECT_TRUE(h.session.clipboardReadCompleted(3, true, "hi").empty());
    EXPECT_TRUE(h.session.clipboardWriteCompleted(3, ClipboardOutcome::done).empty());
    EXPECT_EQ(h.session.staleMessages(), 0);
}

// The request refused as busy used to take over the in-flight request's
// identifier, so the in-flight answer was dropped and the clipboard stayed
// busy for the rest of the session.
TEST(HostSessionEvents, BusyRefusalLeavesTheRequestUnderWayInCharge) {
    Harness h;
    pulling(h);
    EXPECT_EQ(h.handle(msg::ClipboardPush{4, "new"}), Actions{clipboardResult(4, ClipboardOutcome::busy)});
    EXPECT_EQ(h.session.clipboardRequestInFlight(), 3u);
    // The refused request has no completion of its own.
    EXPECT_TRUE(h.session.clipboardWriteCompleted(4, ClipboardOutcome::done).empty());
    EXPECT_TRUE(h.session.clipboardBusy());

    EXPECT_EQ(h.session.clipboardReadCompleted(3, true, "mac text"), Actions{send(msg::ClipboardPush{3, "mac text"})});
    EXPECT_FALSE(h.session.clipboardBusy());
    EXPECT_EQ(h.handle(msg::ClipboardPush{5, "next"}), (Actions{action::ClipboardWriteRequested{5, "next"}}));
    EXPECT_EQ(h.session.clipboardWriteCompleted(5, ClipboardOutcome::done),
              Actions{clipboardResult(5, ClipboardOutcome::done)});
}

TEST(HostSessionEvents, ExpiryKeepsTheLeaseGranted) {
    Harness h;
    controlling(h);
    const std::uint64_t past = h.now + HostSession::defaultLeaseNs + 1;
    EXPECT_EQ(h.session.tick(past).size(), 2u);
    EXPECT_TRUE(h.session.tick(past + 100 * ms).empty());
    EXPECT_TRUE(h.session.input().active());
    EXPECT_EQ(h.session.input().counters().expiries, 1);
    // The client's next input holds the key again under the same generation.
    h.now = past + 200 * ms;
    EXPECT_EQ(h.input(input::Key{5, true}), Actions{action::Inject{{inject::KeyDown{5}}}});
}

TEST(HostSessionEvents, LocalKeyframeRequestsCoalesceAndWaitForTheInterval) {
    Harness h;
    h.hello().stream(S);
    EXPECT_FALSE(h.session.keyframeDue(S, h.now));
    h.session.requestKeyframe(S);
    h.session.requestKeyframe(S);
    EXPECT_EQ(h.session.recovery().at(S).requestsCoalesced(), 1);
    EXPECT_EQ(h.session.recovery().at(S).requestsReceived(), 0);
    EXPECT_TRUE(h.session.keyframeDue(S, h.now));
    EXPECT_EQ(h.session.keyframeIssued(S, h.now), 2u);
    h.session.requestKeyframe(S);
    EXPECT_FALSE(h.session.keyframeDue(S, h.now + 249 * ms));
    EXPECT_TRUE(h.session.keyframeDue(S, h.now + 250 * ms));

    h.session.requestKeyframe(9);
    EXPECT_FALSE(h.session.keyframeDue(9, h.now));
    EXPECT_EQ(h.session.keyframeIssued(9, h.now), std::nullopt);
}

// A keyframe request left waiting for the interval wakes the session when
// it becomes due, frames or none.
TEST(HostSessionEvents, AWaitingKeyframeRequestSetsTheNextWakeUp) {
    const std::uint64_t due = t0 + HostSession::keyframeMinIntervalNs;
    auto ask = [](Harness& h, std::uint64_t at) {
        h.now = at;
        return h.handle(msg::RecoveryRequest{S, 2, 0, RecoveryReason::frameLoss});
    };
    const struct {
        const char* name;
        std::function<Actions(Harness&)> given;
        Actions answered;
        std::optional<std::uint64_t> expiry;
        Actions atExpiry;
    } rows[] = {
        {"client request", [&](Harness& h) { return ask(h, t0 + 100 * ms); }, {}, due, {action::ForceKeyframe{S}}},
        {"local request",
         [](Harness& h) {
             h.session.requestKeyframe(S);
             return Actions{};
         },
         {}, due, {action::ForceKeyframe{S}}},
        {"keyframe came meanwhile",
         [&](Harness& h) {
             ask(h, t0 + 100 * ms);
             h.session.keyframeIssued(S, t0 + 200 * ms);
             return Actions{};
         },
         {}, std::nullopt, {}},
        {"paused surface",
         [&](Harness& h) {
             h.handle(msg::Pause{S, true});
             return ask(h, t0 + 100 * ms);
         },
         {}, std::nullopt, {}},
        {"closed session",
         [&](Harness& h) {
             ask(h, t0 + 100 * ms);
             return h.handle(msg::Bye{ByeReason::normal});
         },
         {action::StopMedia{S}, action::Close{}}, std::nullopt, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.hello().stream(S);
        ASSERT_EQ(h.session.keyframeIssued(S, t0), 2u);
        EXPECT_EQ(row.given(h), row.answered);
        EXPECT_EQ(h.session.expiry(h.now), row.expiry);
        EXPECT_TRUE(h.session.handleExpiry(due - 1).empty());
        EXPECT_EQ(h.session.handleExpiry(due), row.atExpiry);
        EXPECT_EQ(h.session.expiry(due), std::nullopt);
    }
}

// A client that never says hello is woken at its deadline and fails as one
// that began with another message; a hello in time, or an earlier end,
// leaves the deadline nothing to do.
TEST(HostSessionEvents, AHelloThatNeverComesFailsTheSessionAtItsDeadline) {
    const std::uint64_t due = t0 + HelloDeadline::defaultLimitNs;
    const struct {
        const char* name;
        std::function<void(Harness&)> given;
        std::optional<std::uint64_t> expiry;
        Actions atDue;
    } rows[] = {
        {"silent", [](Harness&) {}, due, {fatal(ErrorCode::protocolViolation, "hello required first"), action::Close{}}},
        {"hello in time", [](Harness& h) { h.hello(); }, std::nullopt, {}},
        {"host bye first", [](Harness& h) { h.session.end(ByeReason::shutdown); }, std::nullopt, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.session.awaitHello(HelloDeadline(t0, HelloDeadline::defaultLimitNs));
        h.now = due - ms;
        row.given(h);
        EXPECT_EQ(h.session.expiry(h.now), row.expiry);
        EXPECT_TRUE(h.session.handleExpiry(due - 1).empty());
        EXPECT_EQ(h.session.handleExpiry(due), row.atDue);
        EXPECT_TRUE(h.session.handleExpiry(due + ms).empty());
    }
}

TEST(HostSessionEvents, FramesPassOnlyForTheAcknowledgedUnpausedStream) {
    Harness h;
    h.hello().select(S).approve(S).configure(S);
    EXPECT_FALSE(h.session.isStreaming(S, 1));
    h.start(S);
    EXPECT_TRUE(h.session.isStreaming(S, 1));
    EXPECT_FALSE(h.session.isStreaming(S, 2));
    EXPECT_FALSE(h.session.isStreaming(9, 1));
    h.handle(msg::Pause{S, true});
    EXPECT_FALSE(h.session.isStreaming(S, 1));
}

TEST(HostSessionEvents, ContentChangeMarksOnlyScheduledSurfaces) {
    Harness h;
    h.hello().stream(S);
    h.session.noteContentChange(S, h.now + 7);
    h.session.noteContentChange(9, h.now + 7);
    EXPECT_EQ(h.session.scheduler().lastChangeNs(), (std::map<std::uint32_t, std::uint64_t>{{S, h.now + 7}}));
    // A sole surface keeps the focused tier however still it is.
    EXPECT_TRUE(h.session.rebalance(h.now + 6000 * ms).empty());
}

TEST(HostSessionEvents, ClosedSessionAnswersNoEvent) {
    Harness h;
    controlling(h);
    EXPECT_EQ(h.session.end(ByeReason::normal).size(), 4u);
    EXPECT_EQ(h.session.phase(), HostSession::Phase::closed);
    EXPECT_TRUE(h.session.end(ByeReason::normal).empty());
    EXPECT_TRUE(h.session.surfaceEnded(S).empty());
    EXPECT_TRUE(h.session.tick(h.now + 10 * HostSession::defaultLeaseNs).empty());
    EXPECT_TRUE(h.session.resolveControlRequest(true, h.now).empty());
    EXPECT_TRUE(h.session.thermalChanged(ThermalLevel::critical, h.now).empty());
    EXPECT_FALSE(h.session.isStreaming(S, 1));
    EXPECT_EQ(h.phaseOf(S), Kind::ended);
}

} // namespace
} // namespace quillmere

#include "HostSessionHarness.h"

namespace quillmere {
namespace {

using namespace session_test;

// One whole session as a connection would drive it, message by message and
// event by event.
TEST(HostSessionScript, WholeSessionFromHelloToBye) {
    Harness h;
    auto at = [&](std::uint64_t offsetMs) { h.now = t0 + offsetMs * ms; };

    EXPECT_EQ(h.handle(clientHello()), (Actions{send(hostHello()), send(hostCapabilities())}));
    EXPECT_TRUE(h.handle(clientCapabilities(2)).empty());
    EXPECT_EQ(h.handle(msg::CaptureListRequest{}), Actions{action::ListWindows{}});

    EXPECT_EQ(h.handle(msg::CaptureSelect{S, W}),
              (Actions{captureState(S, 1, CaptureStateValue::awaitingConsent), action::RequestConsent{S, W, 1}}));
    EXPECT_EQ(h.session.resolveConsent(S, 1, true), Actions{captureState(S, 1, CaptureStateValue::active)});

    EXPECT_EQ(h.session.proposeConfig(streamConfig(S, 1)), Actions{send(streamConfig(S, 1))});
    EXPECT_TRUE(h.handle(msg::ConfigAck{S, 1}).empty());
    at(10);
    EXPECT_EQ(h.handle(msg::StartStream{S}), (Actions{action::StartMedia{S}, action::ForceKeyframe{S}, soleTier(S)}));
    EXPECT_EQ(h.session.keyframeIssued(S, h.now), 2u);
    EXPECT_TRUE(h.session.isStreaming(S, 1));

    // Input through the lease, then the client goes quiet holding a button.
    EXPECT_EQ(h.handle(msg::InputControlRequest{}), Actions{action::RequestControl{}});
    at(20);
    EXPECT_EQ(h.session.resolveControlRequest(true, h.now), Actions{controlState(1, InputControlStateValue::granted, 500)});
    at(30);
    EXPECT_EQ(h.input(input::PointerAbsolute{100, 200}), (Actions{action::Inject{{inject::MoveAbsolute{100, 200}}}}));
    EXPECT_EQ(h.input(input::Button{InputButton::left, true}),
              Actions{action::Inject{{inject::ButtonDown{InputButton::left}}}});
    EXPECT_TRUE(h.session.tick(t0 + 530 * ms).empty());
    EXPECT_EQ(h.session.tick(t0 + 630 * ms),
              (Actions{action::Inject{{inject::ButtonUp{InputButton::left}}},
                       controlState(1, InputControlStateValue::expired, 500)}));
    EXPECT_TRUE(h.session.tick(t0 + 730 * ms).empty());

    // The client lost a frame of the current epoch.
    at(800);
    EXPECT_EQ(h.handle(msg::RecoveryRequest{S, 2, 41, RecoveryReason::frameLoss}), Actions{action::ForceKeyframe{S}});
    EXPECT_EQ(h.session.keyframeIssued(S, h.now), 3u);
    EXPECT_TRUE(h.handle(msg::RecoveryRequest{S, 2, 41, RecoveryReason::frameLoss}).empty());
    EXPECT_EQ(h.session.staleMessages(), 1);

    at(900);
    EXPECT_EQ(h.handle(msg::StopStream{S, StopReason::user}),
              (Actions{controlState(1, InputControlStateValue::revoked, 0), action::StopMedia{S},
                       action::ClearSurfaceBudget{S}, captureState(S, 1, CaptureStateValue::ended)}));
    EXPECT_TRUE(h.session.appliedTiers().empty());
    EXPECT_FALSE(h.session.input().active());

    EXPECT_EQ(h.handle(msg::Bye{ByeReason::normal}), Actions{action::Close{}});
    EXPECT_EQ(h.session.phase(), HostSession::Phase::closed);
    EXPECT_TRUE(h.handle(msg::Ping{1}).empty());
    EXPECT_TRUE(h.session.end(ByeReason::normal).empty());
}

// Every action the session asks for can be put on the wire as it stands.
TEST(HostSessionScript, RepliesEncodeAsControlFrames) {
    Harness h;
    h.hello().stream(S).grantControl();
    Actions all = h.handle(msg::Ping{1});
    for (auto more : {h.handle(msg::ConfigAck{9, 1}), h.handle(msg::TextSize{1}), h.session.end(ByeReason::revoked)})
        all.insert(all.end(), more.begin(), more.end());
    for (const auto& a : all) {
        if (const auto* s = a.as<action::Send>()) {
            EXPECT_TRUE(s->message.encodeFrame()) << s->message.caseName();
        }
    }
    EXPECT_EQ(HostSessionAction{action::Close{}}.caseName(), "close");
    EXPECT_EQ(HostSessionAction{action::RequestControl{}}.caseName(), "requestControl");
}

} // namespace
} // namespace quillmere

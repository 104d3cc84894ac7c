#pragma once

// A host session driven the way its connection drives it, with short names
// for the actions the tests expect.

#include "TestSupport/TestValues.h"
#include "QuillmereMacCore/HostSession.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>

namespace quillmere {

inline void PrintTo(const HostSessionAction& a, std::ostream* os) {
    *os << a.caseName();
    if (const auto* send = a.as<action::Send>()) {
        *os << "(" << send->message.caseName();
        if (const auto* e = send->message.as<msg::Error>()) *os << " " << int(e->code) << " \"" << e->reason << "\"";
        if (const auto* s = send->message.as<msg::CaptureState>())
            *os << " " << s->surfaceID << " gen " << s->captureGeneration << " state " << int(s->state);
        if (const auto* s = send->message.as<msg::InputControlState>())
            *os << " gen " << s->generation << " state " << int(s->state) << " lease " << s->leaseMs;
        if (const auto* r = send->message.as<msg::ClipboardResult>()) *os << " " << r->requestID << " " << int(r->outcome);
        *os << ")";
    } else if (const auto* t = a.as<action::SetTier>()) {
        *os << "(" << t->surfaceID << " tier " << int(t->allocation.tier) << " fps " << t->allocation.fps << " kbps "
            << t->allocation.bitrateKbps << ")";
    } else if (const auto* inj = a.as<action::Inject>()) {
        *os << "(" << inj->actions.size() << " actions)";
    } else if (const auto* b = a.as<action::SetBitrate>()) {
        *os << "(" << b->surfaceID << " " << b->kbps << ")";
    }
}

namespace session_test {

using Actions = HostSessionActions;
using Kind = HostSession::SurfacePhase::Kind;

using testing::ms;
constexpr std::uint64_t t0 = 100'000 * ms;
constexpr std::uint32_t S = 7;
constexpr std::uint32_t W = 0x1234;

inline Hello hostHello() { return Hello{1, 3, PeerRole::host, WireID{}, WireID{}, "Mac"}; }
inline Hello clientHello(std::uint16_t major = 1, std::uint16_t minor = 7, PeerRole role = PeerRole::client) {
    return Hello{major, minor, role, WireID{}, WireID{}, "Phone"};
}
inline Capabilities hostCapabilities(std::uint8_t maxSurfaces = 4) {
    return Capabilities{{}, 3840, 2160, 60, maxSurfaces, {}, 1200};
}
inline Capabilities clientCapabilities(std::uint8_t maxSurfaces) {
    return Capabilities{{}, 2556, 1179, 120, maxSurfaces, {}, 1200};
}
inline RateConfig rateConfig() {
    return RateConfig(2000, 40000, 20000, 0.85, 1.05, 500 * ms, 2000 * ms, 10000 * ms, 0.02, 0.05, 3);
}
inline StreamConfig streamConfig(std::uint32_t surfaceID, std::uint32_t generation) {
    return StreamConfig{surfaceID, generation, 1, VideoCodec::h264, 1920, 1080, 60, 20000, {Bytes{0x67, 0x42}}};
}

inline HostSessionAction send(ControlMessage m) { return action::Send{std::move(m)}; }
inline HostSessionAction fatal(ErrorCode code, std::string reason) {
    return send(msg::Error{code, std::move(reason)});
}
inline HostSessionAction refusal(std::string reason) { return send(msg::Error{ErrorCode::invalidState, std::move(reason)}); }
inline HostSessionAction unknown(std::uint32_t surfaceID) {
    return send(msg::Error{ErrorCode::unknownSurface, "surface " + std::to_string(surfaceID)});
}
inline HostSessionAction captureState(std::uint32_t surfaceID, std::uint32_t gen, CaptureStateValue state) {
    return send(msg::CaptureState{surfaceID, gen, state});
}
inline HostSessionAction controlState(std::uint32_t gen, InputControlStateValue state, std::uint16_t leaseMs) {
    return send(msg::InputControlState{gen, state, leaseMs});
}
inline HostSessionAction clipboardResult(std::uint32_t requestID, ClipboardOutcome outcome) {
    return send(msg::ClipboardResult{requestID, outcome});
}
inline HostSessionAction soleTier(std::uint32_t surfaceID, std::int64_t fps = 60) {
    return action::SetTier{surfaceID, SurfaceAllocation{SurfaceTier::focused, fps, 40000}};
}

struct Harness {
    HostSession session{hostHello(), hostCapabilities(), rateConfig()};
    std::uint64_t now = t0;
    std::uint32_t inputSeq = 0;

    Actions handle(const ControlMessage& m) { return session.handle(m, now); }

    Harness& hello() {
        EXPECT_EQ(handle(clientHello()).size(), 2u);
        return *this;
    }
    Harness& select(std::uint32_t surfaceID, std::uint32_t windowID = W) {
        EXPECT_EQ(handle(msg::CaptureSelect{surfaceID, windowID}).size(), 2u);
        return *this;
    }
    std::uint32_t generationOf(std::uint32_t surfaceID) const { return session.surfaces().at(surfaceID).captureGeneration; }
    Harness& approve(std::uint32_t surfaceID) {
        EXPECT_EQ(session.resolveConsent(surfaceID, generationOf(surfaceID), true).size(), 1u);
        return *this;
    }
    Harness& configure(std::uint32_t surfaceID, std::uint32_t configGeneration = 1) {
        EXPECT_EQ(session.proposeConfig(streamConfig(surfaceID, configGeneration)).size(), 1u);
        handle(msg::ConfigAck{surfaceID, configGeneration});
        return *this;
    }
    Harness& start(std::uint32_t surfaceID) {
        EXPECT_TRUE(handle(msg::StartStream{surfaceID}).front().is<action::StartMedia>());
        return *this;
    }
    Harness& stream(std::uint32_t surfaceID, std::uint32_t windowID = W) {
        return select(surfaceID, windowID).approve(surfaceID).configure(surfaceID).start(surfaceID);
    }
    Harness& grantControl() {
        EXPECT_EQ(handle(msg::InputControlRequest{}), Actions{action::RequestControl{}});
        EXPECT_FALSE(session.resolveControlRequest(true, now).empty());
        return *this;
    }
    Actions input(InputEvent event) {
        return handle(msg::Input{++inputSeq, session.input().generation(), std::move(event)});
    }
    Kind phaseOf(std::uint32_t surfaceID) const { return session.surfaces().at(surfaceID).phase.kind(); }
};

// Where a session stands before the row under test.
inline void awaiting(Harness& h) { h.hello().select(S); }
inline void approved(Harness& h) { h.hello().select(S).approve(S); }
inline void streaming(Harness& h) { h.hello().stream(S); }
inline void controlling(Harness& h) {
    h.hello().stream(S).grantControl();
    h.input(input::Key{4, true});
}

} // namespace session_test
} // namespace quillmere

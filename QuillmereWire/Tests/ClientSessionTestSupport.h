#pragma once

// Short names for scripting a host against a client session.

#include "TestSupport/TestValues.h"
#include "QuillmereWire/ClientSession.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"

#include <gtest/gtest.h>

#include <ostream>

namespace quillmere {

inline void PrintTo(const ClientAction& action, std::ostream* os) { *os << action.description(); }
inline void PrintTo(ClientSession::Phase phase, std::ostream* os) { *os << phaseName(phase); }

namespace client_test {

using testing::ms;
constexpr std::uint64_t t0 = 50'000 * ms;
constexpr std::uint32_t window = 0x2A;
constexpr std::int64_t usableDatagramSize = 140; // 100 payload bytes per fragment

inline Hello clientHello() { return Hello{1, 0, PeerRole::client, WireID{}, WireID{}, "Phone"}; }
inline Hello hostHello(std::uint16_t major = 1, std::uint16_t minor = 0, PeerRole role = PeerRole::host) {
    return Hello{major, minor, role, WireID{}, WireID{}, "Mac"};
}
inline Capabilities clientCapabilities() {
    return Capabilities{codecs::h264, 2556, 1179, 120, 4, features::bit2 | features::bit6, 1200};
}
inline Capabilities hostCapabilities(FeatureSet features = features::host) {
    return Capabilities{codecs::h264, 3840, 2160, 60, 4, features, 1200};
}
inline AssemblyLimits mainLimits() { return AssemblyLimits(4, 4'000'000, 80 * ms); }
inline StreamConfig streamConfig(std::uint32_t generation, std::uint32_t surfaceID = 1) {
    return StreamConfig{surfaceID, generation, 1, VideoCodec::h264, 1280, 720, 60, 8000, {Bytes{0x67, 0x42}}};
}

inline ClientSession newSession() { return ClientSession(clientHello(), clientCapabilities(), mainLimits(), t0); }

inline ClientAction send(ControlMessage message) { return ClientAction::send(std::move(message)); }
inline ClientAction violation(std::string text) {
    return send(msg::Error{ErrorCode::protocolViolation, std::move(text)});
}
inline ClientAction closedBy(ClientCloseReason reason) { return client::Closed{std::move(reason)}; }
inline ControlMessage hostState(std::uint32_t generation, CaptureStateValue state, std::uint32_t surfaceID = 1) {
    return msg::CaptureState{surfaceID, generation, state};
}

// A session that has accepted configuration generation `generation` of
// the main surface and is streaming it.
inline ClientSession streamingSession(std::uint32_t generation = 1, std::uint32_t captureGeneration = 1) {
    ClientSession session = newSession();
    session.handle(hostHello(), t0);
    session.handle(hostCapabilities(), t0);
    session.selectWindow(window);
    session.handle(hostState(captureGeneration, CaptureStateValue::awaitingConsent), t0);
    session.handle(hostState(captureGeneration, CaptureStateValue::active), t0);
    session.handle(streamConfig(generation), t0);
    EXPECT_EQ(session.phase(), ClientSession::Phase::streaming);
    return session;
}

inline EncodedFrame videoFrame(std::uint32_t frameID, std::uint32_t epoch = 1, std::uint32_t generation = 1,
                               std::size_t bytes = 250, std::uint32_t surfaceID = 1) {
    EncodedFrame frame;
    frame.surfaceID = surfaceID;
    frame.epoch = epoch;
    frame.frameID = frameID;
    frame.configGeneration = generation;
    frame.flags = frameID == 0 ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    frame.captureTimeNs = 7 * ms + frameID;
    frame.data.resize(bytes);
    for (std::size_t i = 0; i < bytes; ++i) frame.data[i] = static_cast<std::uint8_t>(frameID * 31 + i);
    return frame;
}

inline std::vector<SharedBytes> fragments(const EncodedFrame& frame) {
    auto cut = MediaFragmenter::fragment(frame, usableDatagramSize, 100);
    EXPECT_TRUE(cut) << cut.error().description();
    return cut ? *cut : std::vector<SharedBytes>{};
}

inline Bytes audioDatagram(std::uint32_t generation, std::uint32_t sequence, Bytes payload,
                           std::uint16_t fragmentCount = 1) {
    MediaDatagram datagram;
    datagram.header.kind = MediaHeader::Kind::audio;
    datagram.header.surfaceID = 9;
    datagram.header.epoch = 1;
    datagram.header.frameID = sequence;
    datagram.header.configGeneration = generation;
    datagram.header.fragmentCount = fragmentCount;
    datagram.header.totalLength = static_cast<std::uint32_t>(payload.size());
    datagram.header.captureTimeNs = 123;
    datagram.payload = payload;
    auto encoded = datagram.encode();
    EXPECT_TRUE(encoded) << encoded.error().description();
    return encoded ? *encoded : Bytes{};
}

} // namespace client_test
} // namespace quillmere

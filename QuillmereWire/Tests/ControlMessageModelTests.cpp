#include "QuillmereBase/FixedBytes.h"
#include "QuillmereWire/ControlMessage.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace quillmere {
namespace {

TEST(WireID, LengthIsAnInvariant) {
    EXPECT_EQ(WireID::fromBytes(Bytes(15, 1)).error(), WireError::outOfRange("WireID"));
    EXPECT_EQ(WireID::fromBytes(Bytes(17, 1)).error(), WireError::outOfRange("WireID"));
    EXPECT_TRUE(WireID::fromBytes(Bytes(16, 1)).has_value());
    EXPECT_EQ(Digest32::fromBytes(Bytes(31, 1)).error(), WireError::outOfRange("Digest32"));
    EXPECT_TRUE(Digest32::fromBytes(Bytes(32, 1)).has_value());
}

TEST(WireID, PrintsFirstFourBytes) {
    Bytes raw(16, 0xFF);
    raw[0] = 0x0A, raw[1] = 0x1B, raw[2] = 0x2C, raw[3] = 0x3D;
    EXPECT_EQ(WireID::fromBytes(raw)->description(), "0a1b2c3d");
    EXPECT_EQ(Digest32::zero().description(), "00000000");
    EXPECT_EQ(hexString(ByteView()), "");
}

TEST(WireID, RandomDrawsFromTheGenerator) {
    std::mt19937 a(42), b(42), c(43);
    EXPECT_EQ(WireID::random(a), WireID::random(b));
    std::mt19937 d(42);
    EXPECT_NE(WireID::random(c), WireID::random(d));
}

TEST(Digest32, ConstantTimeEquality) {
    Bytes raw(32, 7);
    Digest32 a = *Digest32::fromBytes(raw);
    raw[31] = 8;
    Digest32 b = *Digest32::fromBytes(raw);
    EXPECT_FALSE(a.constantTimeEquals(b));
    EXPECT_TRUE(a.constantTimeEquals(a));
    EXPECT_FALSE(constantTimeEquals(a.view(), b.view()));
    EXPECT_FALSE(constantTimeEquals(a.view().first(31), a.view()));
}

TEST(WireID, HashesByContent) {
    std::unordered_set<Digest32> set;
    set.insert(Digest32::zero());
    set.insert(Digest32::zero());
    EXPECT_EQ(set.size(), 1u);
}

TEST(WireEnums, RawValuesRoundTripAndUnknownsAreRejected) {
    EXPECT_EQ(enumFromRaw<PeerRole>(1), PeerRole::host);
    EXPECT_EQ(enumFromRaw<PeerRole>(0), std::nullopt);
    EXPECT_EQ(enumFromRaw<PeerRole>(3), std::nullopt);
    EXPECT_EQ(enumFromRaw<ErrorCode>(9), ErrorCode::internalError);
    EXPECT_EQ(enumFromRaw<ErrorCode>(10), std::nullopt);
    EXPECT_EQ(enumFromRaw<StopReason>(0), StopReason::user);
    EXPECT_EQ(enumFromRaw<ClipboardOutcome>(5), ClipboardOutcome::notText);
    EXPECT_EQ(enumFromRaw<ClipboardOutcome>(6), std::nullopt);
    EXPECT_EQ(enumFromRaw<InputButton>(0), std::nullopt);
    EXPECT_EQ(enumName(CaptureStateValue::awaitingConsent), "awaitingConsent");
    EXPECT_EQ(enumName(EnrollmentOutcome::cancelled), "cancelled");
}

TEST(OptionSets, Bits) {
    EXPECT_EQ(features::host.rawValue, 0x87u);
    EXPECT_TRUE(features::host.contains(features::bit2));
    EXPECT_FALSE(features::host.contains(features::bit5));
    EXPECT_TRUE(FeatureSet{0x200}.hasUndefinedBits());
    EXPECT_FALSE(FeatureSet{0x1FF}.hasUndefinedBits());
    EXPECT_TRUE(CodecSet{0x4}.hasUndefinedBits());
    EXPECT_EQ((codecs::h264 | codecs::hevc).rawValue, 3u);
}

TEST(ControlMessage, EqualityIsByCaseAndFields) {
    EXPECT_EQ(ControlMessage(msg::CaptureListRequest{}), ControlMessage(msg::CaptureListRequest{}));
    EXPECT_NE(ControlMessage(msg::CaptureListRequest{}), ControlMessage(msg::InputControlRequest{}));
    EXPECT_EQ(ControlMessage(msg::Ignored{7}), ControlMessage(msg::Ignored{7}));
    EXPECT_NE(ControlMessage(msg::Ignored{7}), ControlMessage(msg::Ignored{8}));
    EXPECT_NE(ControlMessage(msg::StartStream{1}), ControlMessage(msg::ConfigAck{1, 0}));
    EXPECT_EQ(ControlMessage(msg::Input{1, 2, input::Text{"x"}}), ControlMessage(msg::Input{1, 2, input::Text{"x"}}));
    EXPECT_NE(ControlMessage(msg::Input{1, 2, input::Renew{}}), ControlMessage(msg::Input{1, 2, input::Release{}}));
    EXPECT_EQ(ControlMessage(msg::Bye{}).caseName(), "bye");
    EXPECT_EQ(ControlMessage(msg::InputControlRequest{}).caseName(), "inputControlRequest");
    EXPECT_EQ(ControlMessage(Hello{}).caseName(), "hello");
}

} // namespace
} // namespace quillmere

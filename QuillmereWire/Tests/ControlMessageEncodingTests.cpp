#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/Tests/ControlWireBytes.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::bytesOf;
using testing::Payload;

Bytes frame(const ControlMessage& message) {
    auto encoded = message.encodeFrame();
    EXPECT_TRUE(encoded.has_value()) << message.caseName() << ": " << encoded.error().description();
    return encoded.value_or(Bytes{});
}

Bytes payload(const ControlMessage& message) {
    ByteWriter writer;
    auto status = message.encodePayload(writer);
    EXPECT_TRUE(status.has_value()) << message.caseName() << ": " << status.error().description();
    return writer.bytes();
}

WireID wireID(std::uint8_t first) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return WireID(bytes);
}

Digest32 digest(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes{};
    bytes.fill(fill);
    return Digest32(bytes);
}

StreamConfig validStreamConfig() {
    return StreamConfig{7, 2, 3, VideoCodec::h264, 1920, 1080, 60, 8000, {bytesOf({0x67, 0x42}), bytesOf({0x68})}};
}

TEST(ControlFrameEncoding, HeaderCarriesTypeFlagsAndLength) {
    EXPECT_EQ(frame(msg::Ping{1}), bytesOf({0x00, 0x31, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 1}));
    // hostPower alone goes out as ignorable, so that older peers may skip it.
    EXPECT_EQ(frame(HostPower{80, true}), bytesOf({0x07, 0x03, 0x00, 0x01, 0, 0, 0, 2, 0x50, 0x01}));
    EXPECT_EQ(frame(msg::CaptureListRequest{}), bytesOf({0x00, 0x20, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frame(msg::InputControlRequest{}), bytesOf({0x01, 0x00, 0, 0, 0, 0, 0, 0}));
}

TEST(ControlFrameEncoding, PayloadLayouts) {
    EXPECT_EQ(payload(msg::Error{ErrorCode::invalidState, ""}), bytesOf({0x00, 0x06, 0x00}));
    EXPECT_EQ(payload(msg::CaptureList{}), bytesOf({0x00, 0x00}));
    EXPECT_EQ(payload(msg::Input{1, 2, input::PointerMove{-1, 2}}),
              bytesOf({0, 0, 0, 1, 0, 0, 0, 2, 0xFF, 0xFF, 0x00, 0x02}));
    EXPECT_EQ(ControlMessage(msg::Input{1, 2, input::PointerMove{-1, 2}}).typeCode(), 0x0103);
    EXPECT_EQ(payload(msg::StopStream{0x01020304, StopReason::thermal}), bytesOf({1, 2, 3, 4, 4}));
    EXPECT_EQ(payload(msg::AudioConfig{9, 48000, 2, 10}), Payload().u32(9).u8(1).u32(48000).u8(2).u8(10).bytes());

    const Hello hello{1, 0, PeerRole::client, wireID(0x10), wireID(0x40), "Ada"};
    EXPECT_EQ(payload(hello), Payload()
                                  .u16(1)
                                  .u16(0)
                                  .u8(2)
                                  .raw(std::string(reinterpret_cast<const char*>(wireID(0x10).bytes().data()), 16))
                                  .raw(std::string(reinterpret_cast<const char*>(wireID(0x40).bytes().data()), 16))
                                  .str("Ada")
                                  .bytes());
    EXPECT_EQ(payload(hello).size(), 38u + 3u);

    EXPECT_EQ(payload(validStreamConfig()), Payload()
                                                .u32(7)
                                                .u32(2)
                                                .u32(3)
                                                .u8(1)
                                                .u16(1920)
                                                .u16(1080)
                                                .u16(60)
                                                .u32(8000)
                                                .u8(2)
                                                .u16(2)
                                                .u8(0x67)
                                                .u8(0x42)
                                                .u16(1)
                                                .u8(0x68)
                                                .bytes());

    EXPECT_EQ(payload(msg::CaptureList{{CaptureWindow{0xFFFFFF00, "Main", "", 3440, 1440}}}),
              Payload().u16(1).u32(0xFFFFFF00).str("Main").str("").u16(3440).u16(1440).bytes());
    EXPECT_EQ(payload(msg::ClipboardPush{5, "h\xC3\xA9"}), Payload().u32(5).u16(3).raw("h\xC3\xA9").bytes());
    EXPECT_EQ(payload(msg::EnrollResult{wireID(0), EnrollmentOutcome::invalidProof, digest(0xAB)}).size(), 49u);
    EXPECT_EQ(payload(msg::EnrollRequest{wireID(0), digest(1), "Phone"}).size(), 49u + 5u);
    EXPECT_EQ(payload(ReceiverReport{1, 1000, 2, 3, 4, 5, 6, 7, 5994, 2, 3}).size(), 32u);
    EXPECT_EQ(payload(Capabilities{codecs::h264, 3840, 2160, 120, 4, features::host, 1200}),
              Payload().u32(1).u16(3840).u16(2160).u16(120).u8(4).u32(0x87).u16(1200).bytes());
}

TEST(ControlFrameEncoding, LargestCursorImageFitsAndOneMoreByteFails) {
    CursorShape shape{1, 2, 32, Bytes(60000, 0x89)};
    EXPECT_EQ(frame(shape).size(), 8u + 60008u);
    shape.png.push_back(0);
    EXPECT_EQ(ControlMessage(shape).encodeFrame().error(), WireError::outOfRange("cursorShape.png"));
}

TEST(ControlFrameEncoding, IgnoredIsNeverSent) {
    const ControlMessage ignored = msg::Ignored{0x0999};
    EXPECT_EQ(ignored.typeCode(), 0x0999);
    EXPECT_EQ(ignored.encodeFrame().error(), WireError::unsupportedMessage(0x0999));
    ByteWriter writer;
    EXPECT_EQ(ignored.encodePayload(writer).error(), WireError::unsupportedMessage(0x0999));
}

struct EncodeRefusal {
    const char* name;
    ControlMessage message;
    WireError error;
};

StreamConfig streamConfigWith(auto change) {
    StreamConfig s = validStreamConfig();
    change(s);
    return s;
}

Capabilities capabilitiesWith(auto change) {
    Capabilities c{codecs::h264, 1920, 1080, 60, 2, features::host, 1200};
    change(c);
    return c;
}

ReceiverReport reportWith(auto change) {
    ReceiverReport r{1, 1000, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    change(r);
    return r;
}

std::vector<CaptureWindow> windows(std::size_t count) { return std::vector<CaptureWindow>(count, CaptureWindow{1, "t", "a", 1, 1}); }

const std::vector<EncodeRefusal>& encodeRefusals() {
    static const std::vector<EncodeRefusal> rows = {
        {"hello name", Hello{1, 0, PeerRole::host, {}, {}, std::string(65, 'n')}, WireError::outOfRange("hello.name")},
        {"hello role", Hello{1, 0, static_cast<PeerRole>(3), {}, {}, ""}, WireError::unknownValue("hello.role", 3)},
        {"capabilities codecs", capabilitiesWith([](auto& c) { c.codecs = CodecSet{0x4}; }),
         WireError::outOfRange("capabilities.codecs")},
        {"capabilities features", capabilitiesWith([](auto& c) { c.features = FeatureSet{0x200}; }),
         WireError::outOfRange("capabilities.features")},
        {"capabilities width", capabilitiesWith([](auto& c) { c.maxWidth = 8193; }),
         WireError::outOfRange("capabilities.maxWidth")},
        {"capabilities height", capabilitiesWith([](auto& c) { c.maxHeight = 0; }),
         WireError::outOfRange("capabilities.maxHeight")},
        {"capabilities fps", capabilitiesWith([](auto& c) { c.maxFPS = 241; }),
         WireError::outOfRange("capabilities.maxFPS")},
        {"capabilities surfaces", capabilitiesWith([](auto& c) { c.maxSurfaces = 17; }),
         WireError::outOfRange("capabilities.maxSurfaces")},
        {"capabilities datagram", capabilitiesWith([](auto& c) { c.maxDatagram = 63; }),
         WireError::outOfRange("capabilities.maxDatagram")},
        {"capabilities first rule first", capabilitiesWith([](auto& c) { c.maxDatagram = 0, c.codecs = CodecSet{8}; }),
         WireError::outOfRange("capabilities.codecs")},
        {"error reason", msg::Error{ErrorCode::internalError, std::string(129, 'r')},
         WireError::outOfRange("error.reason")},
        {"error code", msg::Error{static_cast<ErrorCode>(0), ""}, WireError::unknownValue("error.code", 0)},
        {"stream nine sets", streamConfigWith([](auto& s) { s.parameterSets.assign(9, Bytes{1}); }),
         WireError::outOfRange("streamConfig.parameterSetCount")},
        {"stream surface before sets", streamConfigWith([](auto& s) { s.surfaceID = 0, s.parameterSets.assign(9, Bytes{1}); }),
         WireError::outOfRange("streamConfig.surfaceID")},
        {"stream no sets", streamConfigWith([](auto& s) { s.parameterSets.clear(); }),
         WireError::outOfRange("streamConfig.parameterSetCount")},
        {"stream empty set", streamConfigWith([](auto& s) { s.parameterSets[1].clear(); }),
         WireError::outOfRange("streamConfig.parameterSet")},
        {"stream long set", streamConfigWith([](auto& s) { s.parameterSets[0].resize(1025); }),
         WireError::outOfRange("streamConfig.parameterSet")},
        {"stream width", streamConfigWith([](auto& s) { s.width = 0; }), WireError::outOfRange("streamConfig.width")},
        {"stream height", streamConfigWith([](auto& s) { s.height = 8193; }), WireError::outOfRange("streamConfig.height")},
        {"stream fps", streamConfigWith([](auto& s) { s.fps = 241; }), WireError::outOfRange("streamConfig.fps")},
        {"stream bitrate", streamConfigWith([](auto& s) { s.bitrateKbps = 500001; }),
         WireError::outOfRange("streamConfig.bitrateKbps")},
        {"stream codec", streamConfigWith([](auto& s) { s.codec = static_cast<VideoCodec>(0); }),
         WireError::unknownValue("streamConfig.codec", 0)},
        {"stop reason", msg::StopStream{1, static_cast<StopReason>(5)}, WireError::unknownValue("stopStream.reason", 5)},
        {"report interval", reportWith([](auto& r) { r.intervalMs = 10001; }),
         WireError::outOfRange("receiverReport.intervalMs")},
        {"report thermal", reportWith([](auto& r) { r.thermalState = 4; }),
         WireError::outOfRange("receiverReport.thermalState")},
        {"capture list count", msg::CaptureList{windows(65)}, WireError::outOfRange("captureList.count")},
        {"capture list title", msg::CaptureList{{CaptureWindow{1, std::string(129, 't'), "", 0, 0}}},
         WireError::outOfRange("captureList.title")},
        {"capture list app", msg::CaptureList{{CaptureWindow{1, "", std::string(65, 'a'), 0, 0}}},
         WireError::outOfRange("captureList.app")},
        {"capture select", msg::CaptureSelect{0, 42}, WireError::outOfRange("captureSelect.surfaceID")},
        {"enroll name", msg::EnrollRequest{{}, {}, std::string(65, 'd')},
         WireError::outOfRange("enrollRequest.deviceName")},
        {"input text empty", msg::Input{1, 1, input::Text{""}}, WireError::outOfRange("input.text")},
        {"input text long", msg::Input{1, 1, input::Text{std::string(256, 'x')}}, WireError::outOfRange("input.text")},
        {"input text return", msg::Input{1, 1, input::Text{"a\rb"}}, WireError::outOfRange("input.text")},
        {"input button", msg::Input{1, 1, input::Button{static_cast<InputButton>(6), true}},
         WireError::unknownValue("input.button", 6)},
        {"clipboard empty", msg::ClipboardPush{1, ""}, WireError::outOfRange("clipboard.text")},
        {"clipboard long", msg::ClipboardPush{1, std::string(60001, 'c')}, WireError::outOfRange("clipboard.text")},
        {"audio rate", msg::AudioConfig{1, 44100, 2, 10}, WireError::outOfRange("audioConfig.sampleRate")},
        {"audio channels", msg::AudioConfig{1, 48000, 3, 10}, WireError::outOfRange("audioConfig.channels")},
        {"audio frame", msg::AudioConfig{1, 48000, 2, 15}, WireError::outOfRange("audioConfig.frameMs")},
        {"focus hint", msg::FocusHint{0, 100}, WireError::outOfRange("focusHint.surfaceID")},
        {"budget surface", msg::SurfaceBudget{0, 64, 64}, WireError::outOfRange("surfaceBudget.surfaceID")},
        {"budget width", msg::SurfaceBudget{1, 63, 64}, WireError::outOfRange("surfaceBudget.size")},
        {"budget height", msg::SurfaceBudget{1, 64, 8193}, WireError::outOfRange("surfaceBudget.size")},
        {"text size", msg::TextSize{3}, WireError::outOfRange("textSize.level")},
        {"screen shape", msg::ScreenShape{3}, WireError::outOfRange("screenShape.shape")},
        {"cursor empty", CursorShape{0, 0, 32, {}}, WireError::outOfRange("cursorShape.png")},
        {"cursor height", CursorShape{0, 0, 257, Bytes{1}}, WireError::outOfRange("cursorShape.pointHeight")},
        {"host power", HostPower{101, false}, WireError::outOfRange("hostPower.percent")},
        {"hello name not text", Hello{1, 0, PeerRole::host, {}, {}, "\xC0\x80"}, WireError::invalidString()},
        {"clipboard not text", msg::ClipboardPush{1, "ok\xED\xA0\x80"}, WireError::invalidString()},
    };
    return rows;
}

TEST(ControlFrameEncoding, EveryFieldRuleRefusesBeforeWriting) {
    for (const EncodeRefusal& row : encodeRefusals()) {
        SCOPED_TRACE(row.name);
        auto encoded = row.message.encodeFrame();
        ASSERT_FALSE(encoded.has_value());
        EXPECT_EQ(encoded.error(), row.error) << encoded.error().description();
    }
}

TEST(ControlFrameEncoding, RuleBoundariesThemselvesAreAccepted) {
    const std::vector<ControlMessage> accepted = {
        Hello{1, 0, PeerRole::host, {}, {}, std::string(64, 'n')},
        capabilitiesWith([](auto& c) { c.maxWidth = 8192, c.maxHeight = 1, c.maxFPS = 240, c.maxSurfaces = 16; }),
        capabilitiesWith([](auto& c) { c.codecs = CodecSet{3}, c.features = FeatureSet{0x1FF}, c.maxDatagram = 64; }),
        msg::Error{ErrorCode::protocolViolation, std::string(128, 'r')},
        streamConfigWith([](auto& s) { s.parameterSets.assign(8, Bytes(1024, 1)), s.bitrateKbps = 500000; }),
        streamConfigWith([](auto& s) { s.bitrateKbps = 0, s.width = 8192, s.height = 1, s.fps = 240; }),
        reportWith([](auto& r) { r.intervalMs = 10000, r.thermalState = 3; }),
        msg::CaptureList{windows(64)},
        msg::Input{1, 1, input::Text{std::string(255, 'x')}},
        msg::Input{1, 1, input::Text{"tab\tand\nline"}},
        msg::ClipboardPush{1, std::string(60000, 'c')},
        msg::AudioConfig{1, 48000, 1, 20},
        msg::SurfaceBudget{1, 64, 8192},
        msg::TextSize{2},
        msg::ScreenShape{2},
        CursorShape{0, 0, 256, Bytes{1}},
        HostPower{100, false},
    };
    for (const ControlMessage& message : accepted) {
        auto encoded = message.encodeFrame();
        EXPECT_TRUE(encoded.has_value()) << message.caseName() << ": " << encoded.error().description();
    }
}

} // namespace
} // namespace quillmere

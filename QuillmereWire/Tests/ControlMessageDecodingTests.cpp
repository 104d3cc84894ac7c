#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/ControlMessageType.h"
#include "QuillmereWire/Tests/ControlWireBytes.h"

#include <gtest/gtest.h>

#include <optional>

namespace quillmere {
namespace {

using testing::bytesOf;
using testing::Payload;
using Type = ControlMessageType;

WireResult<ControlMessage> decode(Type type, const Bytes& payload) {
    return ControlMessage::decode(static_cast<std::uint16_t>(type), false, viewOf(payload));
}

// Payloads with the fields a rule looks at as parameters, the rest valid.
Bytes hello(std::uint8_t role, std::string_view name) {
    return Payload().u16(1).u16(0).u8(role).fill(32, 0xAA).str(name).bytes();
}

struct Caps {
    std::uint32_t codecs = 1;
    std::uint16_t width = 1920, height = 1080, fps = 60;
    std::uint8_t surfaces = 4;
    std::uint32_t features = 0x87;
    std::uint16_t datagram = 1200;
    Bytes bytes() const {
        return Payload().u32(codecs).u16(width).u16(height).u16(fps).u8(surfaces).u32(features).u16(datagram).bytes();
    }
};

struct Stream {
    std::uint32_t surface = 1;
    std::uint8_t codec = 1;
    std::uint16_t width = 1280, height = 720, fps = 30;
    std::uint32_t bitrate = 4000;
    std::vector<std::size_t> sets = {10, 4};
    std::optional<std::uint8_t> count;
    Bytes bytes() const {
        Payload p;
        p.u32(surface).u32(9).u32(3).u8(codec).u16(width).u16(height).u16(fps).u32(bitrate);
        p.u8(count.value_or(static_cast<std::uint8_t>(sets.size())));
        for (std::size_t length : sets) p.u16(static_cast<std::uint16_t>(length)).fill(length, 0x42);
        return p.bytes();
    }
};

Bytes caps(auto change) {
    Caps c;
    change(c);
    return c.bytes();
}

Bytes stream(auto change) {
    Stream s;
    change(s);
    return s.bytes();
}

Bytes report(std::uint16_t intervalMs, std::uint8_t thermal) {
    return Payload().u32(1).u16(intervalMs).fill(20, 0).u16(0).u16(0).u8(0).u8(thermal).bytes();
}

Bytes captureList(std::uint16_t count, std::size_t titleBytes = 4, std::size_t appBytes = 3) {
    Payload p;
    p.u16(count);
    for (std::uint16_t i = 0; i < count; ++i)
        p.u32(i).str(std::string(titleBytes, 't')).str(std::string(appBytes, 'a')).u16(800).u16(600);
    return p.bytes();
}

Bytes inputText(std::string_view text) { return Payload().u32(1).u32(1).str(text).bytes(); }
Bytes clipboard(std::uint16_t length, std::string_view text) { return Payload().u32(3).u16(length).raw(text).bytes(); }
Bytes audio(std::uint8_t codec, std::uint32_t rate, std::uint8_t channels, std::uint8_t frameMs) {
    return Payload().u32(1).u8(codec).u32(rate).u8(channels).u8(frameMs).bytes();
}
Bytes budget(std::uint32_t surface, std::uint16_t width, std::uint16_t height) {
    return Payload().u32(surface).u16(width).u16(height).bytes();
}
Bytes cursor(std::uint16_t pointHeight, std::uint16_t length) {
    return Payload().u16(1).u16(1).u16(pointHeight).u16(length).fill(length, 0x89).bytes();
}

struct Row {
    const char* name;
    Type type;
    Bytes payload;
    std::optional<WireError> error; // none: accepted
};

std::vector<Row> ruleRows() {
    auto out = [](std::string path) { return std::optional(WireError::outOfRange(std::move(path))); };
    auto unknown = [](std::string path, std::uint32_t raw) { return std::optional(WireError::unknownValue(std::move(path), raw)); };
    const std::optional<WireError> ok;
    return {
        {"hello role 0", Type::hello, hello(0, "x"), unknown("hello.role", 0)},
        {"hello role 3", Type::hello, hello(3, "x"), unknown("hello.role", 3)},
        {"hello name 64", Type::hello, hello(2, std::string(64, 'n')), ok},
        {"hello name 65", Type::hello, hello(2, std::string(65, 'n')), out("hello.name")},
        {"caps codecs", Type::capabilities, caps([](auto& v) { v.codecs = 4; }), out("capabilities.codecs")},
        {"caps codecs both", Type::capabilities, caps([](auto& v) { v.codecs = 3; }), ok},
        {"caps features 0x1FF", Type::capabilities, caps([](auto& v) { v.features = 0x1FF; }), ok},
        {"caps features 0x200", Type::capabilities, caps([](auto& v) { v.features = 0x200; }), out("capabilities.features")},
        {"caps width 0", Type::capabilities, caps([](auto& v) { v.width = 0; }), out("capabilities.maxWidth")},
        {"caps width 8193", Type::capabilities, caps([](auto& v) { v.width = 8193; }), out("capabilities.maxWidth")},
        {"caps height 8193", Type::capabilities, caps([](auto& v) { v.height = 8193; }), out("capabilities.maxHeight")},
        {"caps fps 241", Type::capabilities, caps([](auto& v) { v.fps = 241; }), out("capabilities.maxFPS")},
        {"caps fps 240", Type::capabilities, caps([](auto& v) { v.fps = 240; }), ok},
        {"caps surfaces 0", Type::capabilities, caps([](auto& v) { v.surfaces = 0; }), out("capabilities.maxSurfaces")},
        {"caps surfaces 17", Type::capabilities, caps([](auto& v) { v.surfaces = 17; }), out("capabilities.maxSurfaces")},
        {"caps datagram 63", Type::capabilities, caps([](auto& v) { v.datagram = 63; }), out("capabilities.maxDatagram")},
        {"caps datagram 64", Type::capabilities, caps([](auto& v) { v.datagram = 64; }), ok},
        {"caps rules in order", Type::capabilities, caps([](auto& v) { v.codecs = 8; v.width = 0; v.datagram = 0; }), out("capabilities.codecs")},
        {"error code 0", Type::error, Payload().u16(0).str("").bytes(), unknown("error.code", 0)},
        {"error code 10", Type::error, Payload().u16(10).str("").bytes(), unknown("error.code", 10)},
        {"error reason 128", Type::error, Payload().u16(9).str(std::string(128, 'r')).bytes(), ok},
        {"error reason 129", Type::error, Payload().u16(9).str(std::string(129, 'r')).bytes(), out("error.reason")},
        {"stream codec 3", Type::streamConfig, stream([](auto& v) { v.codec = 3; }), unknown("streamConfig.codec", 3)},
        {"stream count 0", Type::streamConfig, stream([](auto& v) { v.sets = {}; }), out("streamConfig.parameterSetCount")},
        {"stream count 9 before any set", Type::streamConfig, stream([](auto& v) { v.sets = {}; v.count = 9; }),
         out("streamConfig.parameterSetCount")},
        {"stream count 8", Type::streamConfig, stream([](auto& v) { v.sets = {1, 1, 1, 1, 1, 1, 1, 1}; }), ok},
        {"stream set 0 bytes", Type::streamConfig, stream([](auto& v) { v.sets = {4, 0}; }), out("streamConfig.parameterSet")},
        {"stream set 1025 before its bytes", Type::streamConfig, Payload().u32(1).fill(8, 0).u8(1).fill(10, 1).u8(1).u16(1025).bytes(),
         out("streamConfig.parameterSet")},
        {"stream set 1024", Type::streamConfig, stream([](auto& v) { v.sets = {1024}; }), ok},
        {"stream surface 0", Type::streamConfig, stream([](auto& v) { v.surface = 0; }), out("streamConfig.surfaceID")},
        {"stream width 0", Type::streamConfig, stream([](auto& v) { v.width = 0; }), out("streamConfig.width")},
        {"stream height 8193", Type::streamConfig, stream([](auto& v) { v.height = 8193; }), out("streamConfig.height")},
        {"stream fps 0", Type::streamConfig, stream([](auto& v) { v.fps = 0; }), out("streamConfig.fps")},
        {"stream bitrate 500000", Type::streamConfig, stream([](auto& v) { v.bitrate = 500000; }), ok},
        {"stream bitrate 500001", Type::streamConfig, stream([](auto& v) { v.bitrate = 500001; }), out("streamConfig.bitrateKbps")},
        {"stream surface rule first", Type::streamConfig, stream([](auto& v) { v.surface = 0; v.bitrate = 500001; }), out("streamConfig.surfaceID")},
        {"stop reason 5", Type::stopStream, Payload().u32(1).u8(5).bytes(), unknown("stopStream.reason", 5)},
        {"recovery reason 0", Type::recoveryRequest, Payload().u32(1).u32(1).u32(1).u8(0).bytes(), unknown("recoveryRequest.reason", 0)},
        {"recovery reason 5", Type::recoveryRequest, Payload().u32(1).u32(1).u32(1).u8(5).bytes(), unknown("recoveryRequest.reason", 5)},
        {"report interval 0", Type::receiverReport, report(0, 0), out("receiverReport.intervalMs")},
        {"report interval 10001", Type::receiverReport, report(10001, 0), out("receiverReport.intervalMs")},
        {"report interval 10000", Type::receiverReport, report(10000, 3), ok},
        {"report thermal 4", Type::receiverReport, report(1, 4), out("receiverReport.thermalState")},
        {"capture list 65 without entries", Type::captureList, Payload().u16(65).bytes(), out("captureList.count")},
        {"capture list 64", Type::captureList, captureList(64), ok},
        {"capture title 129", Type::captureList, captureList(1, 129), out("captureList.title")},
        {"capture title 128", Type::captureList, captureList(1, 128, 64), ok},
        {"capture app 65", Type::captureList, captureList(1, 0, 65), out("captureList.app")},
        {"capture select surface 0", Type::captureSelect, bytesOf({0, 0, 0, 0}), out("captureSelect.surfaceID")},
        {"capture state 5", Type::captureState, Payload().u32(1).u32(1).u8(5).bytes(), unknown("captureState.state", 5)},
        {"bye 5", Type::bye, bytesOf({5}), unknown("bye.reason", 5)},
        {"enroll name 65", Type::enrollRequest, Payload().fill(48, 0).str(std::string(65, 'd')).bytes(), out("enrollRequest.deviceName")},
        {"enroll outcome 6", Type::enrollResult, Payload().fill(16, 0).u8(6).fill(32, 0).bytes(), unknown("enrollResult.outcome", 6)},
        {"input control state 5", Type::inputControlState, Payload().u32(1).u8(5).u16(0).bytes(), unknown("inputControlState.state", 5)},
        {"input button 0", Type::inputButton, Payload().u32(1).u32(1).u8(0).u8(1).bytes(), unknown("input.button", 0)},
        {"input button 6", Type::inputButton, Payload().u32(1).u32(1).u8(6).u8(1).bytes(), unknown("input.button", 6)},
        {"input scroll unit 2", Type::inputScroll, Payload().u32(1).u32(1).u16(1).u16(1).u8(2).bytes(), unknown("input.scrollUnit", 2)},
        {"input text empty", Type::inputText, inputText(""), out("input.text")},
        {"input text return", Type::inputText, inputText("a\rb"), out("input.text")},
        {"input text delete", Type::inputText, inputText("a\x7F"), out("input.text")},
        {"input text 255", Type::inputText, inputText(std::string(255, 'x')), ok},
        {"clipboard 0", Type::clipboardPush, clipboard(0, ""), out("clipboard.text")},
        {"clipboard 60001 before its bytes", Type::clipboardPush, clipboard(60001, ""), out("clipboard.text")},
        {"clipboard 60000", Type::clipboardPush, clipboard(60000, std::string(60000, 'c')), ok},
        {"clipboard outcome 6", Type::clipboardResult, Payload().u32(1).u8(6).bytes(), unknown("clipboard.outcome", 6)},
        {"audio codec 2", Type::audioConfig, audio(2, 48000, 2, 10), unknown("audioConfig.codec", 0)},
        {"audio rate 44100", Type::audioConfig, audio(1, 44100, 2, 10), out("audioConfig.sampleRate")},
        {"audio channels 0", Type::audioConfig, audio(1, 48000, 0, 10), out("audioConfig.channels")},
        {"audio channels 3", Type::audioConfig, audio(1, 48000, 3, 10), out("audioConfig.channels")},
        {"audio frame 15", Type::audioConfig, audio(1, 48000, 2, 15), out("audioConfig.frameMs")},
        {"audio frame 20 mono", Type::audioConfig, audio(1, 48000, 1, 20), ok},
        {"focus surface 0 before ttl", Type::focusHint, bytesOf({0, 0, 0, 0}), out("focusHint.surfaceID")},
        {"budget surface 0", Type::surfaceBudget, budget(0, 64, 64), out("surfaceBudget.surfaceID")},
        {"budget width 63", Type::surfaceBudget, budget(1, 63, 64), out("surfaceBudget.size")},
        {"budget height 8193", Type::surfaceBudget, budget(1, 64, 8193), out("surfaceBudget.size")},
        {"budget 64 x 8192", Type::surfaceBudget, budget(1, 64, 8192), ok},
        {"text size 3", Type::textSize, bytesOf({3}), out("textSize.level")},
        {"text size 2", Type::textSize, bytesOf({2}), ok},
        {"screen shape 3", Type::screenShape, bytesOf({3}), out("screenShape.shape")},
        {"cursor png 0 before its bytes", Type::cursorShape, cursor(32, 0), out("cursorShape.png")},
        {"cursor png 60001 before its bytes", Type::cursorShape, Payload().u16(0).u16(0).u16(1).u16(60001).bytes(), out("cursorShape.png")},
        {"cursor height 0", Type::cursorShape, cursor(0, 3), out("cursorShape.pointHeight")},
        {"cursor height 257", Type::cursorShape, cursor(257, 3), out("cursorShape.pointHeight")},
        {"cursor height 256", Type::cursorShape, cursor(256, 3), ok},
        {"power percent first", Type::hostPower, bytesOf({0x65, 0x02}), out("hostPower.percent")},
        {"power charging 2", Type::hostPower, bytesOf({0x64, 0x02}), out("hostPower.charging")},
        {"power 100 charging", Type::hostPower, bytesOf({0x64, 0x01}), ok},
        {"power percent needs both bytes", Type::hostPower, bytesOf({0x65}), WireError::truncated()},
        {"pause byte 2", Type::pause, Payload().u32(1).u8(2).bytes(), WireError::invalidBoolean()},
        {"key down 2", Type::inputKey, Payload().u32(1).u32(1).u16(4).u8(2).bytes(), WireError::invalidBoolean()},
        {"name not text", Type::hello, hello(1, "\xC0\x80"), WireError::invalidString()},
        {"clipboard not text", Type::clipboardPush, clipboard(3, "\xED\xA0\x80"), WireError::invalidString()},
        {"bye empty", Type::bye, Bytes{}, WireError::truncated()},
        {"bye two bytes", Type::bye, bytesOf({0, 0}), WireError::trailingBytes()},
        {"select with extra byte", Type::captureSelect, bytesOf({0, 0, 0, 1, 0, 0, 0, 0x2A, 0}), WireError::trailingBytes()},
        {"rule before trailing bytes", Type::hostPower, bytesOf({0x65, 0x01, 0x00}), out("hostPower.percent")},
    };
}

TEST(ControlMessageDecoding, EveryFieldRuleAtItsBoundary) {
    for (const Row& row : ruleRows()) {
        SCOPED_TRACE(row.name);
        auto decoded = decode(row.type, row.payload);
        if (!row.error) {
            EXPECT_TRUE(decoded.has_value()) << decoded.error().description();
            continue;
        }
        ASSERT_FALSE(decoded.has_value());
        EXPECT_EQ(decoded.error(), *row.error) << decoded.error().description();
    }
}

TEST(ControlMessageDecoding, DecodedValues) {
    EXPECT_EQ(decode(Type::captureSelect, bytesOf({0, 0, 0, 1, 0, 0, 0, 0x2A})), ControlMessage(msg::CaptureSelect{1, 42}));
    EXPECT_EQ(decode(Type::hostPower, bytesOf({0x64, 0x01})), ControlMessage(HostPower{100, true}));
    EXPECT_EQ(decode(Type::captureList, bytesOf({0, 0})), ControlMessage(msg::CaptureList{}));
    EXPECT_EQ(decode(Type::inputPointerMove, Payload().u32(7).u32(8).u16(0xFFFF).u16(0x8000).bytes()),
              ControlMessage(msg::Input{7, 8, input::PointerMove{-1, -32768}}));
    EXPECT_EQ(decode(Type::inputRelease, Payload().u32(7).u32(8).bytes()), ControlMessage(msg::Input{7, 8, input::Release{}}));
    EXPECT_EQ(decode(Type::stopStream, Payload().u32(3).u8(4).bytes()), ControlMessage(msg::StopStream{3, StopReason::thermal}));
    EXPECT_EQ(decode(Type::ping, Payload().u64(7).bytes()), ControlMessage(msg::Ping{7}));
    EXPECT_EQ(decode(Type::error, Payload().u16(6).str("busy").bytes()), ControlMessage(msg::Error{ErrorCode::invalidState, "busy"}));
    auto text = decode(Type::inputText, inputText("tab\there, nul-free \xE2\x82\xAC"));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(std::get<input::Text>(text->as<msg::Input>()->event).text, "tab\there, nul-free \xE2\x82\xAC");
}

TEST(ControlMessageDecoding, EveryUnknownEnumerationValueCarriesItsRawValue) {
    struct Field { Type type; Payload prefix; std::string path; std::uint32_t first, last; bool wide = false; };
    const std::vector<Field> fields = {
        {Type::hello, Payload().u16(1).u16(0), "hello.role", 1, 2},
        {Type::error, Payload(), "error.code", 1, 9, true},
        {Type::stopStream, Payload().u32(1), "stopStream.reason", 0, 4},
        {Type::recoveryRequest, Payload().u32(1).u32(1).u32(1), "recoveryRequest.reason", 1, 4},
        {Type::captureState, Payload().u32(1).u32(1), "captureState.state", 0, 4},
        {Type::bye, Payload(), "bye.reason", 0, 4},
        {Type::enrollResult, Payload().fill(16, 0), "enrollResult.outcome", 0, 5},
        {Type::inputControlState, Payload().u32(1), "inputControlState.state", 0, 4},
        {Type::inputButton, Payload().u32(1).u32(1), "input.button", 1, 5},
        {Type::inputScroll, Payload().u32(1).u32(1).u16(0).u16(0), "input.scrollUnit", 0, 1},
        {Type::clipboardResult, Payload().u32(1), "clipboard.outcome", 0, 5},
    };
    for (const Field& field : fields) {
        for (std::uint32_t raw = 0; raw < (field.wide ? 0x10000u : 0x100u); raw += field.wide ? 97 : 1) {
            Payload payload = field.prefix;
            if (field.wide) payload.u16(static_cast<std::uint16_t>(raw));
            else payload.u8(static_cast<std::uint8_t>(raw));
            auto decoded = decode(field.type, payload.bytes());
            if (raw >= field.first && raw <= field.last) {
                // A known value reads on: the message is complete, or fields are missing here.
                EXPECT_TRUE(decoded.has_value() || decoded.error() == WireError::truncated()) << field.path << " " << raw;
            } else {
                ASSERT_FALSE(decoded.has_value());
                EXPECT_EQ(decoded.error(), WireError::unknownValue(field.path, raw)) << field.path << " " << raw;
            }
        }
    }
}

TEST(ControlMessageDecoding, UnknownTypesAreIgnoredOnlyWhenMarkedIgnorable) {
    const Bytes anything = bytesOf({0xDE, 0xAD});
    for (std::uint32_t type = 0; type <= 0xFFFF; ++type) {
        const auto code = static_cast<std::uint16_t>(type);
        if (isKnownControlMessageType(code)) continue;
        auto ignorable = ControlMessage::decode(code, true, viewOf(anything));
        ASSERT_TRUE(ignorable.has_value());
        ASSERT_EQ(*ignorable, ControlMessage(msg::Ignored{code}));
        auto refused = ControlMessage::decode(code, false, ByteView());
        ASSERT_FALSE(refused.has_value());
        ASSERT_EQ(refused.error(), WireError::unsupportedMessage(code));
    }
    EXPECT_FALSE(isKnownControlMessageType(0x0004));
    EXPECT_FALSE(isKnownControlMessageType(0x0704));
    EXPECT_FALSE(isKnownControlMessageType(0x0000));
    EXPECT_TRUE(isKnownControlMessageType(0x003F));
}

TEST(ControlMessageDecoding, KnownTypesWithEmptyPayloadNeedNothingMore) {
    EXPECT_EQ(decode(Type::captureListRequest, {}), ControlMessage(msg::CaptureListRequest{}));
    EXPECT_EQ(decode(Type::inputControlRequest, {}), ControlMessage(msg::InputControlRequest{}));
    EXPECT_EQ(decode(Type::captureListRequest, bytesOf({0})).error(), WireError::trailingBytes());
    EXPECT_EQ(decode(Type::hello, {}).error(), WireError::truncated());
}

} // namespace
} // namespace quillmere

#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/ControlMessageType.h"
#include "QuillmereWire/Tests/RandomControlMessage.h"

#include <gtest/gtest.h>

#include <set>

namespace quillmere {
namespace {

using testing::RandomControlMessage;
using testing::SeededSource;

constexpr int samplesPerCase = 150;

std::uint16_t u16At(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); }
std::uint32_t u32At(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

class EveryCase : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EveryCase, EncodesIntoOneFrameAndDecodesBackEqual) {
    SeededSource source(GetParam() * 7919 + 1);
    RandomControlMessage<SeededSource> random(source);
    for (int i = 0; i < samplesPerCase; ++i) {
        const ControlMessage message = random.make(GetParam());
        auto frame = message.encodeFrame();
        ASSERT_TRUE(frame.has_value()) << message.caseName() << ": " << frame.error().description();
        ASSERT_GE(frame->size(), 8u);
        EXPECT_EQ(u16At(*frame, 0), message.typeCode());
        EXPECT_EQ(u16At(*frame, 2), message.is<HostPower>() ? 1 : 0);
        EXPECT_EQ(u32At(*frame, 4), frame->size() - 8);
        EXPECT_LE(frame->size() - 8, 60008u) << "every encodable payload fits well inside the frame limit";

        const ByteView payload = ByteView(*frame).subspan(8);
        auto decoded = ControlMessage::decode(message.typeCode(), false, payload);
        ASSERT_TRUE(decoded.has_value()) << message.caseName() << ": " << decoded.error().description();
        EXPECT_EQ(*decoded, message) << message.caseName();

        // Known types decode the same whether or not the sender marked them ignorable.
        auto asIgnorable = ControlMessage::decode(message.typeCode(), true, payload);
        ASSERT_TRUE(asIgnorable.has_value());
        EXPECT_EQ(*asIgnorable, message);
    }
}

TEST_P(EveryCase, EveryStrictPrefixIsTruncatedAndAnExtraByteIsTrailing) {
    SeededSource source(GetParam() * 104729 + 3);
    RandomControlMessage<SeededSource> random(source);
    for (int i = 0; i < 20; ++i) {
        const ControlMessage message = random.make(GetParam());
        Bytes payload;
        ByteWriter writer;
        ASSERT_TRUE(message.encodePayload(writer).has_value());
        payload = writer.bytes();
        // Large images and clipboard texts: every prefix near both ends is enough.
        for (std::size_t length = 0; length < payload.size(); ++length) {
            if (length > 300 && length + 300 < payload.size()) continue;
            auto decoded = ControlMessage::decode(message.typeCode(), false, ByteView(payload).first(length));
            ASSERT_FALSE(decoded.has_value()) << message.caseName() << " prefix " << length;
            EXPECT_EQ(decoded.error(), WireError::truncated()) << message.caseName() << " prefix " << length;
        }
        payload.push_back(0);
        auto longer = ControlMessage::decode(message.typeCode(), false, viewOf(payload));
        ASSERT_FALSE(longer.has_value());
        EXPECT_EQ(longer.error(), WireError::trailingBytes()) << message.caseName();
    }
}

std::vector<std::size_t> encodableCases() {
    std::vector<std::size_t> cases;
    for (std::size_t i = 0; i < RandomControlMessage<SeededSource>::caseCount; ++i)
        if (i != RandomControlMessage<SeededSource>::ignoredIndex) cases.push_back(i);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(ControlMessageRoundTrip, EveryCase, ::testing::ValuesIn(encodableCases()),
                         [](const auto& info) {
                             SeededSource source(1);
                             RandomControlMessage<SeededSource> random(source);
                             return std::string(random.make(info.param).caseName());
                         });

TEST(ControlMessageRoundTrip, EveryInputEventHasItsOwnType) {
    SeededSource source(5);
    RandomControlMessage<SeededSource> random(source);
    std::set<std::uint16_t> seen;
    for (int i = 0; i < 400; ++i) {
        msg::Input message{1, 2, random.inputEvent()};
        const std::uint16_t type = ControlMessage(message).typeCode();
        EXPECT_EQ(type, 0x0102 + message.event.index());
        seen.insert(type);
        auto frame = ControlMessage(message).encodeFrame();
        ASSERT_TRUE(frame.has_value());
        auto decoded = ControlMessage::decode(type, false, ByteView(*frame).subspan(8));
        ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
        EXPECT_EQ(*decoded, ControlMessage(message));
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST(ControlMessageRoundTrip, AStreamOfEveryCaseComesBackInOrder) {
    SeededSource source(11);
    RandomControlMessage<SeededSource> random(source);
    std::vector<ControlMessage> sent;
    Bytes stream;
    for (int i = 0; i < 500; ++i) {
        sent.push_back(random.any());
        auto frame = sent.back().encodeFrame();
        ASSERT_TRUE(frame.has_value());
        stream.insert(stream.end(), frame->begin(), frame->end());
    }
    ControlFrameDecoder decoder;
    auto received = decoder.push(viewOf(stream));
    ASSERT_TRUE(received.has_value()) << received.error().description();
    EXPECT_EQ(*received, sent);
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

} // namespace
} // namespace quillmere

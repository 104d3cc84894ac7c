#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/Tests/ControlWireBytes.h"
#include "QuillmereWire/Tests/RandomControlMessage.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::bytesOf;
using testing::frameOf;
using testing::Payload;

std::vector<ControlMessage> pushAll(ControlFrameDecoder& decoder, const Bytes& bytes) {
    auto messages = decoder.push(viewOf(bytes));
    EXPECT_TRUE(messages.has_value()) << messages.error().description();
    return messages.value_or(std::vector<ControlMessage>{});
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes encoded(const ControlMessage& message) { return message.encodeFrame().value(); }

TEST(ControlFrameDecoder, DecodesAPing) {
    ControlFrameDecoder decoder;
    EXPECT_EQ(pushAll(decoder, bytesOf({0, 0x31, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 7})),
              (std::vector<ControlMessage>{msg::Ping{7}}));
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

TEST(ControlFrameDecoder, AFrameByteByByteYieldsOnlyAtItsLastByte) {
    const Bytes frame = encoded(Hello{1, 0, PeerRole::client, {}, {}, "phone"});
    ControlFrameDecoder decoder;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_TRUE(pushAll(decoder, Bytes{frame[i]}).empty());
        EXPECT_EQ(decoder.bufferedCount(), i + 1);
    }
    EXPECT_EQ(pushAll(decoder, Bytes{frame.back()}).size(), 1u);
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

TEST(ControlFrameDecoder, HalfAFrameWaitsForItsRest) {
    const Bytes third = encoded(msg::ClipboardPush{1, "some clipboard text"});
    const std::size_t half = third.size() / 2;
    ControlFrameDecoder decoder;
    const Bytes first = concat({encoded(msg::Ping{1}), encoded(msg::Bye{ByeReason::idle}),
                                Bytes(third.begin(), third.begin() + static_cast<std::ptrdiff_t>(half))});
    EXPECT_EQ(pushAll(decoder, first), (std::vector<ControlMessage>{msg::Ping{1}, msg::Bye{ByeReason::idle}}));
    EXPECT_EQ(decoder.bufferedCount(), half);
    EXPECT_EQ(pushAll(decoder, Bytes(third.begin() + static_cast<std::ptrdiff_t>(half), third.end())),
              (std::vector<ControlMessage>{msg::ClipboardPush{1, "some clipboard text"}}));
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

TEST(ControlFrameDecoder, EmptyPayloads) {
    ControlFrameDecoder decoder;
    EXPECT_EQ(pushAll(decoder, frameOf(0x20, 0, {})), (std::vector<ControlMessage>{msg::CaptureListRequest{}}));
    EXPECT_TRUE(pushAll(decoder, {}).empty());
    ControlFrameDecoder hello;
    EXPECT_EQ(hello.push(viewOf(frameOf(0x01, 0, {}))).error(), WireError::truncated());
}

TEST(ControlFrameDecoder, LengthLimitIsCheckedAsSoonAsTheHeaderIsHere) {
    ControlFrameDecoder atLimit;
    EXPECT_TRUE(pushAll(atLimit, bytesOf({0x07, 0x01, 0, 0, 0, 1, 0, 0})).empty());
    EXPECT_EQ(atLimit.bufferedCount(), 8u);

    ControlFrameDecoder above;
    EXPECT_TRUE(pushAll(above, bytesOf({0x07, 0x01, 0, 0, 0, 1})).empty());
    auto result = above.push(viewOf(bytesOf({0, 1})));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), WireError::frameTooLarge(65537));
    EXPECT_EQ(above.bufferedCount(), 0u);

    ControlFrameDecoder huge;
    EXPECT_EQ(huge.push(viewOf(bytesOf({0, 0x31, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}))).error(),
              WireError::frameTooLarge(0xFFFFFFFF));
}

TEST(ControlFrameDecoder, FlagsDecideOverUnknownTypes) {
    const Bytes payload = bytesOf({1, 2, 3});
    ControlFrameDecoder ignoring;
    EXPECT_EQ(pushAll(ignoring, concat({frameOf(0x0999, 1, payload), encoded(msg::Ping{2})})),
              (std::vector<ControlMessage>{msg::Ignored{0x0999}, msg::Ping{2}}));

    ControlFrameDecoder strict;
    EXPECT_EQ(strict.push(viewOf(frameOf(0x0999, 0, payload))).error(), WireError::unsupportedMessage(0x0999));

    for (std::uint16_t flags : {2, 3, 0x8000, 0xFFFF}) {
        for (std::uint16_t type : {0x0031, 0x0999}) {
            ControlFrameDecoder reserved;
            // Only the header is here: the flags alone condemn the frame.
            EXPECT_EQ(reserved.push(ByteView(frameOf(type, flags, Bytes(8, 0))).first(8)).error(),
                      WireError::reservedBitsSet());
        }
    }
    // The flags are checked before the length.
    ControlFrameDecoder both;
    EXPECT_EQ(both.push(viewOf(bytesOf({0, 0x31, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF}))).error(), WireError::reservedBitsSet());
}

TEST(ControlFrameDecoder, TheFirstFailureIsFinal) {
    ControlFrameDecoder decoder;
    const Bytes good = encoded(msg::Ping{1});
    EXPECT_EQ(pushAll(decoder, good).size(), 1u);
    // Messages completed earlier in the failing call are dropped with it.
    auto failed = decoder.push(viewOf(concat({good, frameOf(0x003F, 0, bytesOf({9})), good})));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), WireError::unknownValue("bye.reason", 9));
    EXPECT_EQ(decoder.bufferedCount(), 0u);
    for (int i = 0; i < 3; ++i) {
        auto again = decoder.push(viewOf(good));
        ASSERT_FALSE(again.has_value());
        EXPECT_EQ(again.error(), WireError::unknownValue("bye.reason", 9));
        EXPECT_EQ(decoder.bufferedCount(), 0u);
    }
    EXPECT_EQ(decoder.failure(), WireError::unknownValue("bye.reason", 9));
}

TEST(ControlFrameDecoder, AFailingFrameHeldBackFailsWhenComplete) {
    ControlFrameDecoder decoder;
    const Bytes bad = frameOf(0x0022, 0, bytesOf({0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(pushAll(decoder, Bytes(bad.begin(), bad.begin() + 10)).empty());
    EXPECT_EQ(decoder.push(ByteView(bad).subspan(10)).error(), WireError::outOfRange("captureSelect.surfaceID"));
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

TEST(ControlFrameDecoder, SevenBytesNeverFail) {
    ControlFrameDecoder decoder;
    EXPECT_TRUE(pushAll(decoder, Bytes(7, 0xFF)).empty());
    EXPECT_EQ(decoder.bufferedCount(), 7u);
    EXPECT_EQ(decoder.push(viewOf(Bytes{0xFF})).error(), WireError::reservedBitsSet());
}

// The same messages must come out however the network cuts the stream.
class SplitInvariance : public ::testing::Test {
protected:
    void SetUp() override {
        sent = {msg::Ping{1}, msg::CaptureListRequest{}, HostPower{55, true}, msg::Input{1, 2, input::Text{"hi"}},
                msg::CaptureSelect{1, 42}, msg::Bye{ByeReason::normal}};
        for (const ControlMessage& m : sent) {
            const Bytes frame = encoded(m);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        stream = concat({stream, frameOf(0x0777, 1, bytesOf({1, 2}))});
        sent.push_back(msg::Ignored{0x0777});
    }

    std::vector<ControlMessage> decodeCut(const std::vector<std::size_t>& cuts) {
        ControlFrameDecoder decoder;
        std::vector<ControlMessage> received;
        std::size_t from = 0;
        for (std::size_t i = 0; i <= cuts.size(); ++i) {
            const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
            auto part = decoder.push(ByteView(stream).subspan(from, to - from));
            EXPECT_TRUE(part.has_value());
            if (!part) return {};
            received.insert(received.end(), part->begin(), part->end());
            from = to;
        }
        EXPECT_EQ(decoder.bufferedCount(), 0u);
        return received;
    }

    std::vector<ControlMessage> sent;
    Bytes stream;
};

TEST_F(SplitInvariance, EveryOneAndTwoCutSplit) {
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        ASSERT_EQ(decodeCut({a}), sent) << "cut at " << a;
        for (std::size_t b = a; b <= stream.size(); ++b) ASSERT_EQ(decodeCut({a, b}), sent) << a << ", " << b;
    }
}

TEST_F(SplitInvariance, RandomSplitsIntoManyPieces) {
    testing::SeededSource source(99);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0;;) {
            at += source.next(0, 12);
            if (at >= stream.size()) break;
            cuts.push_back(at);
        }
        ASSERT_EQ(decodeCut(cuts), sent) << "round " << round;
    }
}

TEST(ControlFrameDecoder, ALargestFrameByteByByte) {
    // 65536 bytes of payload in single-byte pieces: each push must cost the
    // same little, whatever has been held back already.
    const Bytes frame = frameOf(0x0999, 1, Bytes(WireProtocol::maxControlPayload, 0x5A));
    const Bytes stream = concat({frame, encoded(msg::Ping{3})});
    ControlFrameDecoder decoder;
    std::vector<ControlMessage> received;
    for (std::uint8_t byte : stream) {
        auto part = decoder.push(ByteView(&byte, 1));
        ASSERT_TRUE(part.has_value());
        received.insert(received.end(), part->begin(), part->end());
    }
    EXPECT_EQ(received, (std::vector<ControlMessage>{msg::Ignored{0x0999}, msg::Ping{3}}));
    EXPECT_EQ(decoder.bufferedCount(), 0u);
}

TEST(ControlFrameDecoder, LargeCursorImagesInNetworkSizedReads) {
    testing::SeededSource source(7);
    testing::RandomControlMessage<testing::SeededSource> random(source);
    std::vector<ControlMessage> sent;
    Bytes stream;
    for (int i = 0; i < 6; ++i) {
        sent.push_back(CursorShape{1, 1, 32, random.blob(50000, 60000)});
        const Bytes frame = encoded(sent.back());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    ControlFrameDecoder decoder;
    std::vector<ControlMessage> received;
    for (std::size_t at = 0; at < stream.size(); at += 1350) {
        auto part = decoder.push(ByteView(stream).subspan(at, std::min<std::size_t>(1350, stream.size() - at)));
        ASSERT_TRUE(part.has_value());
        EXPECT_LE(decoder.bufferedCount(), 8u + 60008u);
        received.insert(received.end(), part->begin(), part->end());
    }
    EXPECT_EQ(received, sent);
}

} // namespace
} // namespace quillmere

#include "Platform/Quic/StreamSendBuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere {
namespace {

std::string textOf(const std::vector<ByteView>& pieces) {
    std::string out;
    for (const auto piece : pieces) out.append(piece.begin(), piece.end());
    return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(StreamSendBufferTest, HandsOutUnsentBytesAcrossChunksFromWhereSendingStopped) {
    StreamSendBuffer buffer;
    // Waited on, so a chunk of its own.
    buffer.append(bytesOf("hello "), false, [] {});
    buffer.append(bytesOf("world"), false);
    EXPECT_EQ(textOf(buffer.unsent(8)), "hello world");
    buffer.markSent(3, false);
    EXPECT_EQ(textOf(buffer.unsent(8)), "lo world");
    EXPECT_EQ(textOf(buffer.unsent(1)), "lo ");
    buffer.markSent(8, false);
    EXPECT_FALSE(buffer.hasUnsent());
    EXPECT_TRUE(buffer.unsent(8).empty());
}

TEST(StreamSendBufferTest, ReportsEachChunkOnceItsLastByteWentOutInOrder) {
    StreamSendBuffer buffer;
    std::vector<int> sent;
    buffer.append(bytesOf("abc"), false, [&] { sent.push_back(1); });
    buffer.append(bytesOf("de"), false, [&] { sent.push_back(2); });
    for (auto& callback : buffer.markSent(2, false)) callback();
    EXPECT_TRUE(sent.empty());
    for (auto& callback : buffer.markSent(2, false)) callback();
    EXPECT_EQ(sent, std::vector<int>{1});
    for (auto& callback : buffer.markSent(1, false)) callback();
    EXPECT_EQ(sent, (std::vector<int>{1, 2}));
}

TEST(StreamSendBufferTest, TheEndOfStreamIsSentOnceAllBytesAreAndNothingFollowsIt) {
    StreamSendBuffer buffer;
    bool finished = false;
    buffer.append(bytesOf("xy"), false);
    buffer.append({}, true, [&] { finished = true; });
    EXPECT_FALSE(buffer.append(bytesOf("late"), false));
    EXPECT_FALSE(buffer.finFollows(1));
    EXPECT_TRUE(buffer.finFollows(2));
    for (auto& callback : buffer.markSent(2, false)) callback();
    EXPECT_FALSE(finished);
    EXPECT_TRUE(buffer.hasUnsent());
    for (auto& callback : buffer.markSent(0, true)) callback();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(buffer.finSent());
    EXPECT_FALSE(buffer.hasUnsent());
}

TEST(StreamSendBufferTest, KeepsBytesUntilAcknowledgedEvenWhenSent) {
    StreamSendBuffer buffer;
    buffer.append(Bytes(100, 1), false);
    buffer.append(Bytes(50, 2), false);
    buffer.markSent(150, false);
    EXPECT_EQ(buffer.heldBytes(), 150u);
    buffer.acknowledge(0, 120);
    // The first chunk is released whole; the second waits for its last byte.
    EXPECT_EQ(buffer.heldBytes(), 30u);
    buffer.acknowledge(120, 30);
    EXPECT_EQ(buffer.heldBytes(), 0u);
}

TEST(StreamSendBufferTest, AcknowledgementsNeverReleaseBytesNotYetSent) {
    StreamSendBuffer buffer;
    buffer.append(Bytes(10, 1), false);
    buffer.acknowledge(0, 10);
    EXPECT_TRUE(buffer.hasUnsent());
    EXPECT_EQ(textOf(buffer.unsent(4)).size(), 10u);
}

// A peer that reads slowly leaves thousands of short messages queued.
TEST(StreamSendBufferTest, ShortWritesJoinTheLastChunkUntilAByteOfItWentOut) {
    StreamSendBuffer buffer;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const std::string message = "message " + std::to_string(i) + ";";
        buffer.append(bytesOf(message), false);
        expected += message;
    }
    const auto pieces = buffer.unsent(100);
    EXPECT_EQ(pieces.size(), (expected.size() + StreamSendBuffer::maxJoinedBytes - 1) / StreamSendBuffer::maxJoinedBytes);
    EXPECT_EQ(textOf(pieces), expected);

    // Bytes the library was given stay where they are until acknowledged.
    buffer.markSent(expected.size() - 1, false);
    const ByteView given = buffer.unsent(1).front();
    buffer.append(bytesOf("late"), false);
    EXPECT_EQ(buffer.unsent(100).size(), 2u);
    EXPECT_EQ(buffer.unsent(1).front().data(), given.data());
    buffer.append(bytesOf("waited on"), false, [] {});
    buffer.append(bytesOf("after"), false);
    EXPECT_EQ(textOf(buffer.unsent(100)), ";latewaited onafter");
    EXPECT_EQ(buffer.unsent(100).size(), 4u);
}

} // namespace
} // namespace quillmere

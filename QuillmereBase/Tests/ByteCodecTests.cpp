#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/ByteWriter.h"
#include "QuillmereBase/FixedBytes.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereBase/FixedBytes.h"
#include "QuillmereBase/UTF8.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(ByteWriter, WritesIntegersBigEndian) {
    ByteWriter writer(15);
    writer.writeU32(0x01020304);
    writer.writeU64(1);
    writer.writeU16(0xABCD);
    writer.writeBool(true);
    EXPECT_EQ(writer.bytes(), bytesOf({1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 1, 0xAB, 0xCD, 1}));
}

TEST(ByteReader, ReadsBackEveryWidth) {
    ByteWriter writer;
    writer.writeU8(0xFE);
    writer.writeU16(0xABCD);
    writer.writeU32(0xDEADBEEF);
    writer.writeU64(0x0102030405060708ULL);
    writer.writeShortString("");
    writer.writeShortString("grüß");
    ByteReader reader(viewOf(writer.bytes()));
    EXPECT_EQ(reader.readU8().value(), 0xFE);
    EXPECT_EQ(reader.readU16().value(), 0xABCD);
    EXPECT_EQ(reader.readU32().value(), 0xDEADBEEFu);
    EXPECT_EQ(reader.readU64().value(), 0x0102030405060708ULL);
    EXPECT_EQ(reader.readShortString(10, "x.y").value(), "");
    EXPECT_EQ(reader.readShortString(6, "x.y").value(), "grüß");
    EXPECT_TRUE(reader.expectEnd().has_value());
}

TEST(ByteReader, BooleansAreStrictAndConsumeTheBadByte) {
    Bytes input = bytesOf({1, 0, 2, 1});
    ByteReader reader(viewOf(input));
    EXPECT_EQ(reader.readBool().value(), true);
    EXPECT_EQ(reader.readBool().value(), false);
    EXPECT_EQ(reader.readBool().error(), ByteError::invalidBoolean());
    EXPECT_EQ(reader.index(), 3u);
    EXPECT_EQ(reader.readBool().value(), true);
    EXPECT_EQ(reader.readBool().error(), ByteError::truncated());
}

TEST(ByteReader, ShortReadsConsumeNothing) {
    Bytes input = bytesOf({1, 2, 3});
    ByteReader reader(viewOf(input));
    EXPECT_EQ(reader.readU32().error(), ByteError::truncated());
    EXPECT_EQ(reader.index(), 0u);
    EXPECT_EQ(reader.readU64().error(), ByteError::truncated());
    EXPECT_EQ(reader.take(-1).error(), ByteError::truncated());
    EXPECT_EQ(reader.take(4).error(), ByteError::truncated());
    EXPECT_EQ(reader.remaining(), 3);
    EXPECT_EQ(reader.readU16().value(), 0x0102);
    EXPECT_EQ(reader.expectEnd().error(), ByteError::trailingBytes());
    EXPECT_EQ(reader.readU8().value(), 3);
    EXPECT_TRUE(reader.expectEnd().has_value());
}

TEST(ByteReader, ViewsShareTheInputAndCopiesDoNot) {
    Bytes input = bytesOf({9, 8, 7, 6});
    ByteReader reader(viewOf(input));
    ByteView slice = reader.readSlice(2).value();
    EXPECT_EQ(slice.data(), input.data());
    Bytes copy = reader.readBytes(2).value();
    EXPECT_EQ(copy, bytesOf({7, 6}));
    EXPECT_NE(copy.data(), input.data() + 2);
}

TEST(ByteReader, SliceReaderKeepsArrayPositions) {
    Bytes input(20, 0x55);
    ByteReader reader(ByteView(input).subspan(10, 6), 10);
    EXPECT_EQ(reader.index(), 10u);
    EXPECT_EQ(reader.remaining(), 6);
    ASSERT_TRUE(reader.readU32());
    EXPECT_EQ(reader.index(), 14u);
}

TEST(ByteReader, ShortStringLimitIsCheckedBeforeTheText) {
    ByteWriter writer;
    writer.writeShortString("abcd");
    ByteReader exact(viewOf(writer.bytes()));
    EXPECT_EQ(exact.readShortString(4, "hello.name").value(), "abcd");
    ByteReader over(viewOf(writer.bytes()));
    EXPECT_EQ(over.readShortString(3, "hello.name").error(), ByteError::outOfRange("hello.name"));
    EXPECT_EQ(over.index(), 1u);

    Bytes cut = bytesOf({5, 'a', 'b'});
    ByteReader truncatedReader(viewOf(cut));
    EXPECT_EQ(truncatedReader.readShortString(10, "f").error(), ByteError::truncated());
}

TEST(ByteReader, ShortStringRejectsBrokenUTF8) {
    Bytes input = bytesOf({2, 0xC0, 0x80});
    ByteReader reader(viewOf(input));
    EXPECT_EQ(reader.readShortString(10, "f").error(), ByteError::invalidString());
}

TEST(UTF8, StrictUTF8) {
    const std::vector<Bytes> invalid{
        bytesOf({0xC0, 0x80}),             // overlong NUL
        bytesOf({0xC1, 0xBF}),             // overlong
        bytesOf({0xE0, 0x80, 0x80}),       // overlong three-byte
        bytesOf({0xED, 0xA0, 0x80}),       // surrogate
        bytesOf({0xF4, 0x90, 0x80, 0x80}), // above U+10FFFF
        bytesOf({0xF0, 0x80, 0x80, 0x80}), // overlong four-byte
        bytesOf({0xF5, 0x80, 0x80, 0x80}),
        bytesOf({0xE2, 0x82}),             // cut off
        bytesOf({0x80}),                   // lone continuation
        bytesOf({'a', 0xFF, 'b'}),
    };
    for (const Bytes& bytes : invalid) EXPECT_FALSE(decodeUTF8(viewOf(bytes))) << hexString(viewOf(bytes));

    EXPECT_EQ(decodeUTF8(viewOf(bytesOf({0xE2, 0x82, 0xAC}))).value(), "\u20AC");
    EXPECT_EQ(decodeUTF8(viewOf(bytesOf({'a', 0, 'b'}))).value(), std::string("a\0b", 3));
    EXPECT_EQ(decodeUTF8(viewOf(bytesOf({0xF4, 0x8F, 0xBF, 0xBF}))).value().size(), 4u);
    EXPECT_EQ(decodeUTF8(viewOf(bytesOf({0xED, 0x9F, 0xBF}))).value().size(), 3u);
}

TEST(UTF8, TruncatedUTF8CutsBetweenScalars) {
    const std::string text = "a\u00E9\u20AC\U0001F600"; // 1 + 2 + 3 + 4 bytes
    EXPECT_EQ(truncatedUTF8(text, 9), "a\u00E9\u20AC");
    EXPECT_EQ(truncatedUTF8(text, 6), "a\u00E9\u20AC");
    EXPECT_EQ(truncatedUTF8(text, 5), "a\u00E9");
    EXPECT_EQ(truncatedUTF8(text, 0), "");
    EXPECT_EQ(truncatedUTF8(text, 10), text);
    EXPECT_EQ(truncatedUTF8("", 5), "");
    // Broken input never yields broken output.
    EXPECT_EQ(truncatedUTF8("ab\xFF" "cd", 10), "ab");
}

TEST(UTF8, ControlCharacters) {
    EXPECT_FALSE(containsControlCharacter("letters\tand\nlines \u00E9"));
    EXPECT_FALSE(containsControlCharacter(""));
    EXPECT_TRUE(containsControlCharacter("a\rb"));
    EXPECT_TRUE(containsControlCharacter(std::string("a\0b", 3)));
    EXPECT_TRUE(containsControlCharacter("del\x7F"));
}

TEST(ByteError, EqualityAndText) {
    EXPECT_EQ(ByteError::outOfRange("hello.name"), ByteError::outOfRange("hello.name"));
    EXPECT_NE(ByteError::outOfRange("hello.name"), ByteError::outOfRange("hello.role"));
    EXPECT_NE(ByteError::truncated(), ByteError::trailingBytes());
    EXPECT_EQ(ByteError::outOfRange("invitation.address").description(), "outOfRange(\"invitation.address\")");
    EXPECT_EQ(ByteError::invalidBoolean().description(), "invalidBoolean");
}

} // namespace
} // namespace quillmere

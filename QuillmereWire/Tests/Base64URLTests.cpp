#include "QuillmereWire/Base64URL.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::bytesOf;

TEST(Base64URL, EncodesWithoutPadding) {
    EXPECT_EQ(Base64URL::encode({}), "");
    EXPECT_EQ(Base64URL::encode(viewOf(bytesOf({0x00}))), "AA");
    EXPECT_EQ(Base64URL::encode(viewOf(bytesOf({0xFB, 0xFF}))), "-_8");
    EXPECT_EQ(Base64URL::encode(viewOf(bytesOf({0xFF, 0xFF, 0xFF}))), "____");
    // RFC 4648 test vectors, padding removed.
    const std::string foobar = "foobar";
    const Bytes raw(foobar.begin(), foobar.end());
    const char* expected[] = {"", "Zg", "Zm8", "Zm9v", "Zm9vYg", "Zm9vYmE", "Zm9vYmFy"};
    for (std::size_t n = 0; n <= raw.size(); ++n) {
        EXPECT_EQ(Base64URL::encode(ByteView(raw.data(), n)), expected[n]) << n;
    }
}

TEST(Base64URL, DecodesEveryLengthBack) {
    Bytes raw;
    for (int n = 0; n < 300; ++n) {
        const std::string text = Base64URL::encode(viewOf(raw));
        EXPECT_EQ(text.size(), (raw.size() * 4 + 2) / 3);
        EXPECT_EQ(Base64URL::decode(text), raw) << n;
        raw.push_back(static_cast<std::uint8_t>(n * 37 + 11));
    }
    EXPECT_EQ(Base64URL::decode("-_8"), bytesOf({0xFB, 0xFF}));
    EXPECT_EQ(Base64URL::decode(""), Bytes());
}

TEST(Base64URL, DropsTheUnusedBitsOfAShortGroup) {
    EXPECT_EQ(Base64URL::decode("AB"), bytesOf({0x00}));
    EXPECT_EQ(Base64URL::decode("AA"), bytesOf({0x00}));
    EXPECT_EQ(Base64URL::decode("AAB"), bytesOf({0x00, 0x00}));
}

TEST(Base64URL, RefusesWhatIsNotInTheAlphabet) {
    for (const char* text : {"AA==", "AAA=", "Zg==", "Zm9v=", "Zm+v", "Zm/v", "Zm9 v", " Zm9v", "Zm9v\n", "Zm\t9",
                             "Zm9v\r\nZm9v", "Z\xC3\xA9v", "Zm9\xFF"}) {
        EXPECT_EQ(Base64URL::decode(text), std::nullopt) << text;
    }
    EXPECT_EQ(Base64URL::decode(std::string_view("Zm\0v", 4)), std::nullopt);
    EXPECT_EQ(Base64URL::decode(std::string_view("Zm9v\0", 5)), std::nullopt);
}

TEST(Base64URL, RefusesImpossibleLengths) {
    EXPECT_EQ(Base64URL::decode("A"), std::nullopt);
    EXPECT_EQ(Base64URL::decode("AAAAA"), std::nullopt);
    EXPECT_EQ(Base64URL::decode("Zm9vYmFyZ"), std::nullopt);
    EXPECT_TRUE(Base64URL::decode("AAAAAA").has_value());
}

} // namespace
} // namespace quillmere

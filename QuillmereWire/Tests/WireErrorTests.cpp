#include "QuillmereWire/WireError.h"
#include "QuillmereWire/WireText.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(WireText, RequireChecks) {
    EXPECT_TRUE(requireUTF8Length("abcd", 4, "f"));
    EXPECT_EQ(requireUTF8Length("abcde", 4, "f").error(), WireError::outOfRange("f"));
    EXPECT_TRUE(require(true, "g"));
    EXPECT_EQ(require(false, "g").error(), WireError::outOfRange("g"));
}

TEST(WireError, EqualityAndText) {
    EXPECT_EQ(WireError::outOfRange("media.kind"), WireError::outOfRange("media.kind"));
    EXPECT_NE(WireError::outOfRange("media.kind"), WireError::unknownValue("media.kind", 0));
    EXPECT_NE(WireError::unknownValue("media.kind", 1), WireError::unknownValue("media.kind", 2));
    EXPECT_EQ(WireError::outOfRange("invitation.address").description(), "outOfRange(\"invitation.address\")");
    EXPECT_EQ(WireError::unknownValue("media.kind", 7).description(), "unknownValue(\"media.kind\", 7)");
    EXPECT_EQ(WireError::frameTooLarge(70000).description(), "frameTooLarge(70000)");
    EXPECT_EQ(WireError::truncated().description(), "truncated");
}

TEST(WireError, EveryReaderFailureIsTheCodecErrorOfTheSameName) {
    const std::pair<ByteError, WireError> cases[] = {
        {ByteError::outOfRange("hello.name"), WireError::outOfRange("hello.name")},
        {ByteError::truncated(), WireError::truncated()},
        {ByteError::trailingBytes(), WireError::trailingBytes()},
        {ByteError::invalidString(), WireError::invalidString()},
        {ByteError::invalidBoolean(), WireError::invalidBoolean()},
    };
    for (const auto& [byte, wire] : cases) {
        EXPECT_EQ(WireError(byte), wire) << byte.description();
        EXPECT_EQ(WireError(byte).description(), byte.description());
    }
}

} // namespace
} // namespace quillmere

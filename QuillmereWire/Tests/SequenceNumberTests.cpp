#include "QuillmereWire/SequenceNumber.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(SequenceNumber, OrdersAcrossTheWrap) {
    EXPECT_TRUE(isNewer(0, 0xFFFFFFFFu));
    EXPECT_FALSE(isNewer(0xFFFFFFFFu, 0));
    EXPECT_TRUE(isNewer(5, 0xFFFFFFFFu));
    EXPECT_TRUE(isNewer(2, 1));
    EXPECT_FALSE(isNewer(1, 2));
}

TEST(SequenceNumber, EqualAndHalfwayAreNeitherNewerNorOlder) {
    EXPECT_FALSE(isNewer(7, 7));
    EXPECT_FALSE(isNewer(0x80000000u, 0));
    EXPECT_FALSE(isNewer(0, 0x80000000u));
    EXPECT_TRUE(isNewer(0x7FFFFFFFu, 0));
    EXPECT_FALSE(isNewer(0, 0x7FFFFFFFu));
}

} // namespace
} // namespace quillmere

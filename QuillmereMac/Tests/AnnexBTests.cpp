#include "QuillmereMac/Encoder/AnnexB.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Failure = AnnexB::Failure;

TEST(AnnexB, LengthPrefixesBecomeStartCodes) {
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 2, 0xAA, 0xBB}, 4), (Bytes{0, 0, 0, 1, 0xAA, 0xBB}));
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}, 4),
              (Bytes{0, 0, 0, 1, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}));
    EXPECT_EQ(AnnexB::convert(Bytes{0, 1, 0x65, 0, 2, 0x41, 0x9A}, 2),
              (Bytes{0, 0, 0, 1, 0x65, 0, 0, 0, 1, 0x41, 0x9A}));
    EXPECT_EQ(AnnexB::convert(Bytes{1, 0x65, 2, 0x41, 0x9A}, 1), (Bytes{0, 0, 0, 1, 0x65, 0, 0, 0, 1, 0x41, 0x9A}));
    EXPECT_EQ(AnnexB::convert(Bytes{}, 4), Bytes{});
}

TEST(AnnexB, RefusesLengthsThatDoNotAddUp) {
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 1, 0x65}, 0), std::unexpected(Failure::unsupportedLengthSize(0)));
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 1, 0x65}, 5), std::unexpected(Failure::unsupportedLengthSize(5)));
    // A zero length, a unit past the end, a cut length field.
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 1, 0x65, 0, 0, 0, 0}, 4), std::unexpected(Failure::badLength(9)));
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 3, 0x65, 0x88}, 4), std::unexpected(Failure::badLength(4)));
    EXPECT_EQ(AnnexB::convert(Bytes{0, 0, 0, 1, 0x65, 0, 0}, 4), std::unexpected(Failure::badLength(5)));
    EXPECT_EQ(AnnexB::convert(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x65}, 4), std::unexpected(Failure::badLength(4)));
}

TEST(AnnexB, SplitsStreamsWithEitherStartCode) {
    const Bytes stream{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 0, 1, 0x65, 0x88, 0, 0, 3, 0, 0, 0};
    const auto units = AnnexB::units(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 0x42}));
    EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 0xCE}));
    EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0x88, 0, 0, 3}));
    EXPECT_TRUE(AnnexB::units(Bytes{0x65, 0x88, 0, 0}).empty());
    EXPECT_TRUE(AnnexB::units(Bytes{0, 0, 1}).empty());
}

} // namespace
} // namespace quillmere

#include "QuillmereMacCore/SharingIndicator.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

// U+2014 with one space on each side, spelled as bytes so the test does not
// depend on how this file is saved.
const std::string dash = " \xE2\x80\x94 ";

TEST(SharingIndicator, IdleTexts) {
    const auto idle = SharingIndicator::fromActiveSessionCount(0);
    EXPECT_EQ(idle.state(), SharingIndicator::State::idle());
    EXPECT_EQ(idle.symbolName(), "rectangle.on.rectangle");
    EXPECT_FALSE(idle.isLive());
    EXPECT_EQ(idle.toolTip(), "Quillmere" + dash + "Share this computer\u2019s windows with your iPhone");
    EXPECT_EQ(idle.accessibilityDescription(), "Quillmere, not sharing");
    EXPECT_EQ(idle.menuStatusTitle(), std::nullopt);
    EXPECT_EQ(SharingIndicator::fromActiveSessionCount(-3), idle);
    EXPECT_EQ(SharingIndicator::fromActiveSessionCount(-1), idle);
}

TEST(SharingIndicator, OneSession) {
    const auto one = SharingIndicator::fromActiveSessionCount(1);
    EXPECT_EQ(one.symbolName(), SharingIndicator::sharingSymbolName);
    EXPECT_EQ(one.symbolName(), "record.circle.fill");
    EXPECT_TRUE(one.isLive());
    EXPECT_EQ(one.toolTip(), "Quillmere" + dash + "Sharing with 1 iPhone");
    EXPECT_EQ(one.accessibilityDescription(), "Quillmere, sharing your screen with 1 iPhone");
    EXPECT_EQ(one.menuStatusTitle(), "Sharing now with 1 iPhone");
}

TEST(SharingIndicator, SeveralSessions) {
    const auto two = SharingIndicator::fromActiveSessionCount(2);
    EXPECT_EQ(two.toolTip(), "Quillmere" + dash + "Sharing with 2 iPhones");
    EXPECT_EQ(two.accessibilityDescription(), "Quillmere, sharing your screen with 2 iPhones");
    EXPECT_EQ(two.menuStatusTitle(), "Sharing now with 2 iPhones");
    EXPECT_NE(two, SharingIndicator::fromActiveSessionCount(3));
}

TEST(SharingIndicator, SharingStateBuiltDirectlyKeepsItsCount) {
    const SharingIndicator zero(SharingIndicator::State::sharing(0));
    EXPECT_TRUE(zero.isLive());
    EXPECT_EQ(zero.menuStatusTitle(), "Sharing now with 0 iPhones");
    EXPECT_NE(zero, SharingIndicator::fromActiveSessionCount(0));
    EXPECT_EQ(SharingIndicator::State::fromActiveSessionCount(4), SharingIndicator::State::sharing(4));
}

} // namespace
} // namespace quillmere

#include "TestSupport/TestValues.h"
#include "QuillmereWire/ReconnectPolicy.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

using Decision = ReconnectPolicy::Decision;

using testing::second;

std::vector<std::uint32_t> delays(ReconnectPolicy& policy, int drops) {
    std::vector<std::uint32_t> out;
    for (int i = 0; i < drops; ++i) {
        const Decision decision = policy.next(true, 0);
        out.push_back(decision.asRetry() ? decision.asRetry()->delayMs : 0);
    }
    return out;
}

TEST(ReconnectPolicy, ZeroSettingsBecomeOneMillisecondOneAttempt) {
    ReconnectPolicy policy(0, 0, 0, 0);
    EXPECT_EQ(policy.initialDelayMs(), 1u);
    EXPECT_EQ(policy.maxDelayMs(), 1u);
    EXPECT_EQ(policy.maxAttempts(), 1);
    EXPECT_EQ(policy.next(true, 0), Decision::retry(1, 1));
    EXPECT_EQ(policy.next(true, 0), Decision::giveUp());
}

TEST(ReconnectPolicy, CeilingBelowTheFirstDelayIsRaisedToIt) {
    ReconnectPolicy policy(500, 100, 3, 0);
    EXPECT_EQ(policy.maxDelayMs(), 500u);
}

TEST(ReconnectPolicy, DoublesUpToTheCeilingThenGivesUp) {
    ReconnectPolicy policy(250, 8'000, 10, 30 * second);
    EXPECT_EQ(delays(policy, 10),
              (std::vector<std::uint32_t>{250, 500, 1'000, 2'000, 4'000, 8'000, 8'000, 8'000, 8'000, 8'000}));
    EXPECT_EQ(policy.attempt(), 10);
    EXPECT_EQ(policy.next(true, 0), Decision::giveUp());
    EXPECT_EQ(policy.attempt(), 10);
}

TEST(ReconnectPolicy, DoublingStopsAfterSixteenSteps) {
    ReconnectPolicy policy(1, 4'000'000'000u, 100, 0);
    const auto sequence = delays(policy, 20);
    EXPECT_EQ(sequence[15], 32'768u);
    EXPECT_EQ(sequence[16], 65'536u);
    EXPECT_EQ(sequence[19], 65'536u);
}

TEST(ReconnectPolicy, LargeFirstDelayDoesNotOverflow) {
    ReconnectPolicy policy(4'000'000'000u, 4'294'967'295u, 5, 0);
    EXPECT_EQ(policy.next(true, 0), Decision::retry(4'000'000'000u, 1));
    EXPECT_EQ(policy.next(true, 0), Decision::retry(4'294'967'295u, 2));
}

TEST(ReconnectPolicy, StableConnectionStartsOver) {
    ReconnectPolicy policy(250, 8'000, 10, 30 * second);
    policy.next(true, 0);
    policy.next(true, 0);
    policy.connected(100 * second);
    EXPECT_EQ(policy.next(true, 130 * second), Decision::retry(250, 1));
    EXPECT_FALSE(policy.connectedAtNs());
}

TEST(ReconnectPolicy, ShortConnectionContinuesTheSequence) {
    ReconnectPolicy policy(250, 8'000, 10, 30 * second);
    policy.next(true, 0);
    policy.next(true, 0);
    policy.connected(100 * second);
    EXPECT_EQ(policy.next(true, 130 * second - 1), Decision::retry(1'000, 3));
}

TEST(ReconnectPolicy, ConnectionStampedAfterTheDropDoesNotReset) {
    ReconnectPolicy policy(250, 8'000, 10, 0);
    policy.next(true, 0);
    policy.connected(200 * second);
    EXPECT_EQ(policy.next(true, 100 * second), Decision::retry(500, 2));
}

TEST(ReconnectPolicy, NonRetryableFailureGivesUpAndEndsTheConnection) {
    ReconnectPolicy policy(250, 8'000, 10, 30 * second);
    policy.next(true, 0);
    policy.connected(10 * second);
    EXPECT_EQ(policy.next(false, 11 * second), Decision::giveUp());
    EXPECT_EQ(policy.attempt(), 1);
    EXPECT_FALSE(policy.connectedAtNs());

    policy.connected(20 * second);
    EXPECT_EQ(policy.next(false, 60 * second), Decision::giveUp());
    EXPECT_EQ(policy.attempt(), 0);
}

TEST(ReconnectPolicy, ResetForgetsAttemptsAndConnection) {
    ReconnectPolicy policy(250, 8'000, 2, 0);
    policy.next(true, 0);
    policy.next(true, 0);
    policy.connected(5);
    policy.reset();
    EXPECT_EQ(policy.attempt(), 0);
    EXPECT_FALSE(policy.connectedAtNs());
    EXPECT_EQ(policy.next(true, 0), Decision::retry(250, 1));
}

} // namespace
} // namespace quillmere

#include "QuillmereMacCore/RecoveryPolicy.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

using Outcome = RecoveryPolicy::Outcome;

constexpr std::uint64_t interval = 250'000'000;
constexpr std::uint64_t t = 50'000'000'000;

TEST(RecoveryPolicy, CoalescesRequestsIntoOneKeyframe) {
    RecoveryPolicy policy(1, interval);
    EXPECT_EQ(policy.request(1), Outcome::scheduled);
    EXPECT_TRUE(policy.isDue(0));
    EXPECT_EQ(policy.remainingWait(0), 0u);
    EXPECT_EQ(policy.request(1), Outcome::coalesced);
    EXPECT_EQ(policy.issue(t), 2u);
    EXPECT_FALSE(policy.pending());
    EXPECT_EQ(policy.lastKeyframeNs(), t);
    EXPECT_EQ(policy.requestsReceived(), 2);
    EXPECT_EQ(policy.requestsCoalesced(), 1);
    EXPECT_EQ(policy.keyframesIssued(), 1);
}

TEST(RecoveryPolicy, IgnoresEpochsOtherThanTheCurrentOne) {
    RecoveryPolicy policy(1, interval);
    policy.request(1);
    policy.issue(t);
    EXPECT_EQ(policy.request(1), Outcome::ignoredStale);
    EXPECT_EQ(policy.request(3), Outcome::ignoredStale);
    EXPECT_EQ(policy.requestsIgnoredStale(), 2);
    EXPECT_FALSE(policy.pending());
}

TEST(RecoveryPolicy, SpacesKeyframes) {
    RecoveryPolicy policy(1, interval);
    policy.request(1);
    policy.issue(t);
    EXPECT_EQ(policy.request(2), Outcome::scheduled);
    EXPECT_FALSE(policy.isDue(t + 100'000'000));
    EXPECT_EQ(policy.remainingWait(t + 100'000'000), 150'000'000u);
    EXPECT_FALSE(policy.isDue(t + interval - 1));
    EXPECT_EQ(policy.remainingWait(t + interval - 1), 1u);
    EXPECT_TRUE(policy.isDue(t + interval));
    EXPECT_EQ(policy.remainingWait(t + interval), 0u);
}

TEST(RecoveryPolicy, NothingPendingMeansNoWaitAndNotDue) {
    RecoveryPolicy policy(1, interval);
    policy.issue(t);
    EXPECT_FALSE(policy.isDue(t + 10 * interval));
    EXPECT_EQ(policy.remainingWait(t + 1), 0u);
}

TEST(RecoveryPolicy, ComparesEpochsAcrossTheWrap) {
    RecoveryPolicy zero(0, interval);
    EXPECT_EQ(zero.request(0xFFFFFFFFu), Outcome::ignoredStale);
    RecoveryPolicy last(0xFFFFFFFFu, interval);
    EXPECT_EQ(last.request(0), Outcome::ignoredStale);
    // Exactly half the range apart is neither older nor newer.
    RecoveryPolicy half(5, interval);
    EXPECT_EQ(half.request(5 + 0x80000000u), Outcome::scheduled);
    EXPECT_EQ(last.issue(t), 0u);
}

TEST(RecoveryPolicy, LocalRequestsSkipEpochAndReceivedCount) {
    RecoveryPolicy policy(9, interval);
    policy.requestLocal();
    EXPECT_TRUE(policy.pending());
    EXPECT_EQ(policy.requestsCoalesced(), 0);
    policy.requestLocal();
    EXPECT_EQ(policy.requestsCoalesced(), 1);
    EXPECT_EQ(policy.request(9), Outcome::coalesced);
    EXPECT_EQ(policy.requestsCoalesced(), 2);
    EXPECT_EQ(policy.requestsReceived(), 1);
}

TEST(RecoveryPolicy, WaitNeverExceedsTheIntervalWhateverTheClock) {
    std::mt19937_64 random(3);
    RecoveryPolicy policy(1, interval);
    policy.issue(t);
    policy.requestLocal();
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t now = i % 2 == 0 ? random() : t + (random() % (4 * interval)) - 2 * interval;
        const std::uint64_t wait = policy.remainingWait(now);
        ASSERT_LE(wait, interval);
        ASSERT_EQ(wait == 0, policy.isDue(now)) << now;
    }
    // An earlier clock reading is not a reason to wait for ages.
    EXPECT_EQ(policy.remainingWait(t - 1), 0u);
}

} // namespace
} // namespace quillmere

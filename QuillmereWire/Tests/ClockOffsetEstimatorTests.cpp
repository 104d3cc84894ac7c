#include "TestSupport/TestValues.h"
#include "QuillmereWire/ClockOffsetEstimator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quillmere {
namespace {

using Sample = ClockOffsetEstimator::Sample;

using testing::second;

TEST(ClockOffsetEstimator, KeepsAtLeastFourSamples) {
    ClockOffsetEstimator clock(1);
    EXPECT_EQ(clock.capacity(), 4);
    for (std::uint64_t i = 1; i <= 6; ++i) clock.add(i * 100, i * 100 + 7, i * 100);
    ASSERT_EQ(clock.samples().size(), 4u);
    EXPECT_EQ(clock.samples().front().clientTimeNs, 300u);
    EXPECT_EQ(clock.samples().back().clientTimeNs, 600u);
}

TEST(ClockOffsetEstimator, SampleIsTakenAtTheMiddleOfTheRoundTrip) {
    ClockOffsetEstimator clock(64);
    EXPECT_TRUE(clock.add(1'000, 5'000'000, 3'001));
    ASSERT_EQ(clock.samples().size(), 1u);
    EXPECT_EQ(clock.samples().front(), (Sample{2'000, 4'998'000, 2'001}));
}

TEST(ClockOffsetEstimator, RefusesRepliesThatCameBackBeforeTheySent) {
    ClockOffsetEstimator clock(64);
    clock.add(10, 20, 30);
    const ClockOffsetEstimator before = clock;
    EXPECT_FALSE(clock.add(500, 600, 499));
    EXPECT_EQ(clock.rejected(), 1);
    EXPECT_EQ(clock.samples(), before.samples());
}

TEST(ClockOffsetEstimator, HostTimesBeyondSignedRangeSaturate) {
    ClockOffsetEstimator clock(64);
    clock.add(0, std::numeric_limits<std::uint64_t>::max(), 0);
    EXPECT_EQ(clock.samples().front().offsetNs, std::numeric_limits<std::int64_t>::max());
}

TEST(ClockOffsetEstimator, PlacesHostTimesOnTheClientClockNeverBelowZero) {
    EXPECT_EQ(ClockOffsetEstimator::clientTimeNs(10'000'000, 12'000'000), 0u);
    EXPECT_EQ(ClockOffsetEstimator::clientTimeNs(10'000'000, -5), 10'000'005u);
    EXPECT_EQ(ClockOffsetEstimator::clientTimeNs(std::uint64_t{1} << 63, -5), 0u);
    EXPECT_EQ(ClockOffsetEstimator::clientTimeNs(std::numeric_limits<std::uint64_t>::max(), 1),
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - 1);
}

TEST(ClockOffsetEstimator, NoSamplesNoEstimate) {
    EXPECT_FALSE(ClockOffsetEstimator(64).estimate());
}

TEST(ClockOffsetEstimator, SingleSampleIsTheEstimate) {
    ClockOffsetEstimator clock(64);
    clock.add(1'000, 5'000'000, 3'001);
    const auto estimate = clock.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_EQ(*estimate, (ClockOffsetEstimator::Estimate{4'998'000, 1'000, 0.0, 1}));
}

TEST(ClockOffsetEstimator, MedianOfTheQuickestQuarterTakesTheUpperMiddle) {
    ClockOffsetEstimator clock(64);
    // Round trips 100..800 ns; the two quickest (100, 200) carry offsets 50 and 30.
    const std::uint64_t rtts[] = {800, 200, 700, 600, 100, 500, 400, 300};
    const std::int64_t offsets[] = {-900, 30, 900, 800, 50, 700, 600, 500};
    std::uint64_t send = second;
    for (int i = 0; i < 8; ++i) {
        const std::uint64_t middle = send + rtts[i] / 2;
        clock.add(send, static_cast<std::uint64_t>(static_cast<std::int64_t>(middle) + offsets[i]), send + rtts[i]);
        send += second;
    }
    const auto estimate = clock.estimate();
    ASSERT_TRUE(estimate);
    EXPECT_EQ(estimate->offsetNs, 50);
    EXPECT_EQ(estimate->uncertaintyNs, 50u);
    EXPECT_EQ(estimate->samples, 8);
}

TEST(ClockOffsetEstimator, EqualRoundTripsKeepTheirArrivalOrder) {
    ClockOffsetEstimator clock(64);
    // Seven samples pick one best; among equal round trips the first to arrive wins.
    for (std::int64_t i = 0; i < 7; ++i) {
        const auto send = static_cast<std::uint64_t>(i) * second;
        clock.add(send, send + 50 + static_cast<std::uint64_t>(1'000 * (i + 1)), send + 100);
    }
    EXPECT_EQ(clock.estimate()->offsetNs, 1'000);
}

TEST(ClockOffsetEstimator, DriftIsTheSlopeInPartsPerMillion) {
    ClockOffsetEstimator clock(64);
    for (std::uint64_t i = 0; i < 5; ++i) {
        const std::uint64_t middle = 7 * second + i * second;
        clock.add(middle - 10, middle + 3'000'000 + i * 1'000, middle + 10);
    }
    EXPECT_NEAR(clock.estimate()->driftPPM, 1.0, 1e-9);

    ClockOffsetEstimator twoSamples(64);
    twoSamples.add(0, 0, 0);
    twoSamples.add(second, second + 1'000'000, second);
    EXPECT_EQ(twoSamples.estimate()->driftPPM, 0.0);

    ClockOffsetEstimator sameTime(64);
    for (std::uint64_t i = 0; i < 4; ++i) sameTime.add(second, second + i * 1'000, second);
    EXPECT_EQ(sameTime.estimate()->driftPPM, 0.0);
}

} // namespace
} // namespace quillmere

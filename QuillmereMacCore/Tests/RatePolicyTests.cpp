#include "TestSupport/TestValues.h"
#include "QuillmereMacCore/RatePolicy.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

using Reason = RateDecision::Reason;

using testing::ms;
constexpr std::uint64_t s = 1'000 * ms;
constexpr std::uint64_t rateStart = 100 * s;

RateConfig hostConfig() {
    return RateConfig(2000, 40000, 20000, 0.85, 1.05, 500 * ms, 2 * s, 10 * s, 0.02, 0.05, 3);
}

ReceiverReport report(std::uint32_t received, std::uint32_t lost = 0, std::uint32_t late = 0,
                      std::uint8_t thermal = 0) {
    ReceiverReport r;
    r.framesReceived = received;
    r.framesLost = lost;
    r.framesLate = late;
    r.thermalState = thermal;
    return r;
}

TEST(RateConfig, NormalisesBoundsAndFactors) {
    const RateConfig config(50000, 40000, 1000, 0.2, 2.0, 0, 0, 0, 0.02, 0.05, 3);
    EXPECT_EQ(config.minKbps, 40000u);
    EXPECT_EQ(config.maxKbps, 40000u);
    EXPECT_EQ(config.startKbps, 40000u);
    EXPECT_EQ(config.decreaseFactor, 0.5);
    EXPECT_EQ(config.increaseFactor, 1.25);

    const RateConfig high(1000, 5000, 9000, 1.5, 0.5, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(high.startKbps, 5000u);
    EXPECT_EQ(high.decreaseFactor, 0.99);
    EXPECT_EQ(high.increaseFactor, 1.01);

    const RateConfig nan(1000, 5000, 3000, std::nan(""), std::nan(""), 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(nan.decreaseFactor, 0.5);
    EXPECT_EQ(nan.increaseFactor, 1.01);
}

TEST(ThermalLevel, RawValuesAndOrder) {
    EXPECT_EQ(thermalLevelFromRaw(2), ThermalLevel::serious);
    EXPECT_EQ(thermalLevelFromRaw(4), std::nullopt);
    EXPECT_LT(ThermalLevel::fair, ThermalLevel::serious);
    EXPECT_GE(ThermalLevel::critical, ThermalLevel::critical);
}

TEST(RatePolicy, StartsAtTheStartRate) {
    const RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.decision(), (RateDecision{20000, 40000, ThermalLevel::nominal, Reason::start}));
}

TEST(RatePolicy, DecreasesOnLossButNotFasterThanTheHold) {
    RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.update(report(100, 3), rateStart).bitrateKbps, 17000u);
    EXPECT_EQ(policy.decision().reason, Reason::congestion);
    const auto held = policy.update(report(100, 3), rateStart + 400 * ms);
    EXPECT_EQ(held.bitrateKbps, 17000u);
    EXPECT_EQ(held.reason, Reason::hold);
    EXPECT_EQ(policy.update(report(100, 3), rateStart + 500 * ms).bitrateKbps, 14450u);
}

TEST(RatePolicy, ThresholdsAreInclusive) {
    RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.update(report(98, 2), rateStart).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(95, 0, 5), rateStart).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(95, 0, 6), rateStart).reason, Reason::congestion);
    EXPECT_EQ(policy.decision().bitrateKbps, 17000u);
}

TEST(RatePolicy, DecoderBacklogDecreases) {
    RatePolicy deep(hostConfig(), rateStart);
    auto r = report(100);
    r.decodeQueueDepth = 3;
    EXPECT_EQ(deep.update(r, rateStart).reason, Reason::decoderBacklog);
    EXPECT_EQ(deep.decision().bitrateKbps, 17000u);

    RatePolicy errors(hostConfig(), rateStart);
    r = report(100);
    r.decodeErrors = 1;
    EXPECT_EQ(errors.update(r, rateStart).reason, Reason::decoderBacklog);
    r.decodeErrors = 0;
    r.decodeQueueDepth = 2;
    EXPECT_EQ(errors.update(r, rateStart + s).reason, Reason::hold);
}

TEST(RatePolicy, ProbesUpAfterCleanTimeAndStopsAtTheCeiling) {
    RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.update(report(0), rateStart + 1999 * ms).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(60), rateStart + 2 * s), (RateDecision{21000, 40000, ThermalLevel::nominal, Reason::probeUp}));
    EXPECT_EQ(policy.update(report(60), rateStart + 3999 * ms).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(60), rateStart + 4 * s).bitrateKbps, 22050u);

    // Walk up to the ceiling; the last step is cut to it.
    std::uint64_t now = rateStart + 4 * s;
    std::uint32_t previous = 0;
    while (policy.decision().bitrateKbps != previous) {
        previous = policy.decision().bitrateKbps;
        now += 2 * s;
        policy.update(report(60), now);
        ASSERT_LE(policy.decision().bitrateKbps, 40000u);
    }
    EXPECT_EQ(policy.decision().bitrateKbps, 40000u);
    EXPECT_EQ(policy.decision().reason, Reason::hold);
}

TEST(RatePolicy, ProbeRoundsUpSoSmallRatesStillMove) {
    RateConfig config = hostConfig();
    config.startKbps = 19999;
    RatePolicy policy(config, rateStart);
    EXPECT_EQ(policy.update(report(60), rateStart + 2 * s).bitrateKbps, 20999u);

    RatePolicy tiny(RateConfig(10, 100, 10, 0.85, 1.01, 0, 0, 0, 0.02, 0.05, 3), rateStart);
    EXPECT_EQ(tiny.update(report(60), rateStart).bitrateKbps, 11u);
}

TEST(RatePolicy, CleanRunRestartsAfterADecreaseEvenAHeldOne) {
    RatePolicy policy(hostConfig(), rateStart);
    policy.update(report(100, 3), rateStart);
    policy.update(report(100, 3), rateStart + 100 * ms); // held back
    EXPECT_EQ(policy.update(report(100), rateStart + 1 * s).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(100), rateStart + 2900 * ms).reason, Reason::hold);
    EXPECT_EQ(policy.update(report(100), rateStart + 3 * s).reason, Reason::probeUp);
}

TEST(RatePolicy, ClientHeatCutsAtOnceAndRelaxesAfterTheWait) {
    RateConfig config = hostConfig();
    config.startKbps = 30000;
    RatePolicy policy(config, rateStart);
    auto d = policy.update(report(100, 0, 0, 2), rateStart);
    EXPECT_EQ(d, (RateDecision{24000, 24000, ThermalLevel::serious, Reason::hold}));

    policy.update(report(100, 0, 0, 0), rateStart + 1 * s);
    EXPECT_EQ(policy.decision().ceilingKbps, 24000u);
    EXPECT_EQ(policy.update(report(100), rateStart + 10999 * ms).ceilingKbps, 24000u);
    d = policy.update(report(100), rateStart + 11 * s);
    EXPECT_EQ(d.ceilingKbps, 40000u);
    EXPECT_EQ(d.thermal, ThermalLevel::nominal);
}

TEST(RatePolicy, ReturningToTheAppliedLevelRestartsTheRelaxWait) {
    RatePolicy policy(hostConfig(), rateStart);
    policy.update(report(100, 0, 0, 3), rateStart);
    policy.update(report(100, 0, 0, 0), rateStart + 1 * s);
    policy.update(report(100, 0, 0, 3), rateStart + 2 * s);
    policy.update(report(100, 0, 0, 1), rateStart + 3 * s);
    // Ten seconds after the first cooler report, but the wait began again at 3 s.
    EXPECT_EQ(policy.update(report(100, 0, 0, 1), rateStart + 12 * s).thermal, ThermalLevel::critical);
    EXPECT_EQ(policy.update(report(100, 0, 0, 1), rateStart + 13 * s).thermal, ThermalLevel::fair);
    EXPECT_EQ(policy.decision().ceilingKbps, 34000u);
}

TEST(RatePolicy, OutOfRangeThermalStateIsCritical) {
    RatePolicy policy(hostConfig(), rateStart);
    const auto d = policy.update(report(100, 0, 0, 7), rateStart);
    EXPECT_EQ(d.thermal, ThermalLevel::critical);
    EXPECT_EQ(d.ceilingKbps, 14000u);
    EXPECT_EQ(d.bitrateKbps, 14000u);
}

TEST(RatePolicy, MinimumIsTheLowestCeiling) {
    RatePolicy policy(RateConfig(2000, 5000, 5000, 0.85, 1.05, 0, 0, 0, 0.02, 0.05, 3), rateStart);
    const auto d = policy.setHostThermal(ThermalLevel::critical, rateStart);
    EXPECT_EQ(d, (RateDecision{2000, 2000, ThermalLevel::critical, Reason::thermalCap}));
}

TEST(RatePolicy, HostThermalReportsTheCap) {
    RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.setHostThermal(ThermalLevel::fair, rateStart).reason, Reason::hold);
    EXPECT_EQ(policy.decision().ceilingKbps, 34000u);
    EXPECT_EQ(policy.setHostThermal(ThermalLevel::critical, rateStart),
              (RateDecision{14000, 14000, ThermalLevel::critical, Reason::thermalCap}));
    // The client staying cool does not lift the host's heat.
    EXPECT_EQ(policy.update(report(100), rateStart + 30 * s).thermal, ThermalLevel::critical);
}

TEST(RatePolicy, SenderDropsDecreaseUnderTheSameHold) {
    RatePolicy policy(hostConfig(), rateStart);
    EXPECT_EQ(policy.noteSenderDrops(rateStart).reason, Reason::senderDrops);
    EXPECT_EQ(policy.noteSenderDrops(rateStart + 1).reason, Reason::hold);
    EXPECT_EQ(policy.decision().bitrateKbps, 17000u);
}

TEST(RatePolicy, StaysWithinItsBoundsUnderRandomReports) {
    std::mt19937 random(11);
    std::uniform_int_distribution<std::uint32_t> frames(0, 120);
    std::uniform_int_distribution<std::uint32_t> small(0, 4);
    std::uniform_int_distribution<int> thermal(0, 9);
    std::uniform_int_distribution<std::uint64_t> step(0, 3 * s);
    const RateConfig config = hostConfig();
    RatePolicy policy(config, rateStart);
    std::uint64_t now = rateStart;
    for (int i = 0; i < 50000; ++i) {
        now += step(random);
        if (i % 50 == 0) {
            policy.setHostThermal(static_cast<ThermalLevel>(thermal(random) % 4), now);
        } else {
            auto r = report(frames(random), small(random), small(random), static_cast<std::uint8_t>(thermal(random)));
            r.decodeQueueDepth = static_cast<std::uint8_t>(small(random));
            r.decodeErrors = small(random) == 0 ? 1 : 0;
            policy.update(r, now);
        }
        const auto& d = policy.decision();
        ASSERT_GE(d.bitrateKbps, config.minKbps);
        ASSERT_LE(d.bitrateKbps, d.ceilingKbps);
        ASSERT_LE(d.ceilingKbps, config.maxKbps);
        ASSERT_GE(d.thermal, policy.hostThermal() < policy.clientThermal() ? policy.clientThermal() : policy.hostThermal());
    }
}

} // namespace
} // namespace quillmere

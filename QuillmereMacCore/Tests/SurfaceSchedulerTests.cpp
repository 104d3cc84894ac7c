#include "QuillmereMacCore/SurfaceScheduler.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

constexpr std::uint64_t s = 1'000'000'000;
constexpr std::uint64_t t = 1000 * s;

using Tier = SurfaceTier;

TEST(SurfaceScheduler, SingleSurfaceIsAlwaysFocused) {
    SurfaceScheduler scheduler;
    scheduler.add(7, t);
    const auto allocation = scheduler.allocate(t + 10 * s);
    ASSERT_EQ(allocation.size(), 1u);
    EXPECT_EQ(allocation.at(7), (SurfaceAllocation{Tier::focused, 60, 40000}));
    EXPECT_EQ(scheduler.focusedSurface(t + 10 * s), 7u);
}

TEST(SurfaceScheduler, SplitsTheBudgetByWeight) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    auto allocation = scheduler.allocate(t + s);
    EXPECT_EQ(allocation.at(1), (SurfaceAllocation{Tier::secondary, 30, 20000}));
    EXPECT_EQ(allocation.at(2), (SurfaceAllocation{Tier::secondary, 30, 20000}));
    EXPECT_EQ(scheduler.focusedSurface(t + s), std::nullopt);

    scheduler.focusHint(1, 1000, t + s);
    allocation = scheduler.allocate(t + s);
    EXPECT_EQ(allocation.at(1), (SurfaceAllocation{Tier::focused, 60, 30000}));
    EXPECT_EQ(allocation.at(2), (SurfaceAllocation{Tier::secondary, 30, 10000}));
}

TEST(SurfaceScheduler, StillSurfacesTurnIdle) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    scheduler.add(3, t);
    scheduler.noteChange(2, t + 3 * s);
    const std::uint64_t now = t + 5 * s + 1;
    scheduler.focusHint(1, 2000, now);
    const auto allocation = scheduler.allocate(now);
    // 6, 2 and 0.5 of 8.5, each truncated.
    EXPECT_EQ(allocation.at(1), (SurfaceAllocation{Tier::focused, 60, 28235}));
    EXPECT_EQ(allocation.at(2), (SurfaceAllocation{Tier::secondary, 30, 9411}));
    EXPECT_EQ(allocation.at(3), (SurfaceAllocation{Tier::idle, 5, 2352}));
}

TEST(SurfaceScheduler, IdleStartsStrictlyAfterTheStillTime) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    EXPECT_EQ(scheduler.tier(1, t + 5 * s), Tier::secondary);
    EXPECT_EQ(scheduler.tier(1, t + 5 * s + 1), Tier::idle);
    // A clock reading before the last change never counts as still.
    EXPECT_EQ(scheduler.tier(1, t - 10 * s), Tier::secondary);
}

TEST(SurfaceScheduler, ThermalCapsFrameRatesNotBitRates) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    scheduler.add(3, t - 10 * s);
    scheduler.focusHint(1, 2000, t);
    const auto nominal = scheduler.allocate(t);

    scheduler.setThermal(ThermalLevel::serious);
    auto allocation = scheduler.allocate(t);
    EXPECT_EQ(allocation.at(1).fps, 30);
    EXPECT_EQ(allocation.at(2).fps, 15);
    EXPECT_EQ(allocation.at(3).fps, 5);
    scheduler.setThermal(ThermalLevel::critical);
    allocation = scheduler.allocate(t);
    EXPECT_EQ(allocation.at(1).fps, 20);
    EXPECT_EQ(allocation.at(2).fps, 10);
    EXPECT_EQ(allocation.at(3).fps, 5);
    for (const auto& [surface, a] : allocation) EXPECT_EQ(a.bitrateKbps, nominal.at(surface).bitrateKbps);

    EXPECT_EQ(SurfaceScheduler::cappedFPS(12, Tier::focused, ThermalLevel::critical), 12);
    EXPECT_EQ(SurfaceScheduler::cappedFPS(120, Tier::idle, ThermalLevel::critical), 120);
    EXPECT_EQ(SurfaceScheduler::cappedFPS(120, Tier::secondary, ThermalLevel::fair), 120);
}

TEST(SurfaceScheduler, FloorsHoldEvenBeyondTheBudget) {
    SurfaceScheduler scheduler;
    for (std::uint32_t id = 0; id < 40; ++id) scheduler.add(id, t);
    for (const auto& [surface, a] : scheduler.allocate(t)) EXPECT_EQ(a.bitrateKbps, 1500u) << surface;
    EXPECT_TRUE(scheduler.floorsExceedBudget());
    EXPECT_EQ(scheduler.floorCapacity(), 26u);

    SurfaceScheduler::Config config;
    config.floorKbps = 0;
    config.budgetKbps = 300;
    const SurfaceScheduler noFloor(config);
    EXPECT_EQ(noFloor.floorCapacity(), 300u);
    EXPECT_FALSE(noFloor.floorsExceedBudget());
}

TEST(SurfaceScheduler, ZeroWeightsFallBackToTheFloor) {
    SurfaceScheduler::Config config;
    config.focusedWeight = 0;
    config.secondaryWeight = 0;
    config.idleWeight = 0;
    SurfaceScheduler scheduler(config);
    scheduler.add(1, t);
    scheduler.add(2, t);
    EXPECT_EQ(scheduler.allocate(t).at(1).bitrateKbps, 1500u);
}

TEST(SurfaceScheduler, FocusHintsLastAtMostTwoSeconds) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    scheduler.focusHint(2, 65535, t);
    EXPECT_EQ(scheduler.focusedSurface(t + 2 * s - 1), 2u);
    EXPECT_EQ(scheduler.focusedSurface(t + 2 * s), std::nullopt);
}

TEST(SurfaceScheduler, FocusFollowsTheScheduledSurfaces) {
    SurfaceScheduler scheduler;
    scheduler.add(1, t);
    scheduler.add(2, t);
    scheduler.add(3, t);
    scheduler.focusHint(2, 1000, t);
    scheduler.focusHint(9, 1000, t); // not scheduled: the earlier focus stays
    EXPECT_EQ(scheduler.focusedSurface(t), 2u);
    scheduler.focusHint(3, 1000, t);
    EXPECT_EQ(scheduler.focusedSurface(t), 3u);
    scheduler.remove(3);
    EXPECT_EQ(scheduler.focus(), std::nullopt);
    EXPECT_EQ(scheduler.focusedSurface(t), std::nullopt);
    scheduler.remove(1);
    EXPECT_EQ(scheduler.focusedSurface(t), 2u);
}

TEST(SurfaceScheduler, AddingAgainKeepsPlaceAndChangeTime) {
    SurfaceScheduler scheduler;
    scheduler.add(5, t);
    scheduler.add(3, t + s);
    scheduler.add(5, t + 2 * s);
    EXPECT_EQ(scheduler.surfaces(), (std::vector<std::uint32_t>{5, 3}));
    EXPECT_EQ(scheduler.lastChangeNs().at(5), t);
    scheduler.noteChange(8, t);
    EXPECT_FALSE(scheduler.lastChangeNs().contains(8));
}

TEST(SurfaceScheduler, NoSurfaceGetsLessThanTheFloorUnderRandomChanges) {
    std::mt19937 random(5);
    std::uniform_int_distribution<std::uint32_t> id(0, 30);
    std::uniform_int_distribution<int> op(0, 5);
    std::uniform_int_distribution<std::uint64_t> step(0, 2 * s);
    SurfaceScheduler scheduler;
    std::uint64_t now = t;
    for (int i = 0; i < 20000; ++i) {
        now += step(random);
        switch (op(random)) {
        case 0: case 1: scheduler.add(id(random), now); break;
        case 2: scheduler.remove(id(random)); break;
        case 3: scheduler.focusHint(id(random), static_cast<std::uint16_t>(random()), now); break;
        case 4: scheduler.noteChange(id(random), now); break;
        default: scheduler.setThermal(static_cast<ThermalLevel>(random() % 4)); break;
        }
        const auto allocation = scheduler.allocate(now);
        ASSERT_EQ(allocation.size(), scheduler.surfaces().size());
        ASSERT_EQ(scheduler.lastChangeNs().size(), scheduler.surfaces().size());
        int focused = 0;
        for (const auto& [surface, a] : allocation) {
            ASSERT_GE(a.bitrateKbps, 1500u);
            ASSERT_LE(a.bitrateKbps, 40000u);
            ASSERT_GE(a.fps, 5);
            focused += a.tier == Tier::focused ? 1 : 0;
        }
        ASSERT_LE(focused, 1);
    }
}

} // namespace
} // namespace quillmere

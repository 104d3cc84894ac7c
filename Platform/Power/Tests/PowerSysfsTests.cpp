#include "Platform/Power/PowerSysfs.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quillmere {
namespace {

namespace fs = std::filesystem;

TEST(PowerSysfs, BatteryOnMainsUsesKernelPercentageAndMainsState) {
    testing::TemporaryFolder tree;
    tree.writeLine("power_supply/AC/type", "Mains");
    tree.writeLine("power_supply/AC/online", "1");
    tree.writeLine("power_supply/BAT0/type", "Battery");
    tree.writeLine("power_supply/BAT0/capacity", "87");
    tree.writeLine("power_supply/BAT0/status", "Charging");

    const auto sources = PowerSysfs(tree.path()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 2u);
    EXPECT_EQ((*sources)[0], (PowerSourceDescription{"Mains", std::nullopt, std::nullopt, "AC Power", std::nullopt}));
    EXPECT_EQ((*sources)[1], (PowerSourceDescription{"InternalBattery", 87, 100, "AC Power", true}));
}

TEST(PowerSysfs, RawCountersStandInForMissingPercentage) {
    testing::TemporaryFolder tree;
    tree.writeLine("power_supply/BAT1/type", "Battery");
    tree.writeLine("power_supply/BAT1/charge_now", "4500000");
    tree.writeLine("power_supply/BAT1/charge_full", "5000000");
    tree.writeLine("power_supply/BAT1/status", "Discharging");
    tree.writeLine("power_supply/BAT2/type", "Battery");
    tree.writeLine("power_supply/BAT2/energy_now", "30000000");
    tree.writeLine("power_supply/BAT2/energy_full", "60000000");
    tree.writeLine("power_supply/ADP1/type", "USB");
    tree.writeLine("power_supply/ADP1/online", "0");

    const auto sources = PowerSysfs(tree.path()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 3u);
    EXPECT_EQ((*sources)[0].powerSourceState, "Battery Power");
    EXPECT_EQ((*sources)[1], (PowerSourceDescription{"InternalBattery", 4500000, 5000000, "Battery Power", false}));
    EXPECT_EQ((*sources)[2].currentCapacity, 30000000);
    EXPECT_EQ((*sources)[2].maxCapacity, 60000000);
}

TEST(PowerSysfs, PeripheralBatteriesAndBrokenValuesAreMarked) {
    testing::TemporaryFolder tree;
    tree.writeLine("power_supply/hidpp_battery_0/type", "Battery");
    tree.writeLine("power_supply/hidpp_battery_0/scope", "Device");
    tree.writeLine("power_supply/hidpp_battery_0/capacity", "40");
    tree.writeLine("power_supply/BAT0/type", "Battery");
    tree.writeLine("power_supply/BAT0/capacity", "eighty");
    tree.writeLine("power_supply/untyped/online", "1");

    const auto sources = PowerSysfs(tree.path()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 2u); // a folder without a type is no source
    EXPECT_EQ((*sources)[0].type, "InternalBattery");
    EXPECT_FALSE((*sources)[0].currentCapacity);
    EXPECT_FALSE((*sources)[0].isCharging);
    EXPECT_EQ((*sources)[1].type, "DeviceBattery");
}

TEST(PowerSysfs, MissingFolderGivesNothingAndEmptyFolderNoSources) {
    testing::TemporaryFolder tree;
    EXPECT_FALSE(PowerSysfs(tree.path()).powerSources());
    fs::create_directories(tree.path() / "power_supply");
    const auto sources = PowerSysfs(tree.path()).powerSources();
    ASSERT_TRUE(sources);
    EXPECT_TRUE(sources->empty());
}

TEST(PowerSysfs, ThermalStateIsTheHottestZoneAgainstItsTrips) {
    testing::TemporaryFolder tree;
    EXPECT_EQ(PowerSysfs(tree.path()).thermalState(), 0);

    tree.writeLine("thermal/thermal_zone0/temp", "50000");
    tree.writeLine("thermal/thermal_zone0/trip_point_0_type", "active");
    tree.writeLine("thermal/thermal_zone0/trip_point_0_temp", "55000");
    tree.writeLine("thermal/thermal_zone0/trip_point_1_type", "critical");
    tree.writeLine("thermal/thermal_zone0/trip_point_1_temp", "105000");
    tree.writeLine("thermal/cooling_device0/cur_state", "3");
    EXPECT_EQ(PowerSysfs(tree.path()).thermalState(), 0);

    tree.writeLine("thermal/thermal_zone0/temp", "55000");
    EXPECT_EQ(PowerSysfs(tree.path()).thermalState(), 1);

    tree.writeLine("thermal/thermal_zone1/temp", "90000");
    tree.writeLine("thermal/thermal_zone1/trip_point_0_type", "passive");
    tree.writeLine("thermal/thermal_zone1/trip_point_0_temp", "85000");
    tree.writeLine("thermal/thermal_zone1/trip_point_1_type", "hot");
    tree.writeLine("thermal/thermal_zone1/trip_point_1_temp", "0"); // a disabled trip
    EXPECT_EQ(PowerSysfs(tree.path()).thermalState(), 2);

    tree.writeLine("thermal/thermal_zone1/temp", "106000");
    tree.writeLine("thermal/thermal_zone1/trip_point_1_temp", "100000");
    EXPECT_EQ(PowerSysfs(tree.path()).thermalState(), 3);
}

} // namespace
} // namespace quillmere

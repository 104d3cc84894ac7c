#include "Platform/Power/PowerSysfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace quillmere {
namespace {

namespace fs = std::filesystem;

// A fake /sys/class: folders and one-line files, removed afterwards.
class SysfsTree {
public:
    SysfsTree() {
        std::string pattern = "/tmp/quillmere-sysfs-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    ~SysfsTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    void write(const std::string& relative, const std::string& value) {
        const fs::path file = root_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << value << "\n";
    }

    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

TEST(PowerSysfs, BatteryOnMainsUsesKernelPercentageAndMainsState) {
    SysfsTree tree;
    tree.write("power_supply/AC/type", "Mains");
    tree.write("power_supply/AC/online", "1");
    tree.write("power_supply/BAT0/type", "Battery");
    tree.write("power_supply/BAT0/capacity", "87");
    tree.write("power_supply/BAT0/status", "Charging");

    const auto sources = PowerSysfs(tree.root()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 2u);
    EXPECT_EQ((*sources)[0], (PowerSourceDescription{"Mains", std::nullopt, std::nullopt, "AC Power", std::nullopt}));
    EXPECT_EQ((*sources)[1], (PowerSourceDescription{"InternalBattery", 87, 100, "AC Power", true}));
}

TEST(PowerSysfs, RawCountersStandInForMissingPercentage) {
    SysfsTree tree;
    tree.write("power_supply/BAT1/type", "Battery");
    tree.write("power_supply/BAT1/charge_now", "4500000");
    tree.write("power_supply/BAT1/charge_full", "5000000");
    tree.write("power_supply/BAT1/status", "Discharging");
    tree.write("power_supply/BAT2/type", "Battery");
    tree.write("power_supply/BAT2/energy_now", "30000000");
    tree.write("power_supply/BAT2/energy_full", "60000000");
    tree.write("power_supply/ADP1/type", "USB");
    tree.write("power_supply/ADP1/online", "0");

    const auto sources = PowerSysfs(tree.root()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 3u);
    EXPECT_EQ((*sources)[0].powerSourceState, "Battery Power");
    EXPECT_EQ((*sources)[1], (PowerSourceDescription{"InternalBattery", 4500000, 5000000, "Battery Power", false}));
    EXPECT_EQ((*sources)[2].currentCapacity, 30000000);
    EXPECT_EQ((*sources)[2].maxCapacity, 60000000);
}

TEST(PowerSysfs, PeripheralBatteriesAndBrokenValuesAreMarked) {
    SysfsTree tree;
    tree.write("power_supply/hidpp_battery_0/type", "Battery");
    tree.write("power_supply/hidpp_battery_0/scope", "Device");
    tree.write("power_supply/hidpp_battery_0/capacity", "40");
    tree.write("power_supply/BAT0/type", "Battery");
    tree.write("power_supply/BAT0/capacity", "eighty");
    tree.write("power_supply/untyped/online", "1");

    const auto sources = PowerSysfs(tree.root()).powerSources();
    ASSERT_TRUE(sources);
    ASSERT_EQ(sources->size(), 2u); // a folder without a type is no source
    EXPECT_EQ((*sources)[0].type, "InternalBattery");
    EXPECT_FALSE((*sources)[0].currentCapacity);
    EXPECT_FALSE((*sources)[0].isCharging);
    EXPECT_EQ((*sources)[1].type, "DeviceBattery");
}

TEST(PowerSysfs, MissingFolderGivesNothingAndEmptyFolderNoSources) {
    SysfsTree tree;
    EXPECT_FALSE(PowerSysfs(tree.root()).powerSources());
    fs::create_directories(tree.root() / "power_supply");
    const auto sources = PowerSysfs(tree.root()).powerSources();
    ASSERT_TRUE(sources);
    EXPECT_TRUE(sources->empty());
}

TEST(PowerSysfs, ThermalStateIsTheHottestZoneAgainstItsTrips) {
    SysfsTree tree;
    EXPECT_EQ(PowerSysfs(tree.root()).thermalState(), 0);

    tree.write("thermal/thermal_zone0/temp", "50000");
    tree.write("thermal/thermal_zone0/trip_point_0_type", "active");
    tree.write("thermal/thermal_zone0/trip_point_0_temp", "55000");
    tree.write("thermal/thermal_zone0/trip_point_1_type", "critical");
    tree.write("thermal/thermal_zone0/trip_point_1_temp", "105000");
    tree.write("thermal/cooling_device0/cur_state", "3");
    EXPECT_EQ(PowerSysfs(tree.root()).thermalState(), 0);

    tree.write("thermal/thermal_zone0/temp", "55000");
    EXPECT_EQ(PowerSysfs(tree.root()).thermalState(), 1);

    tree.write("thermal/thermal_zone1/temp", "90000");
    tree.write("thermal/thermal_zone1/trip_point_0_type", "passive");
    tree.write("thermal/thermal_zone1/trip_point_0_temp", "85000");
    tree.write("thermal/thermal_zone1/trip_point_1_type", "hot");
    tree.write("thermal/thermal_zone1/trip_point_1_temp", "0"); // a disabled trip
    EXPECT_EQ(PowerSysfs(tree.root()).thermalState(), 2);

    tree.write("thermal/thermal_zone1/temp", "106000");
    tree.write("thermal/thermal_zone1/trip_point_1_temp", "100000");
    EXPECT_EQ(PowerSysfs(tree.root()).thermalState(), 3);
}

} // namespace
} // namespace quillmere

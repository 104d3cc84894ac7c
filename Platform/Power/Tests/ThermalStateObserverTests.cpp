#include "Platform/Dispatch/ManualExecutor.h"
#include "Platform/Power/ThermalStateObserver.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace quillmere {
namespace {

// One thermal zone with a passive and a critical trip.
class Zone {
public:
    explicit Zone(const std::filesystem::path& root) : folder_(root / "thermal" / "thermal_zone0") {
        std::filesystem::create_directories(folder_);
        write("trip_point_0_type", "passive");
        write("trip_point_0_temp", "85000");
        write("trip_point_1_type", "critical");
        write("trip_point_1_temp", "105000");
        setTemperature(40000);
    }
    void setTemperature(int milliCelsius) { write("temp", std::to_string(milliCelsius)); }

private:
    void write(const std::string& name, const std::string& value) { std::ofstream(folder_ / name) << value << "\n"; }
    std::filesystem::path folder_;
};

constexpr std::uint64_t interval = 1'000'000'000;

TEST(ThermalStateObserver, ReportsEachChangeOnce) {
    testing::TemporaryFolder root;
    Zone zone(root.path());
    ManualExecutor queue;
    auto observer = ThermalStateObserver::make(PowerSysfs(root.path()), interval);
    std::vector<int> states;
    observer->start(queue, [&](int state) { states.push_back(state); });

    queue.advance(interval);
    EXPECT_TRUE(states.empty()); // the starting state is no change

    zone.setTemperature(110000);
    queue.advance(interval);
    queue.advance(interval);
    EXPECT_EQ(states, std::vector<int>{3});

    zone.setTemperature(90000);
    queue.advance(interval);
    EXPECT_EQ(states, (std::vector<int>{3, 2}));
}

TEST(ThermalStateObserver, StopEndsTheReports) {
    testing::TemporaryFolder root;
    Zone zone(root.path());
    ManualExecutor queue;
    auto observer = ThermalStateObserver::make(PowerSysfs(root.path()), interval);
    int calls = 0;
    observer->start(queue, [&](int) { ++calls; });
    zone.setTemperature(110000);
    observer->stop();
    queue.advance(5 * interval);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(observer->currentState(), 3);
}

} // namespace
} // namespace quillmere

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/HostService/AwakeWhileStreaming.h"
#include "QuillmereMac/HostService/HostPowerMonitor.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quillmere {
namespace {

namespace fs = std::filesystem;

using testing::LogCapture;

struct CountingActivity : AwakeWhileStreaming::Activity {
    explicit CountingActivity(int& ended) : ended(ended) {}
    ~CountingActivity() override { ++ended; }
    int& ended;
};

TEST(AwakeWhileStreaming, BeginsOnceAndEndsOnce) {
    LogCapture log;
    int begun = 0;
    int ended = 0;
    std::string reason;
    AwakeWhileStreaming awake([&](std::string_view why) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
        ++begun;
        reason = why;
        return std::make_unique<CountingActivity>(ended);
    });
    {
        std::lock_guard lock(awake.lock());
        awake.set(true);
        awake.set(true);
    }
    EXPECT_EQ(begun, 1);
    EXPECT_TRUE(awake.isHeld());
    EXPECT_EQ(reason, "Streaming this computer to an iPhone");
    awake.set(false);
    awake.set(false);
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(awake.isHeld());
    EXPECT_EQ(log.lines("transport"),
              (std::vector<std::string>{"display kept awake while streaming", "display sleep allowed again"}));
}

TEST(AwakeWhileStreaming, AFailedBeginHoldsNothingIsRetriedAndWarnsOnce) {
    LogCapture log;
    int attempts = 0;
    int ended = 0;
    AwakeWhileStreaming awake([&](std::string_view) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
        if (++attempts <= 2) return std::unexpected(std::string("Inhibit: no logind"));
        return std::make_unique<CountingActivity>(ended);
    });
    awake.set(true);
    EXPECT_FALSE(awake.isHeld());
    awake.set(false); // nothing held: no "allowed again"
    awake.set(true); // a second session fails alike, silently
    EXPECT_FALSE(awake.isHeld());
    awake.set(true);
    EXPECT_TRUE(awake.isHeld());
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(log.lines("transport"), (std::vector<std::string>{"display could not be kept awake: Inhibit: no logind",
                                                                 "display kept awake while streaming"}));
    EXPECT_EQ(log.entries().front().level, LogLevel::warning);
}

PowerSourceDescription battery(std::int64_t current, std::int64_t maximum, const char* state,
                               std::optional<bool> charging = false) {
    return {"InternalBattery", current, maximum, std::string(state), charging};
}

TEST(HostPowerMonitor, ReadsTheFirstUsableInternalBattery) {
    using M = HostPowerMonitor;
    EXPECT_EQ(M::readPowerSource(std::vector{battery(4500, 5000, "AC Power")}), 0x15A);
    EXPECT_EQ(M::readPowerSource(std::vector{battery(4500, 5000, "Battery Power")}), 90);
    EXPECT_EQ(M::readPowerSource(std::vector{battery(1, 3, "Battery Power", true)}), 0x121); // 33, charging
    EXPECT_EQ(M::readPowerSource(std::nullopt), 255);
    EXPECT_EQ(M::readPowerSource(std::vector<PowerSourceDescription>{}), 255);

    PowerSourceDescription ups{"UPS", 50, 100, "AC Power", false};
    EXPECT_EQ(M::readPowerSource(std::vector{ups}), 255);
    PowerSourceDescription noMax{"InternalBattery", 50, std::nullopt, "AC Power", false};
    PowerSourceDescription zeroMax = battery(50, 0, "AC Power");
    EXPECT_EQ(M::readPowerSource(std::vector{noMax, zeroMax, battery(20, 100, "Battery Power")}), 20);

    // Clamped, never wrapped.
    EXPECT_EQ(M::readPowerSource(std::vector{battery(-5, 100, "Battery Power")}), 0);
    EXPECT_EQ(M::readPowerSource(std::vector{battery(300, 100, "Battery Power")}), 255);
    EXPECT_EQ(M::readPowerSource(std::vector{battery(std::numeric_limits<std::int64_t>::max(), 1, "Battery Power")}),
              255);
    EXPECT_EQ(M::readPowerSource(std::vector{battery(std::numeric_limits<std::int64_t>::min(), 1, "Battery Power")}), 0);
}

TEST(HostPowerMonitor, ReportsTheFirstReadingAndThenOnlyChanges) {
    std::vector<std::uint16_t> script{100, 100, 0x164, 0x164, 0x264, 255, 255, 0x1FF};
    std::size_t next = 0;
    auto monitor = HostPowerMonitor::make([&] { return script.at(next++); });
    std::vector<std::uint16_t> reported;
    for (std::size_t i = 0; i < script.size(); ++i) monitor->tick([&](std::uint16_t r) { reported.push_back(r); });
    // 0x264 masks to 0x064: the external-power bit went away again.
    EXPECT_EQ(reported, (std::vector<std::uint16_t>{100, 0x164, 0x064, 255, 0x1FF}));
    EXPECT_EQ(monitor->last(), 0x1FF);
}

TEST(HostPowerMonitor, TimerTicksAtOnceAndOnEveryIntervalUntilStopped) {
    ManualExecutor utility("utility");
    int reads = 0;
    auto monitor = HostPowerMonitor::make([&] { return static_cast<std::uint16_t>(++reads); });
    std::vector<std::uint16_t> reported;
    monitor->start(utility, 20'000'000'000ULL, [&](std::uint16_t r) { reported.push_back(r); });
    utility.runUntilIdle();
    EXPECT_EQ(reported, (std::vector<std::uint16_t>{1}));
    utility.advance(40'000'000'000ULL);
    EXPECT_EQ(reported, (std::vector<std::uint16_t>{1, 2, 3}));
    monitor->stop();
    utility.advance(100'000'000'000ULL);
    EXPECT_EQ(reads, 3);
}

TEST(HostPowerMonitor, ReadsAFixtureTreeEndToEnd) {
    testing::TemporaryFolder root;
    root.writeLine("power_supply/AC/type", "Mains");
    root.writeLine("power_supply/AC/online", "1");
    root.writeLine("power_supply/BAT0/type", "Battery");
    root.writeLine("power_supply/BAT0/charge_now", "4500");
    root.writeLine("power_supply/BAT0/charge_full", "5000");
    root.writeLine("power_supply/BAT0/status", "Not charging");

    auto monitor = HostPowerMonitor::make(HostPowerMonitor::sysfsReader(PowerSysfs(root.path())));
    std::vector<std::uint16_t> reported;
    auto record = [&](std::uint16_t r) { reported.push_back(r); };
    monitor->tick(record);
    root.writeLine("power_supply/AC/online", "0");
    monitor->tick(record);
    root.writeLine("power_supply/BAT0/status", "Charging"); // charging from another source still counts
    monitor->tick(record);
    fs::remove_all(root.path() / "power_supply");
    monitor->tick(record);
    EXPECT_EQ(reported, (std::vector<std::uint16_t>{0x15A, 90, 0x15A, 255}));
}

TEST(HostPowerMonitor, AMachineWithoutAnInternalBatteryReportsUnknownOnce) {
    std::vector<std::uint16_t> reported;
    auto monitor = HostPowerMonitor::make(
        [] { return HostPowerMonitor::readPowerSource(std::vector{PowerSourceDescription{"UPS", 80, 100, "AC Power", false}}); });
    for (int i = 0; i < 3; ++i) monitor->tick([&](std::uint16_t r) { reported.push_back(r); });
    EXPECT_EQ(reported, (std::vector<std::uint16_t>{255}));
}

} // namespace
} // namespace quillmere

#include "Platform/SystemInfo/SystemInfo.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::TemporaryFolder;

TEST(SystemInfo, ReleaseTextsGiveThreeNumbers) {
    const std::pair<std::string, std::string> cases[] = {
        {"6.1.0-18-amd64", "6.1.0"}, {"5.15.153.1-microsoft-standard-WSL2", "5.15.153"},
        {"6.8", "6.8.0"},            {"4.19-rc3", "4.19.0"},
        {"", "0.0.0"},               {"custom", "0.0.0"},
    };
    for (const auto& [release, version] : cases) EXPECT_EQ(SystemInfo::versionNumbers(release), version) << release;
}

TEST(SystemInfo, ReadsTheKernelsFiles) {
    TemporaryFolder root;
    root.write("proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Test CPU @ 3.00GHz\n\nprocessor\t: 1\n"
          "model name\t: Second\n");
    root.write("proc/meminfo", "MemTotal:       16384000 kB\nMemFree:         1000 kB\n");
    root.write("proc/loadavg", "0.52 0.40 0.31 2/345 6789\n");
    root.write("proc/self/statm", "1000 250 100 1 0 200 0\n");
    root.write("sys/class/dmi/id/product_name", "Test Machine 9\n");
    root.write("sys/firmware/acpi/platform_profile", "low-power\n");
    const SystemInfo info({root.path() / "proc", root.path() / "sys"});

    EXPECT_EQ(info.chip(), "Test CPU @ 3.00GHz");
    EXPECT_EQ(info.physicalMemoryBytes(), 16384000ULL * 1024);
    EXPECT_EQ(info.loadAverage1(), 0.52);
    EXPECT_EQ(info.processFootprintBytes(), 250ULL * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(info.model(), "Test Machine 9");
    EXPECT_TRUE(info.lowPowerMode());

    root.write("sys/firmware/acpi/platform_profile", "balanced\n");
    root.write("proc/loadavg", "0.52 0.40\n");
    root.write("sys/class/dmi/id/product_name", "\n");
    std::filesystem::remove(root.path() / "proc/cpuinfo");
    std::filesystem::remove(root.path() / "proc/meminfo");
    std::filesystem::remove(root.path() / "proc/self/statm");
    EXPECT_FALSE(info.lowPowerMode());
    EXPECT_EQ(info.loadAverage1(), std::nullopt);
    EXPECT_EQ(info.model(), std::nullopt);
    EXPECT_EQ(info.chip(), std::nullopt);
    EXPECT_EQ(info.physicalMemoryBytes(), std::nullopt);
    EXPECT_EQ(info.processFootprintBytes(), std::nullopt);
}

TEST(SystemInfo, ThisMachineAnswers) {
    const SystemInfo info;
    EXPECT_GT(info.physicalMemoryBytes().value_or(0), 0U);
    EXPECT_GT(info.processFootprintBytes().value_or(0), 0U);
    EXPECT_TRUE(info.loadAverage1());
    EXPECT_TRUE(SystemInfo::processCPUSeconds());
}

} // namespace
} // namespace quillmere

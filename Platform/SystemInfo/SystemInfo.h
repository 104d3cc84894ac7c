#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// What the machine and this process say of themselves, in place of system
// control values and task information: the kernel's files under the proc and
// sys roots (the real ones unless a test gives fixture folders), uname and
// getrusage. Every reader answers nothing rather than fail.
class SystemInfo {
public:
    struct Roots {
        std::filesystem::path proc = "/proc";
        std::filesystem::path sys = "/sys";
    };

    SystemInfo() : SystemInfo(Roots{}) {}
    explicit SystemInfo(Roots roots);

    // The kernel's version as major.minor.patch.
    std::string osVersion() const;
    // The leading numbers of a release text ("6.1.0-18-amd64" gives 6.1.0),
    // at most three, missing ones 0.
    static std::string versionNumbers(std::string_view release);

    // The machine's product name (DMI).
    std::optional<std::string> model() const;
    // The first processor's model name.
    std::optional<std::string> chip() const;
    int activeProcessorCount() const;
    std::optional<std::uint64_t> physicalMemoryBytes() const;
    // The 1-minute load average, only when all three averages read.
    std::optional<double> loadAverage1() const;
    // This process's resident bytes.
    std::optional<std::uint64_t> processFootprintBytes() const;
    // Whether the firmware's platform profile asks for low power.
    bool lowPowerMode() const;

    // This process's user plus system CPU time in seconds.
    static std::optional<double> processCPUSeconds();

    const Roots& roots() const { return roots_; }

private:
    Roots roots_;
};

} // namespace quillmere

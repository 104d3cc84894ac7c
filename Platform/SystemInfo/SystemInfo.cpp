#include "Platform/SystemInfo/SystemInfo.h"

#include "QuillmereBase/TextFile.h"

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <sstream>
#include <thread>

namespace quillmere {

namespace {

namespace fs = std::filesystem;

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<std::string> nonEmpty(std::string text) {
    if (text.empty()) return std::nullopt;
    return text;
}

// The value of the first "key: value" line of a /proc listing.
std::optional<std::string> field(const std::string& text, std::string_view key) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || trimmed(std::string_view(line).substr(0, colon)) != key) continue;
        return trimmed(std::string_view(line).substr(colon + 1));
    }
    return std::nullopt;
}

template <class T>
std::optional<T> leadingNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

} // namespace

SystemInfo::SystemInfo(Roots roots) : roots_(std::move(roots)) {}

std::string SystemInfo::osVersion() const {
    utsname name{};
    if (::uname(&name) != 0) return versionNumbers({});
    return versionNumbers(name.release);
}

std::string SystemInfo::versionNumbers(std::string_view release) {
    unsigned long numbers[3] = {0, 0, 0};
    std::size_t at = 0;
    for (unsigned long& number : numbers) {
        if (at >= release.size()) break;
        const auto [end, error] = std::from_chars(release.data() + at, release.data() + release.size(), number);
        if (error != std::errc()) {
            number = 0;
            break;
        }
        at = static_cast<std::size_t>(end - release.data());
        if (at >= release.size() || release[at] != '.') break;
        ++at;
    }
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]);
}

std::optional<std::string> SystemInfo::model() const {
    const auto text = readTextFile(roots_.sys / "class/dmi/id/product_name");
    if (!text) return std::nullopt;
    return nonEmpty(trimmed(*text));
}

std::optional<std::string> SystemInfo::chip() const {
    const auto text = readTextFile(roots_.proc / "cpuinfo");
    if (!text) return std::nullopt;
    const auto name = field(*text, "model name");
    if (!name) return std::nullopt;
    return nonEmpty(*name);
}

int SystemInfo::activeProcessorCount() const {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<int>(online);
    return static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
}

std::optional<std::uint64_t> SystemInfo::physicalMemoryBytes() const {
    const auto text = readTextFile(roots_.proc / "meminfo");
    if (!text) return std::nullopt;
    const auto total = field(*text, "MemTotal");
    if (!total) return std::nullopt;
    const auto kibibytes = leadingNumber<std::uint64_t>(*total);
    if (!kibibytes || *kibibytes > UINT64_MAX / 1024) return std::nullopt;
    return *kibibytes * 1024;
}

std::optional<double> SystemInfo::loadAverage1() const {
    const auto text = readTextFile(roots_.proc / "loadavg");
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    double averages[3] = {};
    if (!(in >> averages[0] >> averages[1] >> averages[2])) return std::nullopt;
    return averages[0];
}

std::optional<std::uint64_t> SystemInfo::processFootprintBytes() const {
    const auto text = readTextFile(roots_.proc / "self/statm");
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(in >> size >> resident)) return std::nullopt;
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0 || resident > UINT64_MAX / static_cast<std::uint64_t>(page)) return std::nullopt;
    return resident * static_cast<std::uint64_t>(page);
}

bool SystemInfo::lowPowerMode() const {
    const auto profile = readTextFile(roots_.sys / "firmware/acpi/platform_profile");
    return profile && trimmed(*profile) == "low-power";
}

std::optional<double> SystemInfo::processCPUSeconds() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return std::nullopt;
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1'000'000.0;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace quillmere

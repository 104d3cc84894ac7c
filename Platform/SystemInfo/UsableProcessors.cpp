#include "Platform/SystemInfo/UsableProcessors.h"

#include "QuillmereBase/TextFile.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>
#include <thread>

namespace quillmere {

namespace {

namespace fs = std::filesystem;

std::optional<double> number(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return static_cast<double>(value);
}

// A quota over a period in processors, rounded up; nothing when unlimited.
std::optional<int> processors(std::optional<double> quota, std::optional<double> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return std::max(1, static_cast<int>(std::ceil(*quota / *period - 1e-9)));
}

// cgroup v2: "max 100000" or "150000 100000".
std::optional<int> quotaV2(const fs::path& file) {
    const auto text = readTextFile(file);
    if (!text) return std::nullopt;
    std::istringstream words(*text);
    std::string quota, period;
    if (!(words >> quota >> period) || quota == "max") return std::nullopt;
    return processors(number(quota), number(period));
}

// cgroup v1: a quota of -1 means none.
std::optional<int> quotaV1(const fs::path& folder) {
    const auto quota = readTextFile(folder / "cpu.cfs_quota_us");
    const auto period = readTextFile(folder / "cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    return processors(number(*quota), number(*period));
}

std::optional<int> tighter(std::optional<int> a, std::optional<int> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The group's folder and every parent up to the mount, each asked in turn.
template <typename Read>
std::optional<int> tightestUp(const fs::path& mount, const std::string& group, Read read) {
    std::optional<int> found;
    fs::path relative = fs::path(group).relative_path();
    while (true) {
        found = tighter(found, read(mount / relative));
        if (relative.empty()) break;
        relative = relative.parent_path();
    }
    return found;
}

} // namespace

int UsableProcessors::count() {
    int allowed = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) allowed = CPU_COUNT(&set);
    if (allowed < 1) allowed = static_cast<int>(std::thread::hardware_concurrency());
    return count(allowed, SystemInfo::Roots{});
}

int UsableProcessors::count(int allowed, const SystemInfo::Roots& roots) {
    int usable = std::max(allowed, 1);
    if (const auto limit = quota(roots)) usable = std::min(usable, *limit);
    return usable;
}

std::optional<int> UsableProcessors::quota(const SystemInfo::Roots& roots) {
    const auto groups = readTextFile(roots.proc / "self/cgroup");
    if (!groups) return std::nullopt;
    const fs::path mount = roots.sys / "fs/cgroup";
    std::optional<int> found;
    std::istringstream lines(*groups);
    for (std::string line; std::getline(lines, line);) {
        // hierarchy-id:controllers:path
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (controllers.empty()) {
            const fs::path unified = fs::exists(mount / "cgroup.controllers") ? mount : mount / "unified";
            found = tighter(found, tightestUp(unified, group, [](const fs::path& f) { return quotaV2(f / "cpu.max"); }));
            continue;
        }
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');) {
            if (name != "cpu") continue;
            for (const char* folder : {"cpu", "cpu,cpuacct", "cpuacct,cpu"}) {
                if (!fs::exists(mount / folder)) continue;
                found = tighter(found, tightestUp(mount / folder, group, quotaV1));
                break;
            }
        }
    }
    return found;
}

} // namespace quillmere

#include "Platform/Power/PowerSysfs.h"

#include "QuillmereBase/TextFile.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <string>
#include <system_error>

namespace quillmere {

namespace {

namespace fs = std::filesystem;

// Sysfs values end in a newline.
std::optional<std::string> readText(const fs::path& file) {
    auto text = readTextFile(file);
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ' || text->back() == '\t' || text->back() == '\r'))
        text->pop_back();
    return text;
}

std::optional<std::int64_t> readInteger(const fs::path& file) {
    const auto text = readText(file);
    if (!text || text->empty()) return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// Folder names in order, so that "the first source" means the same on every run.
std::optional<std::vector<fs::path>> sortedChildren(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return std::nullopt;
    std::vector<fs::path> children;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error) return std::nullopt;
        children.push_back(it->path());
    }
    std::sort(children.begin(), children.end());
    return children;
}

bool isExternalSupply(const std::string& type) { return type != "Battery" && type != "UPS"; }

PowerSourceDescription describeBattery(const fs::path& folder) {
    PowerSourceDescription source;
    const auto scope = readText(folder / "scope");
    source.type = scope && *scope == "Device" ? "DeviceBattery" : "InternalBattery";
    // The kernel's own percentage first; raw counters only where it is missing.
    if (const auto percent = readInteger(folder / "capacity")) {
        source.currentCapacity = percent;
        source.maxCapacity = 100;
    } else if (const auto now = readInteger(folder / "energy_now"), full = readInteger(folder / "energy_full");
               now && full) {
        source.currentCapacity = now;
        source.maxCapacity = full;
    } else if (const auto charge = readInteger(folder / "charge_now"), chargeFull = readInteger(folder / "charge_full");
               charge && chargeFull) {
        source.currentCapacity = charge;
        source.maxCapacity = chargeFull;
    }
    if (const auto status = readText(folder / "status")) source.isCharging = *status == "Charging";
    return source;
}

int zoneLevel(const fs::path& zone) {
    const auto temp = readInteger(zone / "temp");
    if (!temp) return 0;
    int level = 0;
    for (int trip = 0; trip < 64; ++trip) {
        const std::string prefix = "trip_point_" + std::to_string(trip);
        const auto type = readText(zone / (prefix + "_type"));
        if (!type) break;
        const auto limit = readInteger(zone / (prefix + "_temp"));
        if (!limit || *limit <= 0 || *temp < *limit) continue;
        if (*type == "critical" || *type == "hot") level = std::max(level, 3);
        else if (*type == "passive") level = std::max(level, 2);
        else if (*type == "active") level = std::max(level, 1);
    }
    return level;
}

} // namespace

PowerSysfs::PowerSysfs(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::vector<PowerSourceDescription>> PowerSysfs::powerSources() const {
    const auto supplies = sortedChildren(root_ / "power_supply");
    if (!supplies) return std::nullopt;

    bool external = false;
    std::vector<std::pair<std::string, fs::path>> typed;
    for (const fs::path& folder : *supplies) {
        const auto type = readText(folder / "type");
        if (!type) continue;
        if (isExternalSupply(*type) && readInteger(folder / "online").value_or(0) == 1) external = true;
        typed.emplace_back(*type, folder);
    }

    std::vector<PowerSourceDescription> sources;
    for (const auto& [type, folder] : typed) {
        PowerSourceDescription source;
        if (type == "Battery") {
            source = describeBattery(folder);
        } else {
            source.type = type;
        }
        source.powerSourceState = external ? "AC Power" : "Battery Power";
        sources.push_back(std::move(source));
    }
    return sources;
}

int PowerSysfs::thermalState() const {
    const auto entries = sortedChildren(root_ / "thermal");
    if (!entries) return 0;
    int level = 0;
    for (const fs::path& entry : *entries) {
        if (entry.filename().string().rfind("thermal_zone", 0) != 0) continue;
        level = std::max(level, zoneLevel(entry));
    }
    return level;
}

} // namespace quillmere

#pragma once

#include "Platform/Power/PowerSourceDescription.h"

#include <filesystem>
#include <optional>
#include <vector>

namespace quillmere {

// Power sources and thermal state from the kernel's class folders
// (power_supply and thermal under the root, /sys/class on a real system).
class PowerSysfs {
public:
    explicit PowerSysfs(std::filesystem::path root = "/sys/class");

    // Every supply in folder-name order; nothing when the power_supply folder
    // cannot be listed.
    std::optional<std::vector<PowerSourceDescription>> powerSources() const;

    // 0 nominal, 1 fair, 2 serious, 3 critical: the hottest zone against its
    // own trip points (an active trip reached is fair, a passive one serious,
    // a hot or critical one critical). 0 when nothing can be read.
    int thermalState() const;

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

} // namespace quillmere

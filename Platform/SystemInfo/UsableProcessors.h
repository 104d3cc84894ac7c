#pragma once

#include "Platform/SystemInfo/SystemInfo.h"

#include <optional>

namespace quillmere {

// How many processors this process can keep busy: the ones its affinity mask
// allows, cut to its control group's CPU quota (rounded up). What
// hardware_concurrency reports is the machine's, not the process's.
class UsableProcessors {
public:
    static int count();
    // With the affinity mask's count given, and the kernel's files under roots.
    static int count(int allowed, const SystemInfo::Roots& roots);
    // The tightest quota of this process's control group and its parents, in
    // processors rounded up (cgroup v2 cpu.max, or v1 cfs quota and period);
    // nothing when none is set.
    static std::optional<int> quota(const SystemInfo::Roots& roots);
};

} // namespace quillmere

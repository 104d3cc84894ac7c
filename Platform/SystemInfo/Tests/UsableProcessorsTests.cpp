#include "Platform/SystemInfo/UsableProcessors.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::TemporaryFolder;

TEST(UsableProcessors, TheTightestOfMaskAndQuota) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files; // under the fixture root
        int allowed;
        int usable;
    };
    const std::string v2 = "proc/self/cgroup";
    const Case cases[] = {
        {"no control group file", {}, 6, 6},
        {"v2 without a quota", {{v2, "0::/app\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                                {"sys/fs/cgroup/app/cpu.max", "max 100000\n"}}, 8, 8},
        {"v2 quota of 1.5 rounds up", {{v2, "0::/app\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                                       {"sys/fs/cgroup/app/cpu.max", "150000 100000\n"}}, 8, 2},
        {"a parent's quota binds", {{v2, "0::/a/b\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                                    {"sys/fs/cgroup/a/cpu.max", "300000 100000\n"},
                                    {"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"}}, 8, 3},
        {"the mask is tighter than the quota", {{v2, "0::/app\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                                                {"sys/fs/cgroup/app/cpu.max", "600000 100000\n"}}, 2, 2},
        {"v2 under a hybrid mount", {{v2, "1:cpu:/\n0::/svc\n"}, {"sys/fs/cgroup/unified/svc/cpu.max", "50000 100000\n"}},
         8, 1},
        {"v1 quota", {{v2, "4:memory:/x\n3:cpu,cpuacct:/job\n"},
                      {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "400000\n"},
                      {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}}, 8, 4},
        {"v1 without a quota", {{v2, "3:cpu:/job\n"}, {"sys/fs/cgroup/cpu/job/cpu.cfs_quota_us", "-1\n"},
                                {"sys/fs/cgroup/cpu/job/cpu.cfs_period_us", "100000\n"}}, 8, 8},
        {"garbage reads as no quota", {{v2, "0::/app\n"}, {"sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                                       {"sys/fs/cgroup/app/cpu.max", "lots\n"}}, 5, 5},
        {"an empty mask still leaves one", {}, 0, 1},
    };
    for (const Case& c : cases) {
        TemporaryFolder root;
        for (const auto& [file, text] : c.files) root.write(file, text);
        EXPECT_EQ(UsableProcessors::count(c.allowed, {root.path() / "proc", root.path() / "sys"}), c.usable) << c.what;
    }
}

} // namespace
} // namespace quillmere

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace quillmere {

// Parent links between processes, from the kernel's process folder (/proc
// on a real system; any folder of <pid>/stat files in tests). Read afresh
// on every call: processes come and go.
class ProcessTree {
public:
    explicit ProcessTree(std::filesystem::path root = "/proc");

    // The parent named by a stat line ("42 (some name) S 17 ..."); none for
    // a line that does not parse or names no parent.
    static std::optional<std::int32_t> parentInStat(std::string_view stat);

    // The process, then its parent, grandparent and so on, as far as the
    // folder tells; just the process when it is not there.
    std::vector<std::int32_t> lineage(std::int32_t processID) const;

private:
    std::filesystem::path root_;
};

} // namespace quillmere

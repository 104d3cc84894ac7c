#include "Platform/AudioCapture/AudioCaptureFilter.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

// A stream belongs to an application when its process or any ancestor does.
TEST(AudioCaptureFilter, AnApplicationIsItsProcessWithEveryDescendant) {
    using Lineage = std::vector<std::int32_t>;
    const auto app = AudioCaptureFilter::includingApplications({10});
    const auto others = AudioCaptureFilter::excludingApplications({10});
    const std::tuple<const char*, Lineage, bool> cases[] = {
        {"the application itself", {10, 1}, true},
        {"a grandchild", {30, 20, 10, 1}, true},
        {"another tree", {40, 1}, false},
        {"no process named", {}, false},
    };
    for (const auto& [what, lineage, listed] : cases) {
        EXPECT_EQ(app.admits(lineage), listed) << what;
        EXPECT_EQ(others.admits(lineage), !listed) << what;
    }
}

} // namespace
} // namespace quillmere

#include "Platform/AudioCapture/ProcessTree.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quillmere {
namespace {

TEST(ProcessTree, TheParentIsTheFieldAfterTheStateWhateverTheName) {
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"42 (paplay) S 17 42 17 0 -1 4194560", 17},
        {"42 (Web Content) R 1 42", 1},
        {"42 (a) b) (c) S 9 42\n", 9},
        {"42 (kthreadd) S 0 0 0", std::nullopt},
        {"42 (x) S", std::nullopt},
        {"42 (x) S 17x 1", std::nullopt},
        {"42 x S 17", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [stat, parent] : cases) EXPECT_EQ(ProcessTree::parentInStat(stat), parent) << stat;
}

TEST(ProcessTree, ALineageClimbsToTheTopAndStopsAtWhatTheFolderLacksOrLoops) {
    testing::TemporaryFolder proc;
    proc.writeLine("1/stat", "1 (init) S 0 1 1");
    proc.writeLine("10/stat", "10 (xterm) S 1 10 10");
    proc.writeLine("20/stat", "20 (bash (login)) S 10 20 20");
    proc.writeLine("30/stat", "30 (paplay) S 20 30 20");
    proc.writeLine("41/stat", "41 (orphan of a gone parent) S 40 41 41");
    proc.writeLine("50/stat", "50 (a) S 51 50 50");
    proc.writeLine("51/stat", "51 (b) S 50 51 51");
    const ProcessTree tree(proc.path());
    const std::pair<std::int32_t, std::vector<std::int32_t>> cases[] = {
        {30, {30, 20, 10, 1}},
        {10, {10, 1}},
        {41, {41, 40}},
        {99, {99}},
        {50, {50, 51}},
    };
    for (const auto& [pid, lineage] : cases) EXPECT_EQ(tree.lineage(pid), lineage) << pid;
    // The real folder knows this process's parent.
    const auto own = ProcessTree().lineage(static_cast<std::int32_t>(::getpid()));
    ASSERT_GE(own.size(), 2u);
    EXPECT_EQ(own[1], static_cast<std::int32_t>(::getppid()));
}

} // namespace
} // namespace quillmere

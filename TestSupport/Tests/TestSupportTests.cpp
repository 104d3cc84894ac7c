#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

namespace quillmere::testing {
namespace {

// A test's temporary folder goes with whatever the test closed in it, also
// when the test's account is not root.
TEST(TemporaryFolder, NothingIsLeftOfWhatATestClosed) {
    OtherAccount account(54321);
    const auto base = account.folder();
    ASSERT_TRUE(base) << base.error();
    ChildProcess test = ChildProcess::fork([&] {
        if (!account.become() || ::setenv("TMPDIR", base->c_str(), 1) != 0) return 2;
        const TemporaryFolder folder;
        folder.write("a/b/c/file", "kept");
        // Only searchable, within one closed, within one not writable.
        const std::pair<const char*, mode_t> closed[] = {{"a/b/c", 0100}, {"a/b", 0}, {"a", 0500}};
        for (const auto& [name, mode] : closed)
            if (::chmod((folder.path() / name).c_str(), mode) != 0) return 3;
        return 0;
    });
    EXPECT_EQ(test.wait(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(*base));
}

// A program in a folder closed to the account (a clone in a folder of
// mktemp -d) runs from a copy, as the account.
TEST(OtherAccount, RunsAProgramItCannotReachFromACopy) {
    if (!OtherAccount::possible()) GTEST_SKIP() << "only root acts as another account";
    const TemporaryFolder closed;
    const auto program = closed.path() / "id";
    std::filesystem::copy_file("/usr/bin/id", program);
    OtherAccount account(54321);
    const auto runnable = account.runnable(program);
    ASSERT_TRUE(runnable) << runnable.error();
    EXPECT_NE(*runnable, program);
    ChildProcess run(account.command({runnable->string(), "-u"}), {.output = closed.path() / "run.txt"});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.output(), "54321\n");
}

} // namespace
} // namespace quillmere::testing

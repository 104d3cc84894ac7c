#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace quillmere::testing {
namespace {

// A program in a folder closed to others (a clone in a folder of mktemp -d)
// runs from a copy; one in an open folder from where it is. Either way it
// runs as the account.
TEST(OtherAccount, RunsAProgramFromWhereItMayReachIt) {
    if (!OtherAccount::possible()) GTEST_SKIP() << "only root acts as another account";
    const struct {
        mode_t folder;
        bool reachable;
    } cases[] = {{0700, false}, {0711, true}, {0755, true}};
    for (const auto& c : cases) {
        const TemporaryFolder folder;
        const auto program = folder.path() / "id";
        std::filesystem::copy_file("/usr/bin/id", program);
        ASSERT_EQ(::chmod(folder.path().c_str(), c.folder), 0);
        OtherAccount account(54321);
        EXPECT_EQ(account.may(program, X_OK), c.reachable) << std::oct << c.folder;
        ChildProcess direct(account.command({program.string(), "-u"}), {.output = folder.path() / "direct.txt"});
        EXPECT_EQ(direct.wait(), c.reachable ? 0 : 126) << std::oct << c.folder;

        const auto runnable = account.runnable(program);
        ASSERT_TRUE(runnable) << runnable.error();
        EXPECT_EQ(*runnable == program, c.reachable) << runnable->string();
        ChildProcess run(account.command({runnable->string(), "-u"}), {.output = folder.path() / "run.txt"});
        EXPECT_EQ(run.wait(), 0) << std::oct << c.folder;
        EXPECT_EQ(run.output(), "54321\n") << std::oct << c.folder;
    }
}

} // namespace
} // namespace quillmere::testing

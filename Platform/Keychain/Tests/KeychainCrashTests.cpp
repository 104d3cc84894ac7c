#include "Platform/Keychain/Keychain.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmere {
namespace {

KeychainQuery itemQuery() {
    KeychainQuery query;
    query.service = "crash";
    query.account = "test";
    return query;
}

// Large enough that a kill usually lands in the middle of writing it.
Bytes version(std::uint8_t fill) { return Bytes(512 * 1024, fill); }

TEST(KeychainCrash, AKilledWriterLeavesTheOldItemOrTheNewOne) {
    testing::TemporaryFolder folder;
    const Keychain keychain(folder.path() / "keychain");
    KeychainItem item;
    item.service = "crash";
    item.account = "test";
    item.data = version(0xA0);
    ASSERT_EQ(keychain.add(item), KeychainStatus::success);

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(200, 20000);
    for (int round = 0; round < 40; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (std::uint8_t fill = 0xB0;; fill = fill == 0xB0 ? 0xA0 : 0xB0) {
                const Bytes data = version(fill);
                if (keychain.update(itemQuery(), viewOf(data)) != KeychainStatus::success) ::_exit(2);
            }
        }
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own in round " << round;

        auto stored = keychain.copyAll(itemQuery());
        ASSERT_TRUE(stored.has_value()) << "round " << round;
        ASSERT_EQ(stored->size(), 1u);
        const Bytes& data = stored->front().data;
        EXPECT_TRUE(data == version(0xA0) || data == version(0xB0)) << "broken item in round " << round;
    }
}

TEST(KeychainCrash, ProcessesAddingTheSameItemAtOnceMakeOneItem) {
    testing::TemporaryFolder folder;
    const Keychain keychain(folder.path() / "keychain");
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    constexpr int writers = 8;
    std::vector<pid_t> children;
    for (int i = 0; i < writers; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(gate[1]);
            char go = 0;
            if (::read(gate[0], &go, 1) < 0) ::_exit(3);
            KeychainItem item;
            item.service = "race";
            item.account = "one";
            item.data = Bytes(1, static_cast<std::uint8_t>(i));
            const std::int32_t status = keychain.add(item);
            ::_exit(status == KeychainStatus::success ? 0 : status == KeychainStatus::duplicateItem ? 1 : 2);
        }
        children.push_back(child);
    }
    ::close(gate[0]);
    ::close(gate[1]); // every child's read returns at once
    int added = 0;
    int refused = 0;
    int winner = -1;
    for (int i = 0; i < writers; ++i) {
        int status = 0;
        ASSERT_EQ(::waitpid(children[static_cast<std::size_t>(i)], &status, 0), children[static_cast<std::size_t>(i)]);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 0) {
            ++added;
            winner = i;
        } else if (WEXITSTATUS(status) == 1) {
            ++refused;
        }
    }
    EXPECT_EQ(added, 1);
    EXPECT_EQ(refused, writers - 1);
    KeychainQuery query;
    query.service = "race";
    query.account = "one";
    EXPECT_EQ(keychain.copyFirst(query)->data, Bytes(1, static_cast<std::uint8_t>(winner)));
}

} // namespace
} // namespace quillmere

#include "Platform/Keychain/Keychain.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <vector>

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
        testing::ChildProcess writer = testing::ChildProcess::fork([&] {
            for (std::uint8_t fill = 0xB0;; fill = fill == 0xB0 ? 0xA0 : 0xB0) {
                const Bytes data = version(fill);
                if (keychain.update(itemQuery(), viewOf(data)) != KeychainStatus::success) return 2;
            }
        });
        // A random moment of the writing: how long is not asserted on.
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        writer.kill();
        ASSERT_EQ(writer.wait(), 128 + SIGKILL) << "the writer stopped on its own in round " << round;

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
    std::vector<testing::ChildProcess> children;
    for (int i = 0; i < writers; ++i) {
        children.push_back(testing::ChildProcess::fork([&] {
            ::close(gate[1]);
            char go = 0;
            if (::read(gate[0], &go, 1) < 0) return 3;
            KeychainItem item;
            item.service = "race";
            item.account = "one";
            item.data = Bytes(1, static_cast<std::uint8_t>(i));
            const KeychainOutcome status = keychain.add(item);
            return status == KeychainStatus::success ? 0 : status == KeychainStatus::duplicateItem ? 1 : 2;
        }));
    }
    ::close(gate[0]);
    ::close(gate[1]); // every child's read returns at once
    int added = 0;
    int refused = 0;
    int winner = -1;
    for (int i = 0; i < writers; ++i) {
        const int status = children[static_cast<std::size_t>(i)].wait();
        ASSERT_LE(status, 2);
        if (status == 0) {
            ++added;
            winner = i;
        } else if (status == 1) {
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

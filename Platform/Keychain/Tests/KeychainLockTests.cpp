#include "Platform/Keychain/Keychain.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>

namespace quillmere {
namespace {

using Clock = std::chrono::steady_clock;

KeychainItem password(const std::string& account, std::uint8_t data) {
    KeychainItem item;
    item.service = "lock";
    item.account = account;
    item.data = Bytes(1, data);
    return item;
}

KeychainQuery queryOf(const std::string& account) {
    KeychainQuery query;
    query.service = "lock";
    query.account = account;
    return query;
}

// Every way of changing the keychain, each of which takes the lock.
struct Change {
    const char* name;
    std::function<KeychainOutcome(const Keychain&, bool& ran)> run;
};

const Change changes[] = {
    {"add", [](const Keychain& k, bool&) { return k.add(password("new", 1)); }},
    {"update", [](const Keychain& k, bool&) { return k.update(queryOf("kept"), Bytes{2}); }},
    {"remove", [](const Keychain& k, bool&) { return k.remove(queryOf("kept")); }},
    {"exclusively", [](const Keychain& k, bool& ran) { return k.exclusively([&](const Keychain&) { ran = true; }); }},
};

TEST(KeychainLock, AStoppedHolderMakesAChangeFailWithinTheWaitNamingTheLock) {
    testing::TemporaryFolder folder;
    constexpr std::chrono::milliseconds wait{300};
    const Keychain keychain(folder.path() / "keychain", wait);
    ASSERT_EQ(keychain.add(password("kept", 7)), KeychainStatus::success);
    {
        const auto holder = testing::ChildProcess::holdingLock(keychain.lockFile());
        for (const Change& change : changes) {
            bool ran = false;
            const auto began = Clock::now();
            const KeychainOutcome outcome = change.run(keychain, ran);
            const auto took = Clock::now() - began;
            EXPECT_EQ(outcome, KeychainStatus::io) << change.name;
            EXPECT_EQ(outcome.description(),
                      keychain.lockFile().string() +
                          " is held by another Quillmere that does not answer; nothing was changed")
                << change.name;
            EXPECT_GE(took, wait) << change.name;
            EXPECT_FALSE(ran) << change.name;
            // Reading needs no lock, and nothing was changed.
            EXPECT_EQ(keychain.copyFirst(queryOf("kept")).value().data, Bytes{7}) << change.name;
            EXPECT_EQ(keychain.copyFirst(queryOf("new")).error(), KeychainStatus::itemNotFound) << change.name;
        }
    }
    // Once the holder is gone, every change goes through.
    for (const Change& change : changes) {
        bool ran = false;
        EXPECT_EQ(change.run(keychain, ran), KeychainStatus::success) << change.name;
        if (std::string(change.name) == "remove") {
            ASSERT_EQ(keychain.add(password("kept", 7)), KeychainStatus::success);
        }
    }
}

TEST(KeychainLock, ALockFileThatCannotBeUsedIsNamedAsOneThatHoldsNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path& lock)> spoil;
        bool rootOnly = false;
    };
    const Case cases[] = {
        {"writable by others",
         [](const auto& lock) { std::filesystem::permissions(lock, std::filesystem::perms::all); }},
        {"a folder",
         [](const auto& lock) {
             std::filesystem::remove(lock);
             std::filesystem::create_directory(lock);
         }},
        {"a symbolic link",
         [](const auto& lock) {
             std::filesystem::remove(lock);
             std::filesystem::create_symlink(lock.parent_path().parent_path() / "elsewhere", lock);
         }},
        {"another account's", [](const auto& lock) { ASSERT_EQ(::chown(lock.c_str(), 12345, 12345), 0); }, true},
    };
    for (const Case& c : cases) {
        if (c.rootOnly && ::geteuid() != 0) continue;
        testing::TemporaryFolder folder;
        const Keychain keychain(folder.path() / "keychain");
        ASSERT_EQ(keychain.add(password("kept", 7)), KeychainStatus::success);
        c.spoil(keychain.lockFile());
        bool ran = false;
        const KeychainOutcome outcome = keychain.exclusively([&](const Keychain&) { ran = true; });
        EXPECT_FALSE(ran) << c.name;
        EXPECT_EQ(outcome.file, keychain.lockFile()) << c.name;
        EXPECT_TRUE(outcome.description().ends_with("; it holds nothing and can be removed"))
            << c.name << ": " << outcome.description();
        EXPECT_EQ(keychain.copyFirst(queryOf("kept")).value().data, Bytes{7}) << c.name;
    }
}

} // namespace
} // namespace quillmere

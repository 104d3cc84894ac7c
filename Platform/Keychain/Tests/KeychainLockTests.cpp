#include "Platform/Keychain/Keychain.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace quillmere {
namespace {

TEST(KeychainLock, AChangeThatCannotTakeTheLockNamesItAndChangesNothing) {
    constexpr std::chrono::milliseconds wait{300};
    std::optional<testing::ChildProcess> holder;
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path& lock)> spoil;
        std::string_view says;
    };
    const Case cases[] = {
        {"held by a host that does not answer",
         [&](const auto& lock) { holder = testing::ChildProcess::holdingLock(lock); },
         " is held by another Quillmere that does not answer; nothing was changed"},
        {"a folder",
         [](const auto& lock) {
             std::filesystem::remove(lock);
             std::filesystem::create_directory(lock);
         },
         "; it holds nothing and can be removed"},
        {"writable by others",
         [](const auto& lock) { std::filesystem::permissions(lock, std::filesystem::perms::all); },
         "; it holds nothing and can be removed"},
    };
    for (const Case& c : cases) {
        testing::TemporaryFolder folder;
        const Keychain keychain(folder.path() / "keychain", wait);
        KeychainItem item;
        item.account = "kept";
        ASSERT_EQ(keychain.add(item), KeychainStatus::success);
        c.spoil(keychain.lockFile());
        item.account = "new";
        const auto began = std::chrono::steady_clock::now();
        const KeychainOutcome outcome = keychain.add(item);
        if (holder) {
            EXPECT_GE(std::chrono::steady_clock::now() - began, wait);
            holder.reset();
        }
        EXPECT_EQ(outcome.file, keychain.lockFile()) << c.name;
        EXPECT_TRUE(outcome.description().starts_with(keychain.lockFile().string()) &&
                    outcome.description().ends_with(c.says))
            << c.name << ": " << outcome.description();
        EXPECT_EQ(keychain.copyAll(KeychainQuery{}).value().size(), 1u) << c.name;
    }
}

} // namespace
} // namespace quillmere

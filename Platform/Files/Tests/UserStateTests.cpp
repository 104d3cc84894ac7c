#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace quillmere {
namespace {

TEST(UserFolders, AMissingOrRelativePlaceFallsBackToTheAccountsHomeAndNeverElsewhere) {
    struct Case {
        const char* name;
        const char* variable;
        const char* home;
        std::optional<std::string> accountHome;
        std::optional<std::string> expected; // none: an error
    };
    const Case cases[] = {
        {"variable absolute", "/data", "/home/u", "/home/p", "/data"},
        {"variable relative", "data", "/home/u", "/home/p", "/home/u/.local/share"},
        {"home unset", nullptr, nullptr, "/home/p", "/home/p/.local/share"},
        {"home relative", nullptr, "relhome", "/home/p", "/home/p/.local/share"},
        {"home empty", "", "", "/home/p", "/home/p/.local/share"},
        {"no home anywhere", nullptr, nullptr, std::nullopt, std::nullopt},
        {"relative account home", nullptr, "relhome", "home/p", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto found = UserFolders::resolve(UserFolders::data, c.variable, c.home, c.accountHome);
        if (c.expected) {
            EXPECT_EQ(found.value_or("(error)"), std::filesystem::path(*c.expected)) << c.name;
        } else {
            ASSERT_FALSE(found.has_value()) << c.name << ": " << found->string();
            EXPECT_NE(found.error().find("no home folder"), std::string::npos) << c.name;
        }
    }
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

TEST(PrivateFiles, OnlyTheAccountsOwnStateIsUsedAndWhatOthersMayReadIsClosedFirst) {
    testing::TemporaryFolder temporary;
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner; // 0: this account
        const char* refusal; // none: used, and private afterwards
    };
    const bool root = ::geteuid() == 0;
    const Case cases[] = {
        {"private", 0700, 0, nullptr},
        {"readable by others", 0755, 0, nullptr},
        {"writable by others", 0777, 0, "can be changed by other accounts"},
        {"another account's", 0700, 12345, "belongs to another account (uid 12345)"},
    };
    for (const Case& c : cases) {
        if (c.owner != 0 && !root) continue; // only root can give a folder away
        const std::filesystem::path folder = temporary.path() / c.name;
        const std::filesystem::path file = folder / "record";
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        temporary.write(std::filesystem::path(c.name) / "record", "secret");
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        ASSERT_EQ(::chmod(file.c_str(), c.mode & 0666), 0);
        if (c.owner != 0) {
            ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
            ASSERT_EQ(::chown(file.c_str(), c.owner, c.owner), 0);
        }
        const auto folderUse = PrivateFiles::folder(folder, false);
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const auto fileUse = PrivateFiles::file(fd);
        ::close(fd);
        if (c.refusal == nullptr) {
            EXPECT_EQ(folderUse.value_or(PrivateFiles::Folder::missing), PrivateFiles::Folder::ready) << c.name;
            EXPECT_TRUE(fileUse.has_value()) << c.name;
            EXPECT_EQ(modeOf(folder), 0700u) << c.name;
            EXPECT_EQ(modeOf(file), 0600u) << c.name;
        } else {
            ASSERT_FALSE(folderUse.has_value()) << c.name;
            ASSERT_FALSE(fileUse.has_value()) << c.name;
            EXPECT_TRUE(folderUse.error().starts_with(c.refusal)) << c.name << ": " << folderUse.error();
            EXPECT_TRUE(fileUse.error().starts_with(c.refusal)) << c.name << ": " << fileUse.error();
            EXPECT_EQ(modeOf(folder), c.mode) << c.name << ": left as it was";
        }
    }
    EXPECT_EQ(PrivateFiles::folder(temporary.path() / "absent", false).value(), PrivateFiles::Folder::missing);
    EXPECT_EQ(PrivateFiles::folder(temporary.path() / "made" / "here", true).value(), PrivateFiles::Folder::ready);
    EXPECT_EQ(modeOf(temporary.path() / "made"), 0700u);
}

} // namespace
} // namespace quillmere

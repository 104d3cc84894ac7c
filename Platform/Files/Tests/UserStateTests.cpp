#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

namespace quillmere {
namespace {

TEST(UserFolders, AMissingOrRelativePlaceFallsBackToTheAccountsHomeAndNeverElsewhere) {
    const std::optional<std::string> none;
    const struct {
        const char* variable;
        const char* home;
        std::optional<std::string> accountHome;
        const char* expected; // none: no home
    } cases[] = {
        {"/data", "/home/u", "/home/p", "/data"},
        {"data", "/home/u", "/home/p", "/home/u/.local/share"},
        {nullptr, nullptr, "/home/p", "/home/p/.local/share"},
        {"", "relhome", "/home/p", "/home/p/.local/share"},
        {nullptr, nullptr, none, nullptr},
        {nullptr, "relhome", "home/p", nullptr},
    };
    for (const auto& c : cases) {
        const auto found = UserFolders::resolve(UserFolders::data, c.variable, c.home, c.accountHome);
        EXPECT_EQ(found.has_value() ? found->string() : found.error().substr(0, 35),
                  c.expected ? c.expected : "this account has no home folder: HO")
            << (c.home ? c.home : "(no HOME)");
    }
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

TEST(PrivateFiles, OnlyTheAccountsOwnStateIsUsedAndWhatOthersMayDoIsTakenAway) {
    testing::TemporaryFolder temporary;
    using Kind = PrivateFiles::Problem::Kind;
    const struct {
        mode_t mode;
        uid_t owner; // 0: this account
        mode_t after; // 0: refused, left as it was
        const char* refusal;
    } cases[] = {{0700, 0, 0700, ""},
                 {0755, 0, 0700, ""},
                 {0500, 0, 0500, ""},
                 {0777, 0, 0, "can be changed by other accounts (mode 0777)"},
                 {0700, 12345, 0, "belongs to another account (uid 12345)"}};
    for (const auto& c : cases) {
        if (c.owner != 0 && ::geteuid() != 0) continue; // only root gives a folder away
        const auto folder = temporary.path() / std::to_string(c.mode + c.owner);
        const auto file = temporary.write(folder.filename() / "record", "secret");
        ASSERT_EQ(::chmod(file.c_str(), c.mode & 0666), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        ASSERT_TRUE(c.owner == 0 || (::chown(folder.c_str(), c.owner, 0) == 0 && ::chown(file.c_str(), c.owner, 0) == 0));
        const auto folderUse = PrivateFiles::folder(folder, false);
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        const auto fileUse = PrivateFiles::file(fd);
        ::close(fd);
        EXPECT_EQ(folderUse.has_value(), c.after != 0) << std::oct << c.mode;
        EXPECT_EQ(fileUse.has_value(), c.after != 0) << std::oct << c.mode;
        if (c.after == 0) {
            EXPECT_EQ(folderUse.error().reason, c.refusal);
            EXPECT_EQ(folderUse.error().kind, Kind::foreign);
            EXPECT_EQ(fileUse.error().kind, Kind::foreign);
        }
        EXPECT_EQ(modeOf(folder), c.after != 0 ? c.after : c.mode) << std::oct << c.mode;
        EXPECT_EQ(modeOf(file), (c.after != 0 ? c.after : c.mode) & 0666) << std::oct << c.mode;
    }
    EXPECT_EQ(PrivateFiles::folder(temporary.path() / "absent", false).value(), PrivateFiles::Folder::missing);
    EXPECT_EQ(PrivateFiles::folder(temporary.path() / "made" / "here", true).value(), PrivateFiles::Folder::ready);
    EXPECT_EQ(modeOf(temporary.path() / "made"), 0700u);
}

// Whoever may change a folder above the state could swap the state for a link
// to anything of the user's (the home): such state is not used, and nothing
// is changed or made through it.
TEST(PrivateFiles, StateIsUsedOnlyBeneathFoldersThatNoOtherAccountCanChange) {
    // The folder above (foreign: another account's), by its path, with the state a link to "home" or named by a link.
    enum Via { path, foreign, linkedState, ownLink, otherLink };
    // The refusal, {} for the test's folder; empty: the state is used.
    const std::tuple<mode_t, Via, std::string> cases[] = {
        {01777, path, ""},
        {0777, path, "is inside {}/above, which can be changed by other accounts (mode 0777)"},
        {0755, foreign, "is inside {}/above, which belongs to another account (uid 12345)"},
        {0700, ownLink, ""},
        {0757, ownLink, "is inside {}/above, which can be changed by other accounts (mode 0757)"},
        {0700, otherLink, "is inside {}/link, a symbolic link of another account (uid 12345)"},
        {0777, linkedState, "is inside {}/above, which can be changed by other accounts (mode 0777)"},
        {0700, linkedState, "is a symbolic link, not a folder"},
    };
    testing::TemporaryFolder temporary;
    for (int index = 0; const auto& [mode, via, reason] : cases) {
        const auto base = temporary.path() / std::to_string(index++);
        const auto above = base / "above", home = base / "home", link = base / "link";
        if ((via == foreign || via == otherLink) && ::geteuid() != 0) continue; // only root gives things away
        for (const auto& folder : {home, above}) std::filesystem::create_directories(folder);
        if (via == linkedState) std::filesystem::create_symlink(home, above / "state");
        else std::filesystem::create_directory(above / "state");
        ASSERT_EQ(::chmod(home.c_str(), 0755) | ::chmod((above / "state").c_str(), 0755), 0);
        ASSERT_EQ(::chmod(above.c_str(), mode) | (via == foreign ? ::chown(above.c_str(), 12345, 12345) : 0), 0);
        if (via >= ownLink) std::filesystem::create_symlink("above", link);
        ASSERT_EQ(via == otherLink ? ::chmod(base.c_str(), 01777) | ::lchown(link.c_str(), 12345, 12345) : 0, 0);
        const auto named = via >= ownLink ? link : above;
        const auto state = PrivateFiles::folder(named / "state", false);
        const auto made = PrivateFiles::folder(named / "made" / "here", true);
        const bool fromAbove = reason.starts_with("is inside");
        EXPECT_EQ(state ? "" : state.error().reason, fmt::format(fmt::runtime(reason), base.string())) << index;
        // Only a refusal from above says that moving the state aside would not help.
        EXPECT_EQ(!state && state.error().kind == PrivateFiles::Problem::Kind::above, fromAbove) << index;
        EXPECT_EQ(made.has_value() + std::filesystem::exists(above / "made"), fromAbove ? 0 : 2) << index;
        EXPECT_EQ(modeOf(home), 0755u) << index << ": nothing is changed through a link";
        EXPECT_EQ(modeOf(above / "state"), reason.empty() ? 0700u : 0755u) << index;
        EXPECT_EQ(modeOf(above), mode) << index << ": a folder above the state is left as it is";
    }
}

} // namespace
} // namespace quillmere

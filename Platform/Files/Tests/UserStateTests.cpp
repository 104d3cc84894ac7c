#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
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
// is changed or made through it. In a user namespace that maps only the
// account's id, as a rootless container does, every other owner reads as the
// overflow id: it stands for root's only above the account's runtime folder
// (there, the test's "home"), and the rest holds there.
TEST(PrivateFiles, StateIsUsedOnlyBeneathFoldersThatNoOtherAccountCanChange) {
    // The folder above (foreign: another account's), by its path, with the state a link to "home" or named by a
    // link, or by ".." after a link to "nest/inner", which leads to "nest/above" as the kernel goes.
    enum Via { path, foreign, linkedState, ownLink, otherLink, upFromLink };
    // The refusal, {} for the test's folder and then the overflow id; empty: the state is used. Then whether
    // the state is looked at from a user namespace that maps only the account's id.
    const struct {
        mode_t mode;
        Via via;
        std::string reason;
        bool contained = false;
    } cases[] = {
        {01777, path, ""},
        {0777, path, "is inside {}/above, which can be changed by other accounts (mode 0777)"},
        {0755, foreign, "is inside {}/above, which belongs to another account (uid 12345)"},
        {0700, ownLink, ""},
        {0757, ownLink, "is inside {}/above, which can be changed by other accounts (mode 0757)"},
        {0700, otherLink, "is inside {}/link, a symbolic link of another account (uid 12345)"},
        {0777, linkedState, "is inside {}/above, which can be changed by other accounts (mode 0777)"},
        {0700, linkedState, "is a symbolic link, not a folder"},
        {0777, upFromLink, "is inside {}/nest/above, which can be changed by other accounts (mode 0777)"},
        {01777, path, "", true},
        {0777, path, "is inside {}/above, which can be changed by other accounts (mode 0777)", true},
        {0700, otherLink, "is inside {}/link, a symbolic link of another account (uid {})", true},
        {0755, foreign,
         "is inside {}/above, whose owner cannot be told from inside this container (it shows as uid {})", true},
    };
    constexpr uid_t accountID = 54321; // when root
    testing::TemporaryFolder temporary;
    testing::OtherAccount account(accountID);
    const auto place = account.folder();
    uid_t overflow = 0;
    std::ifstream("/proc/sys/kernel/overflowuid") >> overflow;
    for (int index = 0; const auto& [mode, via, reason, contained] : cases) {
        if (contained && !place) continue; // TMPDIR is out of the account's reach
        const auto base = (contained ? *place : temporary.path()) / std::to_string(index++);
        const auto above = base / (via == upFromLink ? "nest/above" : "above");
        const auto home = base / "home", link = base / "link";
        if ((via == foreign || via == otherLink) && ::geteuid() != 0) continue; // only root gives things away
        for (const auto& folder : {home, above, base / "nest" / "inner"}) std::filesystem::create_directories(folder);
        if (via == linkedState) std::filesystem::create_symlink(home, above / "state");
        else std::filesystem::create_directory(above / "state");
        ASSERT_EQ(::chmod(home.c_str(), 0755) | ::chmod((above / "state").c_str(), 0755), 0);
        ASSERT_EQ(::chmod(above.c_str(), mode), 0);
        if (via >= ownLink) std::filesystem::create_symlink(via == upFromLink ? "nest/inner" : "above", link);
        const bool given = contained && ::geteuid() == 0; // to the account, but for what another account's is below
        for (const auto& entry : std::filesystem::recursive_directory_iterator(base))
            ASSERT_EQ(given ? ::lchown(entry.path().c_str(), accountID, accountID) : 0, 0);
        ASSERT_EQ(given ? ::chown(base.c_str(), accountID, accountID) : 0, 0);
        ASSERT_EQ(via == foreign ? ::chown(above.c_str(), 12345, 12345) : 0, 0);
        ASSERT_EQ(via == otherLink ? ::chmod(base.c_str(), 01777) | ::lchown(link.c_str(), 12345, 12345) : 0, 0);
        const auto named = via == upFromLink ? link / ".." / "above" : via >= ownLink ? link : above;
        // As the state, whether refused from above, made beneath, and whether what is beside the account's home
        // (its password database's, when any) and beside /run/user/<uid> is found missing, not refused.
        const auto look = [&] {
            const auto state = PrivateFiles::folder(named / "state", false);
            const bool made = PrivateFiles::folder(named / "made" / "here", true).has_value();
            const auto beside = [](const std::filesystem::path& place) {
                return PrivateFiles::folder(place.parent_path() / "quillmere-absent" / "state", false).has_value();
            };
            return fmt::format("{}|{:d}|{:d}|{:d}", state ? "" : state.error().reason,
                               !state && state.error().kind == PrivateFiles::Problem::Kind::above, made,
                               beside(UserFolders::accountHome().value_or("/run/user/0")) && beside("/run/user/0"));
        };
        const auto told = base / "told";
        const int status = !contained ? (std::ofstream(told) << look(), 0) : testing::ChildProcess::fork([&] {
            const bool inside = account.become() && testing::enterOwnUserNamespace() &&
                                ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1) == 0;
            return inside ? (std::ofstream(told) << look(), 0) : 77;
        }).wait();
        if (status == 77) GTEST_SKIP() << "no user namespace can be made here (a sanitizer's thread runs)";
        std::stringstream seen;
        seen << std::ifstream(told).rdbuf();
        // Only a refusal from above says that moving the state aside would not help.
        const bool fromAbove = reason.starts_with("is inside");
        EXPECT_EQ(seen.str(), fmt::format("{}|{:d}|{:d}|1", fmt::format(fmt::runtime(reason), base.string(), overflow),
                                          fromAbove, !fromAbove))
            << index;
        EXPECT_EQ(std::filesystem::exists(above / "made"), !fromAbove) << index;
        EXPECT_EQ(modeOf(home), 0755u) << index << ": nothing is changed through a link";
        EXPECT_EQ(modeOf(above / "state"), reason.empty() ? 0700u : 0755u) << index;
        EXPECT_EQ(modeOf(above), mode) << index << ": a folder above the state is left as it is";
    }
}

} // namespace
} // namespace quillmere

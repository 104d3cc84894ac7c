#include "Platform/Files/UserFolders.h"
#include "QuillmereMac/App/LoginItem.h"
#include "QuillmereViewer/ViewerState.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <tuple>

namespace quillmere {
namespace {

TEST(LoginItem, ReadsAsOffWhenTheDesktopWouldNotStartTheEntry) {
    const std::string entry = LoginItem::entryText("/usr/bin/quillmere-host");
    struct Case {
        std::string text;
        bool on;
    };
    const Case cases[] = {
        {entry, true},
        {entry + "Hidden=true\n", false},
        {entry + "Hidden = true\n", false},
        {entry + "Hidden=false\n", true},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nType=Application\n", false},
        {"[Desktop Entry]\r\nX-GNOME-Autostart-enabled=false\r\n", false},
        // Keys of other groups say nothing about the entry itself.
        {entry + "[Desktop Action Off]\nHidden=true\nX-GNOME-Autostart-enabled=false\n", true},
        // Values are case-sensitive booleans; a comment is not a key.
        {entry + "Hidden=True\n# X-GNOME-Autostart-enabled=false\n", true},
    };
    testing::TemporaryFolder folder;
    const LoginItem item = LoginItem::autostart(folder.path(), "/usr/bin/quillmere-host");
    EXPECT_FALSE(item.enabled());
    for (const Case& c : cases) {
        std::ofstream(folder.path() / std::string(LoginItem::entryName), std::ios::trunc) << c.text;
        EXPECT_EQ(item.enabled(), c.on) << c.text;
    }
    // Registering again writes an entry the desktop starts.
    ASSERT_TRUE(item.set(true));
    EXPECT_TRUE(item.enabled());
}

// The autostart entry and the viewer's state go in the account's own folders
// however HOME is given: never under the folder started in, nor at the root,
// and nowhere when the password database names no home for the account.
TEST(UserFoldersInUse, AutostartAndViewerStateFollowTheAccountsHome) {
    const auto account = UserFolders::accountHome();
    const auto under = [&](const std::string& path) { return account ? *account + path : "(none)"; };
    const char* const unset = nullptr;
    const std::tuple<const char*, const char*, std::string, std::string> cases[] = {
        // HOME, XDG_CONFIG_HOME and XDG_DATA_HOME, the entry's folder, the viewer's
        {"/home/u", unset, "/home/u/.config/autostart", "/home/u/.local/share/quillmere-viewer"},
        {"home/u", unset, under("/.config/autostart"), under("/.local/share/quillmere-viewer")},
        {unset, unset, under("/.config/autostart"), under("/.local/share/quillmere-viewer")},
        {unset, "/xdg", "/xdg/autostart", "/xdg/quillmere-viewer"},
    };
    const auto put = [](const char* name, const char* value) { value ? ::setenv(name, value, 1) : ::unsetenv(name); };
    std::map<std::string, std::string> saved;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        if (const char* value = std::getenv(name)) saved[name] = value;
    for (const auto& [home, xdg, autostart, viewer] : cases) {
        put("HOME", home), put("XDG_CONFIG_HOME", xdg), put("XDG_DATA_HOME", xdg);
        EXPECT_EQ(LoginItem::standardFolder().value_or("(none)").string(), autostart) << (home ? home : "(no HOME)");
        EXPECT_EQ(ViewerState::standardFolder().value_or("(none)").string(), viewer) << (home ? home : "(no HOME)");
    }
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        put(name, saved.contains(name) ? saved[name].c_str() : nullptr);
}

} // namespace
} // namespace quillmere

#include "QuillmereMac/App/LoginItem.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>

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

} // namespace
} // namespace quillmere

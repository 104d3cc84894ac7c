#include "Platform/X11/XcbWindowManager.h"

#include "Platform/X11/XcbConnection.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::X11TestClient;
using testing::XvfbServer;

// What a window manager leaves on the root, running or not, set by hand on
// a server that none manages. Real managers pass as XvfbServer starts them.
TEST(XcbWindowManager, RunsWhileTheRootNamesAWindowThatNamesItself) {
    XvfbServer bare;
    ASSERT_TRUE(bare.ready()) << bare.failure();
    X11TestClient client(bare.displayName());
    auto connection = XcbConnection::open(bare.displayName());
    ASSERT_TRUE(client.ok() && connection);
    const xcb_window_t root = client.root();
    const xcb_atom_t check = client.atom("_NET_SUPPORTING_WM_CHECK");
    const auto name = [&](xcb_window_t on, xcb_window_t named) {
        xcb_change_property(client.connection(), XCB_PROP_MODE_REPLACE, on, check, XCB_ATOM_WINDOW, 32, 1, &named);
    };
    enum class Named { nothing, itself, gone, silent };
    const struct Row {
        const char* root;
        Named named;
        bool running;
    } rows[] = {
        {"names nothing", Named::nothing, false},
        {"names a window that names itself", Named::itself, true},
        {"names that window gone, as a manager that died leaves it", Named::gone, false},
        {"names a window that names nothing, as one given the identifier anew", Named::silent, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.root);
        if (row.named == Named::nothing) {
            xcb_delete_property(client.connection(), root, check);
        } else {
            const xcb_window_t window = client.createWindow(X11TestClient::NewWindow().unmapped());
            if (row.named != Named::silent) name(window, window);
            name(root, window);
            if (row.named == Named::gone) client.destroy(window);
        }
        client.sync();
        EXPECT_EQ(XcbWindowManager::running(**connection, root), row.running);
    }
}

} // namespace
} // namespace quillmere

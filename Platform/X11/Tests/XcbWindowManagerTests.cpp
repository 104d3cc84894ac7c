#include "Platform/X11/XcbWindowManager.h"

#include "Platform/X11/XcbConnection.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

// What a window manager leaves on the root, set by hand on a server that
// none manages: its check window, gone once it died, or given out anew to a
// client that names nothing. Real managers pass as XvfbServer starts them.
TEST(XcbWindowManager, RunsWhileTheRootNamesAWindowThatNamesItself) {
    testing::XvfbServer bare;
    ASSERT_TRUE(bare.ready()) << bare.failure();
    testing::X11TestClient client(bare.displayName());
    auto connection = XcbConnection::open(bare.displayName());
    ASSERT_TRUE(client.ok() && connection);
    const auto name = [&](xcb_window_t on, xcb_window_t named) {
        xcb_change_property(client.connection(), XCB_PROP_MODE_REPLACE, on, client.atom("_NET_SUPPORTING_WM_CHECK"),
                            XCB_ATOM_WINDOW, 32, 1, &named);
    };
    enum class Check { itself, gone, silent };
    for (const auto& [check, running] : {std::pair{Check::itself, true}, {Check::gone, false}, {Check::silent, false}}) {
        const xcb_window_t window = client.createWindow(testing::X11TestClient::NewWindow().unmapped());
        if (check != Check::silent) name(window, window);
        name(client.root(), window);
        if (check == Check::gone) client.destroy(window);
        client.sync();
        EXPECT_EQ(XcbWindowManager::running(**connection, client.root()), running) << static_cast<int>(check);
    }
}

} // namespace
} // namespace quillmere

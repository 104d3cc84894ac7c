#include "Platform/Permissions/PermissionsX11.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(PermissionsX11, AReachableServerAllowsCaptureAndInputPosting) {
    testing::XvfbServer server;
    ASSERT_TRUE(server.ready()) << server.failure();
    const PermissionsX11 permissions(XcbConnection::opener(server.displayName()));
    EXPECT_TRUE(permissions.displayOpens());
    EXPECT_TRUE(permissions.screenCaptureAllowed());
    EXPECT_TRUE(permissions.inputPostingAllowed());
}

TEST(PermissionsX11, NoDisplayAllowsNothing) {
    const PermissionsX11 permissions(XcbConnection::opener(":65000"));
    EXPECT_FALSE(permissions.displayOpens());
    EXPECT_FALSE(permissions.screenCaptureAllowed());
    EXPECT_FALSE(permissions.inputPostingAllowed());
}

} // namespace
} // namespace quillmere

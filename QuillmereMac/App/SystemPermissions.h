#pragma once

#include "Platform/Permissions/PermissionsX11.h"
#include "QuillmereMac/Engine/PermissionChecking.h"

namespace quillmere {

// The host's permission checks on the X display it shares: screen capture
// is allowed when the display opens and can be read, input posting (the
// accessibility permission's part here) when it offers XTest. X11 has no
// prompt to show, so asking only reads the state again.
class SystemPermissions final : public PermissionChecking {
public:
    // Each check opens a connection of its own through open.
    explicit SystemPermissions(XcbConnection::Opener open) : x11_(std::move(open)) {}

    bool screenCaptureAllowed() override { return x11_.screenCaptureAllowed(); }
    bool accessibilityTrusted() override { return x11_.inputPostingAllowed(); }
    bool promptForAccessibility() override { return accessibilityTrusted(); }

private:
    PermissionsX11 x11_;
};

} // namespace quillmere

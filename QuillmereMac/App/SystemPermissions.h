#pragma once

#include "Platform/Permissions/PermissionsX11.h"
#include "QuillmereMac/Engine/PermissionChecking.h"

#include <string>

namespace quillmere {

// The host's permission checks on the X display it shares: screen capture
// is allowed when the display opens and can be read, input posting (the
// accessibility permission's part here) when it offers XTest. X11 has no
// prompt to show, so asking only reads the state again.
class SystemPermissions final : public PermissionChecking {
public:
    // An empty name means $DISPLAY.
    explicit SystemPermissions(std::string displayName = {}) : x11_(XcbConnection::opener(std::move(displayName))) {}

    bool screenCaptureAllowed() override { return x11_.screenCaptureAllowed(); }
    bool accessibilityTrusted() override { return x11_.inputPostingAllowed(); }
    bool promptForAccessibility() override { return accessibilityTrusted(); }
    // The media pipeline's check before it posts input events.
    bool inputPostingAllowed() const { return x11_.inputPostingAllowed(); }

private:
    PermissionsX11 x11_;
};

} // namespace quillmere

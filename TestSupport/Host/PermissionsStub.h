#pragma once

#include "QuillmereMac/Engine/PermissionChecking.h"

namespace quillmere::testing {

// The system's permissions as a test sets them: granted unless it says otherwise.
struct PermissionsStub final : PermissionChecking {
    bool screen = true;
    bool accessibility = true;

    bool screenCaptureAllowed() override { return screen; }
    bool accessibilityTrusted() override { return accessibility; }
    bool promptForAccessibility() override { return accessibility; }
};

} // namespace quillmere::testing

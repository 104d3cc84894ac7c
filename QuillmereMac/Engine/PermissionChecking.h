#pragma once

#include "QuillmereMac/Engine/HostStatus.h"

namespace quillmere {

// The system's permission checks. The first two never prompt the user.
class PermissionChecking {
public:
    virtual ~PermissionChecking() = default;

    virtual bool screenCaptureAllowed() = 0;
    virtual bool accessibilityTrusted() = 0;
    // Asks the user to grant accessibility; true when it is granted already.
    virtual bool promptForAccessibility() = 0;

    PermissionSnapshot snapshot() {
        return {screenCaptureAllowed() ? PermissionState::granted : PermissionState::notGranted,
                accessibilityTrusted() ? PermissionState::granted : PermissionState::notGranted};
    }
};

} // namespace quillmere

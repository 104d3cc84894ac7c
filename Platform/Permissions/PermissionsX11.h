#pragma once

#include <string>

namespace quillmere {

// What the system's permission checks come to on X11, which has no
// screen-recording or accessibility permission of its own: access is simply
// whether the X server lets this client do the thing. Each call opens a
// connection of its own and closes it again; none prompts the user.
class PermissionsX11 {
public:
    // An empty name means $DISPLAY.
    explicit PermissionsX11(std::string displayName = {}) : displayName_(std::move(displayName)) {}

    // The display opens at all.
    bool displayOpens() const;
    // The display opens and a pixel of its root window can be read.
    bool screenCaptureAllowed() const;
    // The display opens and offers the XTest extension.
    bool inputPostingAllowed() const;

    const std::string& displayName() const { return displayName_; }

private:
    std::string displayName_;
};

} // namespace quillmere

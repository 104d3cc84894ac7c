#pragma once

#include "Platform/X11/XcbConnection.h"

namespace quillmere {

// What the system's permission checks come to on X11, which has no
// screen-recording or accessibility permission of its own: access is simply
// whether the X server lets this client do the thing. Each call opens a
// connection of its own through open and closes it again; none prompts the
// user.
class PermissionsX11 {
public:
    explicit PermissionsX11(XcbConnection::Opener open) : open_(std::move(open)) {}

    // The display opens at all.
    bool displayOpens() const;
    // The display opens and a pixel of its root window can be read.
    bool screenCaptureAllowed() const;
    // The display opens and offers the XTest extension.
    bool inputPostingAllowed() const;

private:
    XcbConnection::Opener open_;
};

} // namespace quillmere

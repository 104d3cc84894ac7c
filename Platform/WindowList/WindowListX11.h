#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

class XcbConnection;

// The top-level windows of every screen, front to back: the window manager's
// client list (EWMH) when one runs, else the root's children.
struct WindowListX11 {
    static std::expected<std::vector<ContentWindow>, ScreenCaptureError> fetch(XcbConnection& connection,
                                                                               const ShareableContent::Options& options);

    // A window title as UTF-8: ISO 8859-1 for STRING properties; invalid
    // UTF-8 sequences become U+FFFD.
    static std::string titleText(std::string_view bytes, bool latin1);
};

} // namespace quillmere

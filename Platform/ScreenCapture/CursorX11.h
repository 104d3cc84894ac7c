#pragma once

#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/WindowList/ShareableContent.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

class XcbConnection;

// The pointer's position and image (XFixes): captured pixels never hold the
// cursor, so it is drawn into them. The image is fetched again only when the
// server says the shape changed.
class CursorX11 {
public:
    CursorX11(XcbConnection& connection, xcb_window_t root);

    void handleEvent(const xcb_generic_event_t& event);

    // Asks where the pointer is relative to a window (and the image when it
    // changed); collect waits for the answers.
    void request(xcb_window_t relativeTo);
    void collect();

    // Where the image lands, hot spot applied, in the coordinates of the
    // window given to request shifted by origin; nothing while the pointer is
    // on another screen or no image is known.
    std::optional<ScreenRect> placement(int originX, int originY) const;
    // Changes whenever the image does.
    std::uint32_t serial() const { return serial_; }

    // Blends the image (premultiplied ARGB) into a grabbed image at a placement.
    void draw(ScreenImage& image, const ScreenRect& where) const;

private:
    XcbConnection& connection_;
    bool imageStale_ = true;
    std::optional<xcb_query_pointer_cookie_t> pointerCookie_;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> imageCookie_;

    bool onScreen_ = false;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    int hotX_ = 0;
    int hotY_ = 0;
    std::uint32_t serial_ = 0;
    std::vector<std::uint32_t> pixels_;
};

} // namespace quillmere

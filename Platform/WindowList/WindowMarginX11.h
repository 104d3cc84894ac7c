#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <xcb/xcb.h>

namespace quillmere {

class XcbConnection;

// The see-through margin a client leaves around what the user sees of its
// window: the shadow of a window that draws its own title bar, for a
// compositor (_GTK_FRAME_EXTENTS). _NET_FRAME_EXTENTS belongs to the window
// manager and tells of its decorations outside the window; it counts as the
// client's margin only where no window manager runs, as then the client
// alone can have set it. A window's frame, for listing, capture and control,
// is the part inside the margin.
struct WindowMarginX11 {
    using Insets = ScreenInsets;

    // Asked along with a window's other requests; read with collect.
    struct Request {
        xcb_get_property_cookie_t own;
        xcb_get_property_cookie_t net;
        xcb_get_property_cookie_t manager;
    };

    // The margin, and whether the client states one of its own: such a
    // client states it again after each change of its size (GTK does, some
    // milliseconds after the new size).
    struct Reading {
        Insets insets;
        bool stated = false;
    };

    static Request request(XcbConnection& connection, xcb_window_t window, xcb_window_t root);
    // No margin when the window has none, or none that makes sense.
    static Insets collect(XcbConnection& connection, const Request& request);
    static Reading read(XcbConnection& connection, const Request& request);
    // Whether a change of this property of a window may change its margin.
    static bool tellsMargin(XcbConnection& connection, xcb_atom_t property);

    // The part of the whole window inside the margin; the whole window when
    // the margin would leave nothing.
    static ScreenRect visible(const ScreenRect& whole, const Insets& margin);
};

} // namespace quillmere

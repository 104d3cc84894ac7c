#pragma once

#include <xcb/xcb.h>

namespace quillmere {

class XcbConnection;

// Whether a window manager runs on a screen, by EWMH's test: the root's
// _NET_SUPPORTING_WM_CHECK names a window that exists and whose own
// property names itself. A manager that died leaves the root's property
// behind, naming a window that is gone or, once its identifier is given out
// again, another client's.
struct XcbWindowManager {
    // The root's property, asked along with other requests.
    using Request = xcb_get_property_cookie_t;

    static Request request(XcbConnection& connection, xcb_window_t root);
    // Asks the named window in turn: one more round trip.
    static bool running(XcbConnection& connection, Request request);
    static bool running(XcbConnection& connection, xcb_window_t root);
};

} // namespace quillmere

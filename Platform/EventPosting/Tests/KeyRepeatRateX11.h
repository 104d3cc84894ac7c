#pragma once

// Sets the X server's keyboard auto-repeat, as a user's settings would.

#include <xcb/xcb.h>
// The XKB header names a field 'explicit'.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <cstdint>
#include <cstdlib>

namespace quillmere::testing {

inline bool setKeyRepeatRate(xcb_connection_t* c, std::uint16_t delayMs, std::uint16_t intervalMs) {
    std::free(xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
    auto* controls = xcb_xkb_get_controls_reply(c, xcb_xkb_get_controls(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
    if (!controls) return false;
    xcb_xkb_set_controls(c, XCB_XKB_ID_USE_CORE_KBD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         XCB_XKB_BOOL_CTRL_REPEAT_KEYS, delayMs, intervalMs, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         controls->perKeyRepeat);
    std::free(controls);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return true;
}

} // namespace quillmere::testing

#include "Platform/X11/XcbWindowManager.h"

#include "Platform/X11/XcbConnection.h"

#include <cstring>
#include <optional>

namespace quillmere {

namespace {

constexpr std::string_view checkName = "_NET_SUPPORTING_WM_CHECK";

xcb_get_property_cookie_t askCheck(XcbConnection& connection, xcb_window_t window) {
    return xcb_get_property(connection.get(), 0, window, connection.atom(checkName), XCB_ATOM_WINDOW, 0, 1);
}

// None when unset, malformed, or the window is gone.
std::optional<xcb_window_t> checkOf(XcbConnection& connection, xcb_get_property_cookie_t cookie) {
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection.get(), cookie, nullptr));
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) != sizeof(xcb_window_t)) {
        return std::nullopt;
    }
    xcb_window_t window = XCB_NONE;
    std::memcpy(&window, xcb_get_property_value(reply.get()), sizeof window);
    return window;
}

} // namespace

XcbWindowManager::Request XcbWindowManager::request(XcbConnection& connection, xcb_window_t root) {
    return askCheck(connection, root);
}

bool XcbWindowManager::running(XcbConnection& connection, Request request) {
    const auto check = checkOf(connection, request);
    if (!check || *check == XCB_NONE) return false;
    return checkOf(connection, askCheck(connection, *check)) == check;
}

bool XcbWindowManager::running(XcbConnection& connection, xcb_window_t root) {
    return running(connection, request(connection, root));
}

} // namespace quillmere

#include "QuillmereMac/App/WindowAttention.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quillmere {

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return found;
}

// Asks the window manager to add or drop one of the window's states.
void changeState(xcb_connection_t* c, xcb_window_t window, bool add, const char* state) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(c, "_NET_WM_STATE");
    message.data.data32[0] = add ? 1 : 0;
    message.data.data32[1] = atom(c, state);
    message.data.data32[3] = 1; // from an application
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
}

// A user time of 0 tells the window manager that the user never used the
// window, so that showing it takes no focus. Qt keeps the time on a window
// of its own once the manager reads it there.
void clearUserTime(xcb_connection_t* c, xcb_window_t window) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, atom(c, "_NET_WM_USER_TIME_WINDOW"), XCB_ATOM_WINDOW, 0, 1), nullptr);
    xcb_window_t holder = window;
    if (reply != nullptr && xcb_get_property_value_length(reply) == sizeof holder)
        std::memcpy(&holder, xcb_get_property_value(reply), sizeof holder);
    std::free(reply);
    const std::uint32_t never = 0;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, holder, atom(c, "_NET_WM_USER_TIME"), XCB_ATOM_CARDINAL, 32, 1,
                        &never);
}

// Managers honour different requests to restore a minimized window, and
// EWMH lets them ignore a window dropping its hidden state. Openbox and
// xfwm4 restore it so, without focus; metacity ignores that and restores a
// window that maps itself again, leaving the keyboard alone when its user
// time is 0. Openbox would focus a window mapped while minimized: the map
// comes second, when openbox has restored the window and ignores it. Qt
// follows the state the manager gives the window.
void restore(xcb_connection_t* c, xcb_window_t window) {
    clearUserTime(c, window);
    changeState(c, window, false, "_NET_WM_STATE_HIDDEN");
    xcb_map_window(c, window);
}

} // namespace

void WindowAttention::ask(QWidget& window) {
    // Made now, so that the show below reads the property Qt maps it by:
    // a user time of 0, which tells the window manager not to focus it.
    window.winId();
    QWindow* handle = window.windowHandle();
    handle->setProperty("_q_showWithoutActivating", true);
    window.show();
    handle->setProperty("_q_showWithoutActivating", QVariant());
    // The offscreen platform answers too, without a connection.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    const auto id = static_cast<xcb_window_t>(window.winId());
    if (c && window.isMinimized()) restore(c, id);
    window.raise();
    if (!c) return;
    // Asked of the window manager directly: Qt's own request is made once
    // per window until Qt sees it activated, and the manager clears it on
    // any focus.
    changeState(c, id, true, "_NET_WM_STATE_DEMANDS_ATTENTION");
    // Qt sends its requests with the next batch of its own, which may be
    // long in coming: the window comes forward now.
    xcb_flush(c);
}

} // namespace quillmere

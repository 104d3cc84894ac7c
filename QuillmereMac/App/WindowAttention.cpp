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
void changeState(xcb_connection_t* c, const QWidget& window, bool add, const char* state) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = static_cast<xcb_window_t>(window.winId());
    message.type = atom(c, "_NET_WM_STATE");
    message.data.data32[0] = add ? 1 : 0;
    message.data.data32[1] = atom(c, state);
    message.data.data32[3] = 1; // from an application
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
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
    window.raise();
    // The offscreen platform answers too, without a connection.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) return;
    // A minimized window that maps itself again is restored as if the user
    // asked for it, focus included; one that drops its hidden state is
    // restored where the focus was left.
    if (window.isMinimized()) changeState(c, window, false, "_NET_WM_STATE_HIDDEN");
    // Asked of the window manager directly: Qt's own request is made once
    // per window until Qt sees it activated, and the manager clears it on
    // any focus.
    changeState(c, window, true, "_NET_WM_STATE_DEMANDS_ATTENTION");
    // Qt sends its requests with the next batch of its own, which may be
    // long in coming: the window comes forward now.
    xcb_flush(c);
}

} // namespace quillmere

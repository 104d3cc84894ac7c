#pragma once

// What the program tests see of an X display, as a user's eyes would.

#include "Platform/X11/XcbOpening.h"

#include <xcb/xcb.h>

#include <QImage>
#include <QRect>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace quillmere::testing {

// What the test sees of the X display: windows by their WM_CLASS, their
// pictures, the tray selection.
class DesktopProbe {
public:
    explicit DesktopProbe(const std::string& displayName) : c_(XcbOpening::connect(displayName.c_str(), nullptr)) {}
    ~DesktopProbe() { xcb_disconnect(c_); }
    DesktopProbe(const DesktopProbe&) = delete;
    DesktopProbe& operator=(const DesktopProbe&) = delete;

    xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root; }

    // WM_CLASS: the instance and the class name, each ended by a zero byte.
    std::vector<std::string> classNames(xcb_window_t window) const {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
        std::vector<std::string> out;
        if (reply != nullptr) {
            const auto* value = static_cast<const char*>(xcb_get_property_value(reply));
            const std::string text(value, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t end = std::min(text.find('\0', at), text.size());
                out.push_back(text.substr(at, end - at));
                at = end + 1;
            }
        }
        std::free(reply);
        return out;
    }

    // Every viewable window of the instance name; inside: only those within
    // a window whose instance or class name is that.
    std::vector<xcb_window_t> windows(const std::string& instance, const std::string& inside = {}) const {
        std::vector<xcb_window_t> found;
        std::function<void(xcb_window_t, bool)> search = [&](xcb_window_t window, bool within) {
            const auto names = classNames(window);
            if ((inside.empty() || within) && !names.empty() && names[0] == instance && viewable(window))
                found.push_back(window);
            within = within || std::find(names.begin(), names.end(), inside) != names.end();
            xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr);
            if (tree == nullptr) return;
            const xcb_window_t* children = xcb_query_tree_children(tree);
            for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) search(children[i], within);
            std::free(tree);
        };
        search(root(), false);
        return found;
    }

    // A property's bytes as they are; none when unset.
    std::string property(xcb_window_t window, const std::string& name) const {
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
        std::string out;
        if (atom != nullptr) {
            xcb_get_property_reply_t* reply = xcb_get_property_reply(
                c_, xcb_get_property(c_, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
            if (reply != nullptr)
                out.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                           static_cast<std::size_t>(xcb_get_property_value_length(reply)));
            std::free(reply);
        }
        std::free(atom);
        return out;
    }

    // What the window manager calls active, and where the keyboard goes.
    xcb_window_t activeWindow() const { return firstWord(property(root(), "_NET_ACTIVE_WINDOW")); }
    xcb_window_t inputFocus() const {
        xcb_get_input_focus_reply_t* reply = xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr);
        const xcb_window_t focus = reply != nullptr ? reply->focus : XCB_NONE;
        std::free(reply);
        return focus;
    }
    // The names of the atoms a property lists (_NET_WM_STATE).
    std::vector<std::string> atomNames(xcb_window_t window, const std::string& name) const {
        const std::string atoms = property(window, name);
        std::vector<std::string> names;
        for (std::size_t at = 0; at + 4 <= atoms.size(); at += 4) {
            xcb_get_atom_name_reply_t* reply =
                xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, firstWord(atoms.substr(at, 4))), nullptr);
            if (reply != nullptr)
                names.emplace_back(xcb_get_atom_name_name(reply),
                                   static_cast<std::size_t>(xcb_get_atom_name_name_length(reply)));
            std::free(reply);
        }
        return names;
    }
    // Managed windows, bottom first.
    std::vector<xcb_window_t> stacking() const {
        const std::string list = property(root(), "_NET_CLIENT_LIST_STACKING");
        std::vector<xcb_window_t> windows;
        for (std::size_t at = 0; at + 4 <= list.size(); at += 4) windows.push_back(firstWord(list.substr(at, 4)));
        return windows;
    }

    // _NET_WM_NAME, the title a window manager shows.
    std::string title(xcb_window_t window) const { return property(window, "_NET_WM_NAME"); }

    // WM_STATE as the window manager set it: 1 normal, 3 iconic (minimized);
    // 0 when withdrawn or unset.
    std::uint32_t wmState(xcb_window_t window) const {
        return firstWord(property(window, "WM_STATE"));
    }

    bool viewable(xcb_window_t window) const {
        xcb_get_window_attributes_reply_t* reply =
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr);
        const bool shown = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(reply);
        return shown;
    }

    QRect geometry(xcb_window_t window) const {
        QRect rect;
        xcb_get_geometry_reply_t* size = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr);
        xcb_translate_coordinates_reply_t* at =
            xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, window, root(), 0, 0), nullptr);
        if (size != nullptr && at != nullptr) rect = QRect(at->dst_x, at->dst_y, size->width, size->height);
        std::free(size);
        std::free(at);
        return rect;
    }

    // The window with the window manager's frame around it: its ancestor
    // that is a child of the root.
    QRect framed(xcb_window_t window) const {
        for (;;) {
            xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr);
            if (tree == nullptr) return geometry(window);
            const xcb_window_t parent = tree->parent;
            const xcb_window_t top = tree->root;
            std::free(tree);
            if (parent == top || parent == XCB_NONE) return geometry(window);
            window = parent;
        }
    }

    // The window's pixels as they are on the screen, the part on it.
    QImage image(xcb_window_t window) const {
        const QRect rect = geometry(window).intersected(geometry(root()));
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root(), static_cast<std::int16_t>(rect.x()),
                          static_cast<std::int16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                          static_cast<std::uint16_t>(rect.height()), ~0u),
            nullptr);
        QImage out;
        if (reply != nullptr && !rect.isEmpty())
            out = QImage(xcb_get_image_data(reply), rect.width(), rect.height(), rect.width() * 4, QImage::Format_RGB32)
                      .copy();
        std::free(reply);
        return out;
    }

    // Whether another client holds the keyboard (as an open menu does): a
    // grab of our own is refused then, and let go at once otherwise.
    bool keyboardGrabbed() const {
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(
            c_, xcb_grab_keyboard(c_, 0, root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
        const bool taken = reply != nullptr && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply != nullptr && reply->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
            xcb_flush(c_);
        }
        std::free(reply);
        return taken;
    }

    // Whether a tray host owns the tray selection of the first screen.
    bool trayRunning() const {
        const char name[] = "_NET_SYSTEM_TRAY_S0";
        xcb_intern_atom_reply_t* atom =
            xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, sizeof name - 1, name), nullptr);
        bool owned = false;
        if (atom != nullptr) {
            xcb_get_selection_owner_reply_t* owner =
                xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atom->atom), nullptr);
            owned = owner != nullptr && owner->owner != XCB_NONE;
            std::free(owner);
        }
        std::free(atom);
        return owned;
    }

private:
    static std::uint32_t firstWord(const std::string& bytes) {
        std::uint32_t value = 0;
        if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    }

    xcb_connection_t* c_;
};

} // namespace quillmere::testing

#include "Platform/WindowList/WindowListX11.h"

#include "Platform/WindowList/WindowMarginX11.h"
#include "Platform/X11/XcbConnection.h"
#include "Platform/X11/XcbWindowManager.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>

namespace quillmere {

namespace {

constexpr std::uint32_t maxTitleLongs = 1024; // 4 KiB of title
constexpr std::uint32_t anyDesktop = 0xFFFFFFFFu;

enum AtomIndex : std::size_t {
    netClientListStacking,
    netClientList,
    netCurrentDesktop,
    netWmName,
    utf8String,
    netWmPid,
    netWmDesktop,
    netWmState,
    netWmStateHidden,
    netWmStateAbove,
    netWmWindowType,
    typeDesktop,
    typeDock,
    typeToolbar,
    typeMenu,
    typeUtility,
    typeSplash,
    typeDropdownMenu,
    typePopupMenu,
    typeTooltip,
    typeNotification,
    typeCombo,
    typeDnd,
    atomCount,
};

constexpr std::array<std::string_view, atomCount> atomNames = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_CURRENT_DESKTOP",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_PID",
    "_NET_WM_DESKTOP",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
};

using PropertyReply = XcbReply<xcb_get_property_reply_t>;

PropertyReply propertyReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    return PropertyReply(xcb_get_property_reply(c, cookie, nullptr));
}

std::string_view propertyBytes(const PropertyReply& reply) {
    if (!reply || reply->format != 8) return {};
    return {static_cast<const char*>(xcb_get_property_value(reply.get())),
            static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

std::vector<std::uint32_t> propertyLongs(const PropertyReply& reply) {
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4;
    return {values, values + count};
}

std::optional<std::uint32_t> propertyLong(const PropertyReply& reply) {
    auto values = propertyLongs(reply);
    if (values.empty()) return std::nullopt;
    return values.front();
}

std::string commandName(std::int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

void appendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// Length of the valid UTF-8 sequence at the start of text, 0 when invalid.
std::size_t validSequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t value = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

struct Candidate {
    xcb_window_t window;
    int screen;
    xcb_window_t root;
    std::uint32_t currentDesktop;
};

struct PendingWindow {
    Candidate candidate;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t position;
    xcb_get_property_cookie_t netName;
    xcb_get_property_cookie_t name;
    xcb_get_property_cookie_t wmClass;
    xcb_get_property_cookie_t pid;
    xcb_get_property_cookie_t type;
    xcb_get_property_cookie_t state;
    xcb_get_property_cookie_t desktop;
    WindowMarginX11::Request margin;
};

int layerFor(const std::vector<std::uint32_t>& types, const std::vector<std::uint32_t>& states,
             const std::vector<xcb_atom_t>& atoms, bool overrideRedirect) {
    if (overrideRedirect) return ContentWindow::layerPopUp;
    // The first type the window names wins; unknown ones are skipped.
    for (std::uint32_t type : types) {
        if (type == atoms[typeDesktop]) return ContentWindow::layerDesktop;
        if (type == atoms[typeDock]) return ContentWindow::layerDock;
        if (type == atoms[typeNotification]) return ContentWindow::layerNotification;
        if (type == atoms[typeDropdownMenu] || type == atoms[typePopupMenu] || type == atoms[typeTooltip] ||
            type == atoms[typeCombo] || type == atoms[typeDnd]) {
            return ContentWindow::layerPopUp;
        }
        if (type == atoms[typeToolbar] || type == atoms[typeMenu] || type == atoms[typeUtility] ||
            type == atoms[typeSplash]) {
            return ContentWindow::layerFloating;
        }
    }
    if (std::find(states.begin(), states.end(), atoms[netWmStateAbove]) != states.end()) {
        return ContentWindow::layerFloating;
    }
    return ContentWindow::layerNormal;
}

} // namespace

std::string WindowListX11::titleText(std::string_view bytes, bool latin1) {
    std::string out;
    out.reserve(bytes.size());
    if (latin1) {
        for (char ch : bytes) appendUtf8(out, static_cast<unsigned char>(ch));
        return out;
    }
    while (!bytes.empty()) {
        const std::size_t length = validSequenceLength(bytes);
        if (length == 0) {
            appendUtf8(out, 0xFFFD);
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

std::expected<std::vector<ContentWindow>, ScreenCaptureError> WindowListX11::fetch(
    XcbConnection& connection, const ShareableContent::Options& options) {
    xcb_connection_t* c = connection.get();
    const std::vector<xcb_atom_t> atoms = connection.atoms(atomNames);

    // Per screen: whether a window manager keeps a client list, and the list.
    std::vector<Candidate> candidates;
    const auto& screens = connection.screens();
    struct RootQuery {
        xcb_get_property_cookie_t check, stacking, clients, desktop;
    };
    std::vector<RootQuery> rootQueries;
    for (xcb_screen_t* screen : screens) {
        const xcb_window_t root = screen->root;
        rootQueries.push_back({
            XcbWindowManager::request(connection, root),
            xcb_get_property(c, 0, root, atoms[netClientListStacking], XCB_ATOM_WINDOW, 0, 65536),
            xcb_get_property(c, 0, root, atoms[netClientList], XCB_ATOM_WINDOW, 0, 65536),
            xcb_get_property(c, 0, root, atoms[netCurrentDesktop], XCB_ATOM_CARDINAL, 0, 1),
        });
    }
    for (std::size_t s = 0; s < screens.size(); ++s) {
        const xcb_window_t root = screens[s]->root;
        const bool managed = XcbWindowManager::running(connection, rootQueries[s].check);
        auto stacking = propertyLongs(propertyReply(c, rootQueries[s].stacking));
        auto clients = propertyLongs(propertyReply(c, rootQueries[s].clients));
        const std::uint32_t desktop = propertyLong(propertyReply(c, rootQueries[s].desktop)).value_or(anyDesktop);
        std::vector<xcb_window_t> windows;
        if (managed && (!stacking.empty() || !clients.empty())) {
            // Stacking order is bottom to top; the plain client list has no order.
            if (stacking.empty()) {
                windows.assign(clients.begin(), clients.end());
            } else {
                windows.assign(stacking.rbegin(), stacking.rend());
            }
        } else if (!managed) {
            XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
            if (!tree) {
                return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::noWindowList,
                                                                "the root window's children cannot be read"));
            }
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            const int count = xcb_query_tree_children_length(tree.get());
            for (int i = count - 1; i >= 0; --i) windows.push_back(children[i]);
        }
        for (xcb_window_t window : windows) candidates.push_back({window, static_cast<int>(s), root, desktop});
    }

    std::vector<PendingWindow> pending;
    pending.reserve(candidates.size());
    for (const Candidate& candidate : candidates) {
        const xcb_window_t w = candidate.window;
        pending.push_back({
            candidate,
            xcb_get_window_attributes(c, w),
            xcb_get_geometry(c, w),
            xcb_translate_coordinates(c, w, candidate.root, 0, 0),
            xcb_get_property(c, 0, w, atoms[netWmName], atoms[utf8String], 0, maxTitleLongs),
            xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, maxTitleLongs),
            xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
            xcb_get_property(c, 0, w, atoms[netWmPid], XCB_ATOM_CARDINAL, 0, 1),
            xcb_get_property(c, 0, w, atoms[netWmWindowType], XCB_ATOM_ATOM, 0, 32),
            xcb_get_property(c, 0, w, atoms[netWmState], XCB_ATOM_ATOM, 0, 32),
            xcb_get_property(c, 0, w, atoms[netWmDesktop], XCB_ATOM_CARDINAL, 0, 1),
            WindowMarginX11::request(connection, w, candidate.root),
        });
    }

    std::vector<ContentWindow> result;
    for (PendingWindow& p : pending) {
        XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, p.attributes, nullptr));
        XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, p.geometry, nullptr));
        XcbReply<xcb_translate_coordinates_reply_t> position(xcb_translate_coordinates_reply(c, p.position, nullptr));
        PropertyReply netName = propertyReply(c, p.netName);
        PropertyReply name = propertyReply(c, p.name);
        PropertyReply wmClass = propertyReply(c, p.wmClass);
        PropertyReply pid = propertyReply(c, p.pid);
        PropertyReply type = propertyReply(c, p.type);
        PropertyReply state = propertyReply(c, p.state);
        PropertyReply desktop = propertyReply(c, p.desktop);
        const WindowMarginX11::Insets margin = WindowMarginX11::collect(connection, p.margin);
        // Gone since the list was read, or nothing that can show pixels.
        if (!attributes || !geometry || !position || attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) continue;

        ContentWindow window;
        window.windowID = p.candidate.window;
        window.screen = p.candidate.screen;
        window.frame = WindowMarginX11::visible({position->dst_x, position->dst_y, geometry->width, geometry->height},
                                                margin);

        if (const std::string_view utf8 = propertyBytes(netName); !utf8.empty()) {
            window.title = titleText(utf8, false);
        } else if (name) {
            window.title = titleText(propertyBytes(name), name->type == XCB_ATOM_STRING);
        }

        const std::vector<std::uint32_t> types = propertyLongs(type);
        const std::vector<std::uint32_t> states = propertyLongs(state);
        window.windowLayer = layerFor(types, states, atoms, attributes->override_redirect != 0);
        if (options.excludeDesktopWindows && window.windowLayer == ContentWindow::layerDesktop) continue;

        const bool hidden = std::find(states.begin(), states.end(), atoms[netWmStateHidden]) != states.end();
        const std::uint32_t onDesktop = propertyLong(desktop).value_or(anyDesktop);
        const bool onCurrentDesktop = onDesktop == anyDesktop || p.candidate.currentDesktop == anyDesktop ||
                                      onDesktop == p.candidate.currentDesktop;
        window.isOnScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE && !hidden && onCurrentDesktop;
        if (options.onScreenWindowsOnly && !window.isOnScreen) continue;

        if (const auto processID = propertyLong(pid); processID && *processID > 0 && *processID <= 0x7FFFFFFFu) {
            ContentApplication application;
            application.processID = static_cast<std::int32_t>(*processID);
            // WM_CLASS holds "instance\0class\0".
            const std::string_view classes = propertyBytes(wmClass);
            const std::size_t split = classes.find('\0');
            const std::string_view instance = classes.substr(0, split);
            std::string_view className =
                split == std::string_view::npos ? std::string_view{} : classes.substr(split + 1);
            className = className.substr(0, className.find('\0'));
            application.bundleIdentifier = titleText(instance, true);
            application.applicationName =
                className.empty() ? commandName(application.processID) : titleText(className, true);
            window.owningApplication = std::move(application);
        }
        result.push_back(std::move(window));
    }
    if (connection.hasError()) {
        return std::unexpected(
            ScreenCaptureError::make(ScreenCaptureError::connectionInterrupted, "connection lost listing windows"));
    }
    return result;
}

} // namespace quillmere

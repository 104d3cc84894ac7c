#include "Platform/WindowList/WindowMarginX11.h"

#include "Platform/X11/XcbConnection.h"
#include "Platform/X11/XcbWindowManager.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

namespace quillmere {

namespace {

// Wider than any window X can make: not a margin.
constexpr std::uint32_t widestSide = 0x7FFF;

constexpr std::string_view atomNames[] = {"_GTK_FRAME_EXTENTS", "_NET_FRAME_EXTENTS"};

std::optional<WindowMarginX11::Insets> insetsOf(const XcbReply<xcb_get_property_reply_t>& reply) {
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 16) return std::nullopt;
    const auto* sides = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    if (std::any_of(sides, sides + 4, [](std::uint32_t side) { return side > widestSide; })) return std::nullopt;
    return WindowMarginX11::Insets{static_cast<int>(sides[0]), static_cast<int>(sides[1]), static_cast<int>(sides[2]),
                                   static_cast<int>(sides[3])};
}

} // namespace

WindowMarginX11::Request WindowMarginX11::request(XcbConnection& connection, xcb_window_t window, xcb_window_t root) {
    xcb_connection_t* c = connection.get();
    const std::vector<xcb_atom_t> atoms = connection.atoms(atomNames);
    return {
        xcb_get_property(c, 0, window, atoms[0], XCB_ATOM_CARDINAL, 0, 4),
        xcb_get_property(c, 0, window, atoms[1], XCB_ATOM_CARDINAL, 0, 4),
        XcbWindowManager::request(connection, root),
    };
}

WindowMarginX11::Insets WindowMarginX11::collect(XcbConnection& connection, const Request& request) {
    return read(connection, request).insets;
}

WindowMarginX11::Reading WindowMarginX11::read(XcbConnection& connection, const Request& request) {
    xcb_connection_t* c = connection.get();
    const XcbReply<xcb_get_property_reply_t> own(xcb_get_property_reply(c, request.own, nullptr));
    const XcbReply<xcb_get_property_reply_t> net(xcb_get_property_reply(c, request.net, nullptr));
    const bool managed = XcbWindowManager::running(connection, request.manager);
    if (const auto margin = insetsOf(own)) return {*margin, true};
    if (managed) return {};
    return {insetsOf(net).value_or(Insets{}), false};
}

bool WindowMarginX11::tellsMargin(XcbConnection& connection, xcb_atom_t property) {
    const std::vector<xcb_atom_t> atoms = connection.atoms(atomNames);
    return property == atoms[0] || property == atoms[1];
}

ScreenRect WindowMarginX11::visible(const ScreenRect& whole, const Insets& margin) {
    const int width = whole.width - margin.left - margin.right;
    const int height = whole.height - margin.top - margin.bottom;
    if (width < 1 || height < 1) return whole;
    return {whole.x + margin.left, whole.y + margin.top, width, height};
}

} // namespace quillmere

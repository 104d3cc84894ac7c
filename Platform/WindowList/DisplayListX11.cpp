#include "Platform/WindowList/DisplayListX11.h"

#include "Platform/X11/XcbConnection.h"

#include <xcb/randr.h>

namespace quillmere {

std::uint32_t DisplayListX11::wholeScreenID(int screen) {
    return (static_cast<std::uint32_t>(screen) << 24) | 0x00FFFFFFu;
}

std::uint32_t DisplayListX11::monitorID(int screen, std::uint32_t nameAtom) {
    return (static_cast<std::uint32_t>(screen) << 24) | (nameAtom & 0x00FFFFFFu);
}

std::expected<std::vector<ContentDisplay>, ScreenCaptureError> DisplayListX11::fetch(XcbConnection& connection) {
    xcb_connection_t* c = connection.get();
    const auto& screens = connection.screens();
    std::vector<ContentDisplay> displays;

    std::vector<xcb_randr_get_monitors_cookie_t> cookies;
    if (connection.extensions().randrMonitors) {
        for (xcb_screen_t* screen : screens) cookies.push_back(xcb_randr_get_monitors(c, screen->root, 1));
    }
    std::vector<std::pair<std::size_t, xcb_get_atom_name_cookie_t>> names;
    for (std::size_t s = 0; s < screens.size(); ++s) {
        const int screenNumber = static_cast<int>(s);
        bool found = false;
        if (s < cookies.size()) {
            XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(c, cookies[s], nullptr));
            if (reply) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                     xcb_randr_monitor_info_next(&it)) {
                    const xcb_randr_monitor_info_t& monitor = *it.data;
                    if (monitor.width == 0 || monitor.height == 0) continue;
                    ContentDisplay display;
                    display.displayID = monitorID(screenNumber, monitor.name);
                    display.screen = screenNumber;
                    display.frame = {monitor.x, monitor.y, monitor.width, monitor.height};
                    display.isPrimary = monitor.primary != 0;
                    names.emplace_back(displays.size(), xcb_get_atom_name(c, monitor.name));
                    displays.push_back(std::move(display));
                    found = true;
                }
            }
        }
        if (!found) {
            ContentDisplay display;
            display.displayID = wholeScreenID(screenNumber);
            display.screen = screenNumber;
            display.name = "screen " + std::to_string(screenNumber);
            display.frame = {0, 0, screens[s]->width_in_pixels, screens[s]->height_in_pixels};
            displays.push_back(std::move(display));
        }
    }
    for (const auto& [index, cookie] : names) {
        XcbReply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, cookie, nullptr));
        if (!reply) continue;
        displays[index].name.assign(xcb_get_atom_name_name(reply.get()),
                                    static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
    }
    if (connection.hasError()) {
        return std::unexpected(
            ScreenCaptureError::make(ScreenCaptureError::connectionInterrupted, "connection lost listing displays"));
    }
    if (displays.empty()) {
        return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::noDisplayList, "no screen"));
    }
    return displays;
}

std::uint32_t DisplayListX11::mainDisplayID(std::span<const ContentDisplay> displays, int defaultScreen) {
    const ContentDisplay* first = nullptr;
    for (const ContentDisplay& display : displays) {
        if (display.screen != defaultScreen) continue;
        if (display.isPrimary) return display.displayID;
        if (first == nullptr) first = &display;
    }
    if (first != nullptr) return first->displayID;
    return displays.empty() ? 0 : displays.front().displayID;
}

std::optional<ContentDisplay> DisplayListX11::find(std::span<const ContentDisplay> displays, std::uint32_t displayID) {
    for (const ContentDisplay& display : displays) {
        if (display.displayID == displayID) return display;
    }
    return std::nullopt;
}

} // namespace quillmere

#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

class XcbConnection;

// The displays of an X display: the active RandR monitors of every screen, in
// screen order and then the server's monitor order; a screen without RandR
// monitors counts as one display covering the whole screen.
struct DisplayListX11 {
    static std::expected<std::vector<ContentDisplay>, ScreenCaptureError> fetch(XcbConnection& connection);

    // The primary monitor of the default screen, else the default screen's
    // first display, else the first display; 0 when there is none.
    static std::uint32_t mainDisplayID(std::span<const ContentDisplay> displays, int defaultScreen);

    static std::optional<ContentDisplay> find(std::span<const ContentDisplay> displays, std::uint32_t displayID);

    // The identifier of a screen that has no RandR monitor.
    static std::uint32_t wholeScreenID(int screen);
    static std::uint32_t monitorID(int screen, std::uint32_t nameAtom);
};

} // namespace quillmere

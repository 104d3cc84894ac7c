#pragma once

#include "Platform/X11/XcbConnection.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillmere {

// What the media side asks of the displays beyond the window catalog: plain
// functions, callable from any thread.
struct DisplayQueries {
    struct PixelSize {
        int width = 0;
        int height = 0;
        bool operator==(const PixelSize&) const = default;
    };

    // The native pixel size of the display at an index of the catalog's
    // order (the preferred display first); nothing when unknown.
    std::function<std::optional<PixelSize>(int index)> pixelSize;
    // Whether a display identifier is among the online displays; false on
    // any failure.
    std::function<bool(std::uint32_t displayID)> isOnline;

    // The displays of an X display, each query over a connection of its own.
    static DisplayQueries x11(XcbConnection::Opener open);
    // Named: only for callers that have no desktop environment yet.
    static DisplayQueries x11(std::string displayName = {}) {
        return x11(XcbConnection::opener(std::move(displayName)));
    }
};

} // namespace quillmere

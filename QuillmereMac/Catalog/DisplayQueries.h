#pragma once

#include <cstdint>
#include <functional>
#include <optional>

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
};

} // namespace quillmere

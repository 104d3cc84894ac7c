#pragma once

#include "QuillmereMac/Geometry/Rect.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// The window under remote control.
struct ControlTarget {
    // The process owning the window.
    std::int32_t pid = 0;
    // Global coordinates, origin at the top left of the main display, points.
    Rect frame;
    std::optional<std::string> title;

    bool operator==(const ControlTarget&) const = default;
};

} // namespace quillmere

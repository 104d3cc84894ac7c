#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// What one capture stream shows: a single window (its own pixels, whatever
// covers it) or a whole display.
struct ContentFilter {
    enum class Kind : std::uint8_t { window, display };

    Kind kind = Kind::display;
    // The client window's identifier, or the display's (ContentDisplay::displayID).
    std::uint32_t identifier = 0;
    // The X display the identifier belongs to; empty: $DISPLAY.
    std::string displayName;

    static ContentFilter window(std::uint32_t windowID, std::string displayName = {}) {
        return {Kind::window, windowID, std::move(displayName)};
    }
    static ContentFilter display(std::uint32_t displayID, std::string displayName = {}) {
        return {Kind::display, displayID, std::move(displayName)};
    }

    bool operator==(const ContentFilter&) const = default;
};

} // namespace quillmere

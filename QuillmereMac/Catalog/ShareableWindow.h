#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// One window the capture list offers.
struct ShareableWindow {
    std::uint32_t windowID = 0;
    // Empty when the window has none.
    std::string title;
    // The owning application's name and bundle identifier; empty without one.
    std::string app;
    std::string bundleID;
    double pointWidth = 0;
    double pointHeight = 0;

    bool operator==(const ShareableWindow&) const = default;
};

} // namespace quillmere

#pragma once

#include "Platform/X11/XcbConnection.h"

#include "Platform/DisplayConfiguration/DisplayConfigurationError.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The modes of an X display's outputs and switching between them, over
// RandR. A display is identified by its CRTC. X11 modes are real: what a mode
// says is what the output shows, with no scaling. Safe to use from any
// thread; calls are serialised on one connection, opened again after it
// broke.
class DisplayModesX11 {
public:
    struct Mode {
        std::uint32_t modeID = 0;
        int width = 0;
        int height = 0;
        // 0 when the server gives no timings.
        double refreshRate = 0;
        // Progressive and within the screen's largest size: a desktop can
        // be laid out on it.
        bool usable = false;

        bool operator==(const Mode&) const = default;
    };

    // Opens its connection through open, at first use and after it broke.
    explicit DisplayModesX11(XcbConnection::Opener open);
    ~DisplayModesX11();
    DisplayModesX11(const DisplayModesX11&) = delete;
    DisplayModesX11& operator=(const DisplayModesX11&) = delete;

    // The CRTC of the primary output (else of the first output that shows
    // something) of the default screen.
    std::optional<std::uint32_t> mainDisplay();
    // Nothing when the CRTC is gone or off.
    std::optional<Mode> currentMode(std::uint32_t displayID);
    // The modes of the CRTC's first output, in the server's order.
    std::vector<Mode> modes(std::uint32_t displayID);
    // Switches the CRTC to the mode where it is, with its outputs and
    // rotation, and fits the screen to it.
    std::expected<void, DisplayConfigurationError> setMode(std::uint32_t displayID, std::uint32_t modeID);

private:
    std::expected<XcbConnection*, DisplayConfigurationError> connection();

    const XcbConnection::Opener open_;
    std::mutex mutex_;
    std::unique_ptr<XcbConnection> connection_;
};

} // namespace quillmere

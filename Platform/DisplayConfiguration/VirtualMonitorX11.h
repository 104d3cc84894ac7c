#pragma once

#include "Platform/DisplayConfiguration/DisplayConfigurationError.h"
#include "Platform/X11/XcbConnection.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace quillmere {

// A display X11 does not have: a RandR monitor of its own size, named, over
// the screen enlarged to hold it, with a mode of that size made for the main
// output. It exists as long as the object: going, it removes the monitor and
// the mode and gives the screen and the main output back what they had.
//
// X keeps monitors, modes and screen sizes after the client that made them
// is gone, so what the main output and screen had is also kept on the root
// window until the monitor goes: removeLeftovers puts a dead run's changes
// back.
class VirtualMonitorX11 {
public:
    struct Wanted {
        // The monitor's name, as listed with the displays.
        std::string name;
        // The name of the mode made for it; unique on the server.
        std::string modeName;
        int width = 0;
        int height = 0;
        double refreshRate = 60.0;
    };

    // On a connection from open, kept for the monitor's life. Needs RandR 1.5.
    static std::expected<std::unique_ptr<VirtualMonitorX11>, DisplayConfigurationError> make(
        const XcbConnection::Opener& open, const Wanted& wanted);
    ~VirtualMonitorX11();
    VirtualMonitorX11(const VirtualMonitorX11&) = delete;
    VirtualMonitorX11& operator=(const VirtualMonitorX11&) = delete;

    // The identifier the display list gives the monitor.
    std::uint32_t displayID() const { return displayID_; }
    std::uint32_t modeID() const { return mode_; }

    // Lays the desktop out at the monitor's size on the main output, which
    // then shows the monitor's area. Done when it already does.
    std::expected<void, DisplayConfigurationError> mirror();

    // Removes the monitors and modes whose names start with the prefix, and
    // gives the main output and the screen back what a run that died while it
    // had a monitor kept on the root window. Returns how many monitors went.
    static std::expected<int, DisplayConfigurationError> removeLeftovers(const XcbConnection::Opener& open,
                                                                        std::string_view namePrefix);

    // The root window property that keeps what the screen had.
    static constexpr std::string_view savedProperty = "_QUILLMERE_VIRTUAL_DISPLAY_SAVED";

private:
    VirtualMonitorX11() = default;

    std::unique_ptr<XcbConnection> connection_;
    std::uint32_t displayID_ = 0;
    xcb_atom_t name_ = XCB_ATOM_NONE;
    xcb_atom_t saved_ = XCB_ATOM_NONE;
    std::uint32_t mode_ = 0;
    std::uint32_t output_ = 0;
};

} // namespace quillmere

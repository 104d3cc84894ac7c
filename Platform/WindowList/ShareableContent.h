#pragma once

#include "Platform/WindowList/ScreenCaptureError.h"
#include "Platform/X11/XcbConnection.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// Whole pixels in the coordinates of a screen's root window (points and pixels
// are the same on X11).
struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const ScreenRect&) const = default;
};

// A band around a rectangle: the width of each side, in pixels.
struct ScreenInsets {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;

    bool operator==(const ScreenInsets&) const = default;
};

// The application owning a window: the process that set _NET_WM_PID.
struct ContentApplication {
    std::int32_t processID = 0;
    // WM_CLASS's class name, else the process's command name, else empty.
    std::string applicationName;
    // WM_CLASS's instance name, the closest thing X11 has to a bundle
    // identifier; empty without one.
    std::string bundleIdentifier;

    bool operator==(const ContentApplication&) const = default;
};

struct ContentWindow {
    // Window layers as the capture service numbers them.
    static constexpr int layerNormal = 0;
    static constexpr int layerFloating = 3;
    static constexpr int layerDock = 20;
    static constexpr int layerNotification = 23;
    static constexpr int layerPopUp = 101;
    static constexpr int layerDesktop = -2147483628;

    // The client window (not the window manager's frame).
    std::uint32_t windowID = 0;
    // _NET_WM_NAME, else WM_NAME; empty without either.
    std::string title;
    std::optional<ContentApplication> owningApplication;
    // The client area on its screen, without decorations, border or the
    // see-through margin its client leaves around what it shows.
    ScreenRect frame;
    int windowLayer = layerNormal;
    // Mapped and viewable, not minimised, on the current desktop.
    bool isOnScreen = false;
    int screen = 0;

    bool operator==(const ContentWindow&) const = default;
};

// A display: a RandR monitor, or a whole screen where RandR has none.
struct ContentDisplay {
    // Stable while the monitor exists: the screen number in the top byte, the
    // monitor's name atom below (atoms are small numbers).
    std::uint32_t displayID = 0;
    int screen = 0;
    std::string name;
    ScreenRect frame;
    bool isPrimary = false;

    bool operator==(const ContentDisplay&) const = default;
};

// What can be captured right now: windows front to back, displays in the
// server's order, the applications owning the windows.
struct ShareableContent {
    struct Options {
        bool excludeDesktopWindows = true;
        bool onScreenWindowsOnly = true;
    };

    std::vector<ContentWindow> windows;
    std::vector<ContentDisplay> displays;
    std::vector<ContentApplication> applications;
    // The primary monitor of the default screen, else its first display.
    std::uint32_t mainDisplayID = 0;

    // Over a connection of its own, opened for this fetch.
    static std::expected<ShareableContent, ScreenCaptureError> fetch(const XcbConnection::Opener& open,
                                                                     const Options& options);
    // Over a connection the caller holds.
    static std::expected<ShareableContent, ScreenCaptureError> fetch(XcbConnection& connection, const Options& options);
};

} // namespace quillmere

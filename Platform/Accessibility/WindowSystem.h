#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// What the window raiser needs of the desktop: the windows of a process,
// their frames and titles, moving them, raising and focusing them, and which
// application is in front. Frames are client areas in root pixels with a
// top-left origin, as the window catalog gives them.
//
// Called from connection queues and the main thread at once: every
// implementation must be safe for concurrent calls.
class WindowSystem {
public:
    using Window = std::uint32_t;
    using ActivationHandler = std::function<void(std::int32_t pid)>;

    // The window manager's decorations around a client area.
    using Insets = ScreenInsets;

    virtual ~WindowSystem() = default;

    // The process's windows, front to back; absent when no list can be read.
    virtual std::optional<std::vector<Window>> windows(std::int32_t pid) = 0;
    // Absent when the window is gone.
    virtual std::optional<ScreenRect> frame(Window window) = 0;
    virtual std::optional<std::string> title(Window window) = 0;
    virtual Insets decorations(Window window) = 0;
    // Moves the client area to frame's origin; resizes it only when asked.
    virtual void setFrame(Window window, ScreenRect frame, bool setSize) = 0;
    // The usable part of every display (without panels and docks), the main
    // display first.
    virtual std::vector<ScreenRect> visibleScreenFrames() = 0;
    // Brings the window above its siblings: 0, or the X error that stopped it.
    virtual std::int32_t raise(Window window) = 0;
    // Makes the window the one that takes keys; false when it cannot be.
    virtual bool makeKeyWindow(Window window, std::int32_t pid) = 0;
    // Brings the process's window that last had the keys (else its front one)
    // forward; false when the process has no window.
    virtual bool activate(std::int32_t pid) = 0;
    // The process's window that has, or last had, the keys.
    virtual std::optional<Window> focusedWindow(std::int32_t pid) = 0;
    // The frame of the process's front normal window.
    virtual std::optional<ScreenRect> frontmostWindowBounds(std::int32_t pid) = 0;
    // The process owning the window that has the keys.
    virtual std::optional<std::int32_t> frontmostApplication() = 0;
    // The handler runs, on any thread, with the process of every window that
    // becomes the active one. Returns a token for removing it.
    virtual std::uint64_t addActivationObserver(ActivationHandler handler) = 0;
    virtual void removeActivationObserver(std::uint64_t token) = 0;
};

} // namespace quillmere

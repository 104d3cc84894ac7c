#pragma once

#include "Platform/Accessibility/ActivationWatcherX11.h"
#include "Platform/Accessibility/WindowSystem.h"
#include "Platform/X11/XcbConnection.h"

#include <xcb/xcb_ewmh.h>

#include <array>
#include <expected>
#include <map>
#include <memory>
#include <mutex>

namespace quillmere {

// The window system of an X display with an EWMH window manager: windows of
// a process from the stacking list by _NET_WM_PID, moves through
// _NET_MOVERESIZE_WINDOW, raises through _NET_RESTACK_WINDOW and activation
// through _NET_ACTIVE_WINDOW, all as a pager would ask (source 2). Without a
// window manager it stacks, configures and sets the input focus itself.
// Requests share one connection under a lock; activations are followed on a
// connection and thread of their own.
class WindowSystemEwmh final : public WindowSystem {
public:
    // Both connections come from open: one for requests, one for watching.
    static std::expected<std::shared_ptr<WindowSystemEwmh>, XcbOpenError> open(const XcbConnection::Opener& open);
    ~WindowSystemEwmh() override;

    std::optional<std::vector<Window>> windows(std::int32_t pid) override;
    std::optional<ScreenRect> frame(Window window) override;
    std::optional<std::string> title(Window window) override;
    Insets decorations(Window window) override;
    void setFrame(Window window, ScreenRect frame, bool setSize) override;
    std::vector<ScreenRect> visibleScreenFrames() override;
    std::int32_t raise(Window window) override;
    bool makeKeyWindow(Window window, std::int32_t pid) override;
    bool activate(std::int32_t pid) override;
    std::optional<Window> focusedWindow(std::int32_t pid) override;
    std::optional<ScreenRect> frontmostWindowBounds(std::int32_t pid) override;
    std::optional<std::int32_t> frontmostApplication() override;
    std::uint64_t addActivationObserver(ActivationHandler handler) override;
    void removeActivationObserver(std::uint64_t token) override;

    // How long a window made key holds against older activations still
    // being reported.
    static constexpr std::uint64_t keyHoldNs = 1'000'000'000;

    WindowSystemEwmh(std::unique_ptr<XcbConnection> connection, const XcbConnection::Opener& watcherConnection);

private:
    // The window made key last, per process.
    struct KeyWindow {
        Window window = 0;
        std::uint64_t heldUntilNs = 0;
    };

    // Everything below runs with mutex_ held.
    bool managed();
    std::optional<std::vector<Window>> windowsLocked(std::int32_t pid);
    std::optional<std::int32_t> pidOf(Window window);
    std::optional<Window> activeWindow(bool isManaged);
    std::optional<Window> keyWindowLocked(std::int32_t pid, const std::vector<Window>& windows);
    // A window in root coordinates, and the part inside its client's margin.
    struct Placement {
        ScreenRect whole;
        ScreenRect visible;
    };
    std::optional<Placement> placementLocked(Window window);
    std::optional<ScreenRect> frameLocked(Window window);
    std::uint8_t errorOf(Window window);
    std::uint8_t clientMessage(Window window, xcb_atom_t type, std::array<std::uint32_t, 5> data);
    std::uint8_t focusDirectly(Window window);
    void drainEvents();

    void activated(Window window, std::int32_t pid);

    std::mutex mutex_;
    std::unique_ptr<XcbConnection> connection_;
    xcb_ewmh_connection_t ewmh_{};
    xcb_window_t root_ = 0;
    std::map<std::int32_t, KeyWindow> keyWindows_;

    std::mutex observersMutex_;
    std::uint64_t nextToken_ = 1;
    std::map<std::uint64_t, ActivationHandler> observers_;

    // Last: it reports into the members above until it is gone.
    std::unique_ptr<ActivationWatcherX11> watcher_;
};

} // namespace quillmere

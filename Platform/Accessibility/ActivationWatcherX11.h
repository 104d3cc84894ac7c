#pragma once

#include "Platform/X11/XcbConnection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quillmere {

// Follows the window manager's active window on a connection and a thread
// of its own: every change of _NET_ACTIVE_WINDOW on the root is reported
// with the window and the process that set _NET_WM_PID on it (0 when none).
class ActivationWatcherX11 {
public:
    using Handler = std::function<void(std::uint32_t window, std::int32_t pid)>;

    // Nothing is watched when open gives no connection.
    ActivationWatcherX11(const XcbConnection::Opener& open, Handler handler);
    // Waits for the thread, so the handler never runs after it.
    ~ActivationWatcherX11();
    ActivationWatcherX11(const ActivationWatcherX11&) = delete;
    ActivationWatcherX11& operator=(const ActivationWatcherX11&) = delete;

    bool watching() const { return thread_.joinable(); }

private:
    void run();
    void report();

    std::unique_ptr<XcbConnection> connection_;
    Handler handler_;
    std::uint32_t activeAtom_ = 0;
    std::uint32_t pidAtom_ = 0;
    int wake_ = -1;
    std::thread thread_;
};

} // namespace quillmere

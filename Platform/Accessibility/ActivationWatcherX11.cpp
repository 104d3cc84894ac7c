#include "Platform/Accessibility/ActivationWatcherX11.h"

#include "Platform/X11/XcbConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>

namespace quillmere {

ActivationWatcherX11::ActivationWatcherX11(const XcbConnection::Opener& open, Handler handler)
    : handler_(std::move(handler)) {
    auto opened = open();
    if (!opened) return;
    connection_ = std::move(*opened);
    constexpr std::array<std::string_view, 2> names{"_NET_ACTIVE_WINDOW", "_NET_WM_PID"};
    const auto atoms = connection_->atoms(names);
    activeAtom_ = atoms[0];
    pidAtom_ = atoms[1];
    xcb_connection_t* c = connection_->get();
    const xcb_window_t root = connection_->screens().at(static_cast<std::size_t>(connection_->defaultScreenNumber()))->root;
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    if (connection_->check(xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask))) return;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return;
    thread_ = std::thread([this] { run(); });
}

ActivationWatcherX11::~ActivationWatcherX11() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (wake_ >= 0) close(wake_);
}

void ActivationWatcherX11::run() {
    xcb_connection_t* c = connection_->get();
    std::array<pollfd, 2> fds{pollfd{connection_->fileDescriptor(), POLLIN, 0}, pollfd{wake_, POLLIN, 0}};
    while (!connection_->hasError()) {
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
                reinterpret_cast<xcb_property_notify_event_t*>(event)->atom == activeAtom_) {
                changed = true;
            }
            std::free(event);
        }
        // A burst of changes is one report of where it ended. Events read
        // while waiting for the report's replies sit in the queue, where a
        // poll of the socket would not see them: look again first.
        if (changed) {
            report();
            continue;
        }
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[1].revents != 0) return;
    }
}

void ActivationWatcherX11::report() {
    xcb_connection_t* c = connection_->get();
    const xcb_window_t root = connection_->screens().at(static_cast<std::size_t>(connection_->defaultScreenNumber()))->root;
    XcbReply<xcb_get_property_reply_t> active(
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, activeAtom_, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!active || active->format != 32 || xcb_get_property_value_length(active.get()) < 4) return;
    const xcb_window_t window = *static_cast<const xcb_window_t*>(xcb_get_property_value(active.get()));
    if (window == XCB_NONE) return;
    XcbReply<xcb_get_property_reply_t> pid(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    std::int32_t process = 0;
    if (pid && pid->format == 32 && xcb_get_property_value_length(pid.get()) >= 4) {
        const std::uint32_t value = *static_cast<const std::uint32_t*>(xcb_get_property_value(pid.get()));
        if (value <= 0x7FFFFFFFu) process = static_cast<std::int32_t>(value);
    }
    handler_(window, process);
}

} // namespace quillmere

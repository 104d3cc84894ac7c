#include "TestSupport/SignalSender.h"

#include <poll.h>

#include <stdexcept>

namespace quillmere::testing {

SignalSender::SignalSender(const std::string& address, bool asLogind) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
        throw std::runtime_error("signal sender: no bus");
    if (asLogind) {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("GetSessionByPID", "u", "o", &SignalSender::onGetSession, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", vtable,
                                 nullptr);
        if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) throw std::runtime_error("signal sender: name");
    }
    thread_ = std::thread([this] {
        while (!stop_) {
            {
                std::lock_guard lock(mutex_);
                while (sd_bus_process(bus_, nullptr) > 0) {}
            }
            pollfd p{sd_bus_get_fd(bus_), POLLIN, 0};
            ::poll(&p, 1, 20);
        }
    });
}

SignalSender::~SignalSender() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
}

void SignalSender::prepareForSleep(bool sleeping) {
    std::lock_guard lock(mutex_);
    sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                       static_cast<int>(sleeping));
    settle();
}

void SignalSender::lock(const std::string& sessionPath) {
    std::lock_guard lock(mutex_);
    sd_bus_emit_signal(bus_, sessionPath.c_str(), "org.freedesktop.login1.Session", "Lock", "");
    settle();
}

int SignalSender::onGetSession(sd_bus_message* message, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(message, "o", session);
}

void SignalSender::settle() {
    sd_bus_flush(bus_);
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", nullptr,
                       &reply, "");
    sd_bus_message_unref(reply);
}

} // namespace quillmere::testing

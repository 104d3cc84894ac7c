#include "Platform/Power/LogindIdleInhibitor.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <utility>

namespace quillmere {

namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusHandle = std::unique_ptr<sd_bus, BusUnref>;
using MessageHandle = std::unique_ptr<sd_bus_message, MessageUnref>;

std::string errnoText(std::string_view what, int negativeErrno) {
    return std::string(what) + ": " + std::strerror(-negativeErrno);
}

std::expected<BusHandle, std::string> openBus(const std::optional<std::string>& address) {
    sd_bus* raw = nullptr;
    if (!address) {
        const int r = sd_bus_open_system(&raw);
        if (r < 0) return std::unexpected(errnoText("system bus", r));
        return BusHandle(raw);
    }
    int r = sd_bus_new(&raw);
    if (r < 0) return std::unexpected(errnoText("bus", r));
    BusHandle bus(raw);
    if ((r = sd_bus_set_address(bus.get(), address->c_str())) < 0) return std::unexpected(errnoText("bus address", r));
    if ((r = sd_bus_set_bus_client(bus.get(), 1)) < 0) return std::unexpected(errnoText("bus client", r));
    if ((r = sd_bus_start(bus.get())) < 0) return std::unexpected(errnoText("bus", r));
    return bus;
}

} // namespace

LogindIdleInhibitor::LogindIdleInhibitor(std::optional<std::string> busAddress) : busAddress_(std::move(busAddress)) {}

std::expected<LogindIdleInhibitor::Lock, std::string> LogindIdleInhibitor::inhibit(std::string_view who,
                                                                                 std::string_view why) const {
    auto bus = openBus(busAddress_);
    if (!bus) return std::unexpected(bus.error());

    const std::string whoText(who);
    const std::string whyText(why);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    const int r = sd_bus_call_method(bus->get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit", &error, &rawReply, "ssss", "idle",
                                     whoText.c_str(), whyText.c_str(), "block");
    MessageHandle reply(rawReply);
    if (r < 0) {
        std::string text = error.message != nullptr ? error.message : std::strerror(-r);
        sd_bus_error_free(&error);
        return std::unexpected("Inhibit: " + text);
    }
    sd_bus_error_free(&error);

    int fd = -1;
    if (const int read = sd_bus_message_read(reply.get(), "h", &fd); read < 0)
        return std::unexpected(errnoText("Inhibit reply", read));
    // The descriptor belongs to the reply; the lock keeps its own copy.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) return std::unexpected(errnoText("Inhibit descriptor", -errno));
    return Lock(own);
}

} // namespace quillmere

#include "Platform/Power/LogindSignalWatcher.h"

#include <systemd/sd-bus.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace quillmere {

struct LogindSignalWatcher::Bus {
    sd_bus* bus = nullptr;
    sd_bus_slot* sleepSlot = nullptr;
    sd_bus_slot* lockSlot = nullptr;
    // What the bus thread calls with each signal.
    std::function<void(Signal)> forward;
    ~Bus() {
        sd_bus_slot_unref(lockSlot);
        sd_bus_slot_unref(sleepSlot);
        sd_bus_flush_close_unref(bus);
    }
};

namespace {

constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";

std::string errnoText(std::string_view what, int negativeErrno) {
    return std::string(what) + ": " + std::strerror(-negativeErrno);
}

// This process's session object, when logind answers for it. Start-up runs
// on the main thread, so a logind that does not answer is not waited for long.
std::string ownSessionPath(sd_bus* bus) {
    constexpr std::uint64_t timeoutUs = 2'000'000;
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, LogindSignalWatcher::busName, managerPath, managerInterface,
                                       "GetSessionByPID") < 0)
        return {};
    std::string path;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* found = nullptr;
    if (sd_bus_message_append(call, "u", static_cast<std::uint32_t>(::getpid())) >= 0 &&
        sd_bus_call(bus, call, timeoutUs, &error, &reply) >= 0 && sd_bus_message_read(reply, "o", &found) >= 0 &&
        found != nullptr)
        path = found;
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return path;
}

int onPrepareForSleep(sd_bus_message* message, void* context, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0 || !sleeping) return 0;
    static_cast<std::function<void(LogindSignalWatcher::Signal)>*>(context)->operator()(
        LogindSignalWatcher::Signal::willSleep);
    return 0;
}

int onLock(sd_bus_message*, void* context, sd_bus_error*) {
    static_cast<std::function<void(LogindSignalWatcher::Signal)>*>(context)->operator()(
        LogindSignalWatcher::Signal::screenLocked);
    return 0;
}

} // namespace

std::expected<std::unique_ptr<LogindSignalWatcher>, std::string> LogindSignalWatcher::start(
    Executor& queue, Handler handler, std::optional<std::string> busAddress) {
    std::unique_ptr<LogindSignalWatcher> watcher(new LogindSignalWatcher());
    watcher->queue_ = &queue;
    watcher->live_ = std::make_shared<std::atomic<bool>>(true);
    watcher->handler_ = std::make_shared<Handler>(std::move(handler));
    watcher->bus_ = std::make_unique<Bus>();
    Bus& b = *watcher->bus_;

    int r = 0;
    if (!busAddress) {
        if ((r = sd_bus_open_system(&b.bus)) < 0) return std::unexpected(errnoText("system bus", r));
    } else {
        if ((r = sd_bus_new(&b.bus)) < 0) return std::unexpected(errnoText("bus", r));
        if ((r = sd_bus_set_address(b.bus, busAddress->c_str())) < 0) return std::unexpected(errnoText("bus address", r));
        if ((r = sd_bus_set_bus_client(b.bus, 1)) < 0) return std::unexpected(errnoText("bus client", r));
        if ((r = sd_bus_start(b.bus)) < 0) return std::unexpected(errnoText("bus", r));
    }

    b.forward = [w = watcher.get()](Signal signal) { w->deliver(signal); };
    void* forward = &b.forward;

    watcher->sessionPath_ = ownSessionPath(b.bus);
    if ((r = sd_bus_match_signal(b.bus, &b.sleepSlot, busName, managerPath, managerInterface, "PrepareForSleep",
                                 onPrepareForSleep, forward)) < 0)
        return std::unexpected(errnoText("PrepareForSleep", r));
    const char* lockPath = watcher->sessionPath_.empty() ? nullptr : watcher->sessionPath_.c_str();
    if ((r = sd_bus_match_signal(b.bus, &b.lockSlot, busName, lockPath, sessionInterface, "Lock", onLock, forward)) <
        0)
        return std::unexpected(errnoText("Lock", r));

    watcher->wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!watcher->wake_.valid()) return std::unexpected(errnoText("eventfd", -errno));
    watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
    return watcher;
}

LogindSignalWatcher::~LogindSignalWatcher() {
    if (live_) live_->store(false);
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
    bus_.reset();
}

void LogindSignalWatcher::deliver(Signal signal) {
    queue_->async([live = live_, handler = handler_, signal] {
        if (live->load()) (*handler)(signal);
    });
}

void LogindSignalWatcher::run() {
    sd_bus* bus = bus_->bus;
    for (;;) {
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {}
        if (r < 0) return; // the bus went away; nothing more will come

        pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {wake_.get(), POLLIN, 0}};
        int timeoutMs = -1;
        std::uint64_t until = 0;
        if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
            timeoutMs = until <= nowUs ? 0 : static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60'000));
        }
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
    }
}

} // namespace quillmere

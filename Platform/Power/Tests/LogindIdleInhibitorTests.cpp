#include "Platform/Power/LogindIdleInhibitor.h"
#include "TestSupport/PrivateBus.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

// Plays logind on the private bus: every Inhibit call gets the write end of a
// fresh pipe, whose read end tells the test when the caller let go.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        if (sd_bus_start(bus_) < 0) throw std::runtime_error("fake logind: no bus");
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", vtable,
                                 this);
        if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) throw std::runtime_error("fake logind: name");
        thread_ = std::thread([this] {
            while (!stop_) {
                while (sd_bus_process(bus_, nullptr) > 0) {}
                sd_bus_wait(bus_, 20'000);
            }
        });
    }
    ~FakeLogind() {
        stop_ = true;
        thread_.join();
        sd_bus_flush_close_unref(bus_);
        for (int fd : readEnds_) ::close(fd);
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int readEnd(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return readEnds_.at(index);
    }

private:
    static int onInhibit(sd_bus_message* message, void* context, sd_bus_error*) {
        auto* self = static_cast<FakeLogind*>(context);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
        {
            std::lock_guard lock(self->mutex_);
            self->calls_.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
            self->readEnds_.push_back(ends[0]);
        }
        const int r = sd_bus_reply_method_return(message, "h", ends[1]);
        ::close(ends[1]); // the reply carries its own copy
        return r;
    }

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<int> readEnds_;
};

// True when every holder of the pipe's write end has closed it.
bool released(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    char byte;
    return ::read(readEnd, &byte, 1) == 0;
}

bool stillHeld(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 50) == 0;
}

TEST(LogindIdleInhibitor, HoldsTheIdleLockUntilReleased) {
    testing::PrivateBus bus;
    FakeLogind logind(bus.address());
    const LogindIdleInhibitor inhibitor(bus.address());

    auto lock = inhibitor.inhibit("Quillmere", "Streaming this Mac to an iPhone");
    ASSERT_TRUE(lock) << lock.error();
    ASSERT_EQ(logind.calls(), std::vector<std::string>{"idle|Quillmere|Streaming this Mac to an iPhone|block"});
    EXPECT_TRUE(stillHeld(logind.readEnd(0)));

    // Moving the lock keeps it held; dropping the last owner ends it.
    std::optional<LogindIdleInhibitor::Lock> moved(std::move(*lock));
    lock = std::unexpected(std::string("gone"));
    EXPECT_TRUE(stillHeld(logind.readEnd(0)));
    moved.reset();
    EXPECT_TRUE(released(logind.readEnd(0)));
}

TEST(LogindIdleInhibitor, ReportsABusWithoutLogind) {
    testing::PrivateBus bus;
    const LogindIdleInhibitor inhibitor(bus.address());
    const auto lock = inhibitor.inhibit("Quillmere", "Streaming");
    ASSERT_FALSE(lock);
    EXPECT_NE(lock.error().find("Inhibit"), std::string::npos) << lock.error();
}

TEST(LogindIdleInhibitor, ReportsAnUnreachableBus) {
    const LogindIdleInhibitor inhibitor("unix:path=/nonexistent/quillmere-bus");
    const auto lock = inhibitor.inhibit("Quillmere", "Streaming");
    ASSERT_FALSE(lock);
    EXPECT_FALSE(lock.error().empty());
}

} // namespace
} // namespace quillmere

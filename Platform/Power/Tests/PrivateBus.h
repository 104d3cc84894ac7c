#pragma once

#include <systemd/sd-bus.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace quillmere::testing {

// A private dbus-daemon in a temporary folder, stopped with the test.
class PrivateBus {
public:
    PrivateBus() {
        std::string pattern = "/tmp/quillmere-bus-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        const auto socket = folder_ / "bus";
        address_ = "unix:path=" + socket.string();
        std::ofstream(folder_ / "bus.conf")
            << "<busconfig><type>session</type><listen>" << address_ << "</listen><auth>EXTERNAL</auth>"
            << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        const std::string config = "--config-file=" + (folder_ / "bus.conf").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", nullptr);
            ::_exit(127);
        }
        // The socket file appears at bind(), before the daemon listens: wait
        // until a connection is accepted.
        for (int i = 0; i < 500 && !accepts(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!accepts(socket)) throw std::runtime_error("dbus-daemon did not start");
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }

    // Whether a daemon listens on the socket.
    static bool accepts(const std::filesystem::path& socket) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return connected;
    }

private:
    std::filesystem::path folder_;
    std::string address_;
    pid_t pid_ = -1;
};

// A connection to the private bus that sends signals, as logind when it owns
// logind's name, else as anyone. As logind it also tells callers of
// GetSessionByPID that they are in session.
class SignalSender {
public:
    static constexpr const char* session = "/org/freedesktop/login1/session/_31";

    SignalSender(const std::string& address, bool asLogind) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
            throw std::runtime_error("signal sender: no bus");
        if (asLogind) {
            static const sd_bus_vtable vtable[] = {
                SD_BUS_VTABLE_START(0),
                SD_BUS_METHOD("GetSessionByPID", "u", "o", &SignalSender::onGetSession, SD_BUS_VTABLE_UNPRIVILEGED),
                SD_BUS_VTABLE_END,
            };
            sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     vtable, nullptr);
            if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0)
                throw std::runtime_error("signal sender: name");
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
    ~SignalSender() {
        stop_ = true;
        thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    SignalSender(const SignalSender&) = delete;
    SignalSender& operator=(const SignalSender&) = delete;

    void prepareForSleep(bool sleeping) {
        std::lock_guard lock(mutex_);
        sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                           static_cast<int>(sleeping));
        settle();
    }
    void lock(const std::string& sessionPath = session) {
        std::lock_guard lock(mutex_);
        sd_bus_emit_signal(bus_, sessionPath.c_str(), "org.freedesktop.login1.Session", "Lock", "");
        settle();
    }

private:
    static int onGetSession(sd_bus_message* message, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(message, "o", session);
    }

    // A round trip to the daemon: what was sent before has been routed.
    void settle() {
        sd_bus_flush(bus_);
        sd_bus_message* reply = nullptr;
        sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                           nullptr, &reply, "");
        sd_bus_message_unref(reply);
    }

    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace quillmere::testing

#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace quillmere::testing {

// A connection to a private bus that sends signals, as logind when it owns
// logind's name, else as anyone. As logind it also tells callers of
// GetSessionByPID that they are in session.
class SignalSender {
public:
    static constexpr const char* session = "/org/freedesktop/login1/session/_31";

    SignalSender(const std::string& address, bool asLogind);
    ~SignalSender();
    SignalSender(const SignalSender&) = delete;
    SignalSender& operator=(const SignalSender&) = delete;

    void prepareForSleep(bool sleeping);
    void lock(const std::string& sessionPath = session);

private:
    static int onGetSession(sd_bus_message* message, void*, sd_bus_error*);
    // A round trip to the daemon: what was sent before has been routed.
    void settle();

    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace quillmere::testing

#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereBase/FileDescriptor.h"

#include <atomic>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace quillmere {

// logind's word that the machine is about to sleep (PrepareForSleep(true))
// or that a session's screen is to be locked (Lock), from logind itself
// only. Lock is taken from this process's own session when logind knows
// it, else from every session. A thread of its own waits on the bus.
class LogindSignalWatcher {
public:
    enum class Signal { willSleep, screenLocked };
    using Handler = std::function<void(Signal)>;

    static constexpr const char* busName = "org.freedesktop.login1";

    // Handler runs on queue. The system bus, or the bus at busAddress
    // ("unix:path=..."). The error text says why it could not listen.
    static std::expected<std::unique_ptr<LogindSignalWatcher>, std::string> start(
        Executor& queue, Handler handler, std::optional<std::string> busAddress = std::nullopt);

    // Stops; the handler is not called once this returns on the queue.
    ~LogindSignalWatcher();
    LogindSignalWatcher(const LogindSignalWatcher&) = delete;
    LogindSignalWatcher& operator=(const LogindSignalWatcher&) = delete;

    // The session whose Lock counts, or empty when every session's does.
    const std::string& sessionPath() const { return sessionPath_; }

    struct Bus;

private:
    LogindSignalWatcher() = default;
    void run();
    void deliver(Signal signal);

    Executor* queue_ = nullptr;
    std::shared_ptr<std::atomic<bool>> live_;
    std::shared_ptr<Handler> handler_;
    std::unique_ptr<Bus> bus_;
    std::string sessionPath_;
    FileDescriptor wake_;
    std::thread thread_;
};

} // namespace quillmere

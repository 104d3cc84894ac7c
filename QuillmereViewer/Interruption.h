#pragma once

#include <atomic>
#include <chrono>

namespace quillmere {

// The user's request to stop (Ctrl-C), polled by the long waits of the viewer.
class Interruption {
public:
    void raise() { raised_.store(true, std::memory_order_relaxed); }
    bool raised() const { return raised_.load(std::memory_order_relaxed); }
    // Sleeps for the duration unless interrupted first; true when interrupted.
    bool sleep(std::chrono::milliseconds duration) const;

    // The process's own, raised by SIGINT and SIGTERM once the handlers are
    // installed; a second signal ends the process at once.
    static Interruption& process();
    static void installSignalHandlers();

private:
    std::atomic<bool> raised_{false};
};

} // namespace quillmere

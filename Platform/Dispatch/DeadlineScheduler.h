#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace quillmere {

// One thread that wakes serial queues when their delayed work falls due, so
// that a queue waiting for a deadline holds no thread of its own.
class DeadlineScheduler {
public:
    // Runs on the scheduler's thread: it must only hand work on, quickly.
    using Wake = std::function<void()>;

    DeadlineScheduler();
    // Waits for the thread to end; wakes not yet due are dropped.
    ~DeadlineScheduler();
    DeadlineScheduler(const DeadlineScheduler&) = delete;
    DeadlineScheduler& operator=(const DeadlineScheduler&) = delete;

    // Wakes at deadlineNs of the uptime clock, in deadline order; equal
    // deadlines in the order asked. Dropped once stop() began.
    void at(std::uint64_t deadlineNs, Wake wake);
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere

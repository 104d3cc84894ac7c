#pragma once

#include <cstdint>
#include <functional>

namespace quillmere {

// One thread that wakes serial queues when their delayed work falls due, so
// that a queue waiting for a deadline holds no thread of its own.
class DeadlineScheduler {
public:
    // Runs on the scheduler's thread: it must only hand work on, quickly.
    using Wake = std::function<void()>;

    // Never destroyed, like the worker pool.
    static DeadlineScheduler& shared();

    // Wakes at deadlineNs of the uptime clock, in deadline order; equal
    // deadlines in the order asked.
    void at(std::uint64_t deadlineNs, Wake wake);

private:
    DeadlineScheduler();
    struct State;
    State* state_;
};

} // namespace quillmere

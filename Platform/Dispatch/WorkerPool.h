#pragma once

#include <cstddef>
#include <functional>

namespace quillmere {

// The threads serial queues run on. A queue holds a thread only while it
// has work: an idle queue (a connection waiting for packets, a timer that
// fires once a second) costs none. A task never waits for a free thread:
// when every thread is busy, or blocked in a sync onto another queue, a new
// one starts; threads left idle for a while end.
class WorkerPool {
public:
    using Task = std::function<void()>;

    // One pool for the whole process; it is never destroyed, so that its
    // threads may outlive static destruction.
    static WorkerPool& shared();

    void run(Task task);
    // Threads alive now, busy or idle.
    std::size_t threads() const;

private:
    WorkerPool();
    struct State;
    State* state_;
};

} // namespace quillmere

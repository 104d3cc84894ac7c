#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace quillmere {

// The threads serial queues run on. A queue holds a thread only while it
// has work: an idle queue (a connection waiting for packets, a timer that
// fires once a second) costs none. A task never waits for a free thread:
// when every thread is busy, or blocked in a sync onto another queue, a new
// one starts; threads left idle for a while end.
class WorkerPool {
public:
    using Task = std::function<void()>;

    WorkerPool();
    // Waits for every thread to end: running tasks finish first.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Once stop() began, the task runs on the calling thread.
    void run(Task task);
    // Ends the idle threads now and waits for the busy ones to end.
    void stop();
    // Threads alive now, busy or idle.
    std::size_t threads() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere

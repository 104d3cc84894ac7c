#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace quillmere {

// The threads serial queues run on. A queue holds a thread only while it
// has work: an idle queue (a connection waiting for packets, a timer that
// fires once a second) costs none. Up to a soft cap, a task that finds
// every thread busy gets a new one. Past it, the task waits for a thread
// to come free; when none has for the grace, a new one starts anyway, so
// threads blocked in syncs onto other queues never starve the queues they
// wait for. A burst of short tasks, or a flood on a loaded machine, shares
// the threads there are; threads left idle for a while end.
class WorkerPool {
public:
    using Task = std::function<void()>;

    struct Limits {
        std::size_t softCap;
        std::chrono::nanoseconds grace;

        // Twice the processors this process can keep busy, at least 4.
        static Limits forThisMachine();
    };

    explicit WorkerPool(Limits limits = Limits::forThisMachine());
    // Waits for every thread to end: running and waiting tasks finish first.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Never blocks. Once stop() began, the task runs on the calling thread.
    void run(Task task);
    // Ends the idle threads now and waits for the busy ones to end.
    void stop();
    // Threads that run tasks alive now, busy or idle; while tasks wait, one
    // more watches them.
    std::size_t threads() const;
    const Limits& limits() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere

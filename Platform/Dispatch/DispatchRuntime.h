#pragma once

#include "Platform/Dispatch/DeadlineScheduler.h"
#include "Platform/Dispatch/WorkerPool.h"

#include <memory>

namespace quillmere {

// The worker pool and the deadline scheduler serial queues run on, owned
// by the program: main makes one before anything else, and its end waits
// for every thread to end. A test may make its own. Queues made while one
// exists run on it (the latest, when several are nested); queues made while
// none exists run on one made for the process at first need and never
// ended, as objects nobody ended may still use it at exit.
class DispatchRuntime {
public:
    explicit DispatchRuntime(WorkerPool::Limits limits = WorkerPool::Limits::forThisMachine());
    ~DispatchRuntime();
    DispatchRuntime(const DispatchRuntime&) = delete;
    DispatchRuntime& operator=(const DispatchRuntime&) = delete;

    // Shared with the queues made on it, which may outlive it: past its end
    // their work runs on the thread that asks for it, delays are dropped.
    const std::shared_ptr<WorkerPool>& pool() const { return pool_; }
    const std::shared_ptr<DeadlineScheduler>& scheduler() const { return scheduler_; }

    // The runtime queues made now run on.
    static DispatchRuntime& current();

private:
    std::shared_ptr<WorkerPool> pool_;
    std::shared_ptr<DeadlineScheduler> scheduler_;
    DispatchRuntime* previous_ = nullptr;
};

} // namespace quillmere

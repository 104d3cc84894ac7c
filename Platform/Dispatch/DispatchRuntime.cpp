#include "Platform/Dispatch/DispatchRuntime.h"

#include <mutex>

namespace quillmere {

namespace {
std::mutex installedMutex;
DispatchRuntime* installed = nullptr;
} // namespace

DispatchRuntime::DispatchRuntime(WorkerPool::Limits limits)
    : pool_(std::make_shared<WorkerPool>(limits)), scheduler_(std::make_shared<DeadlineScheduler>()) {
    std::lock_guard lock(installedMutex);
    previous_ = installed;
    installed = this;
}

DispatchRuntime::~DispatchRuntime() {
    {
        std::lock_guard lock(installedMutex);
        if (installed == this) installed = previous_;
    }
    // The scheduler first: its wakes start turns on the pool.
    scheduler_->stop();
    pool_->stop();
}

DispatchRuntime& DispatchRuntime::current() {
    {
        std::lock_guard lock(installedMutex);
        if (installed) return *installed;
    }
    // Made once, outside the lock: it installs itself.
    static DispatchRuntime* process = new DispatchRuntime();
    return *process;
}

} // namespace quillmere

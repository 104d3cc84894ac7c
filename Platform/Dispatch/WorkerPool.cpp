#include "Platform/Dispatch/WorkerPool.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere {

namespace {

// Long enough that a queue woken every few hundred milliseconds keeps
// finding a thread ready; short enough that a burst's threads go soon.
constexpr auto idleLifetime = std::chrono::seconds(2);

struct Worker {
    std::condition_variable wake;
    WorkerPool::Task task;
};

} // namespace

struct WorkerPool::State {
    mutable std::mutex mutex;
    std::vector<Worker*> idle; // most recently idle last: it is reused first
    std::size_t threads = 0;

    void work(Task first) {
        Worker self;
        Task task = std::move(first);
        std::unique_lock lock(mutex);
        for (;;) {
            lock.unlock();
            task();
            task = nullptr; // what it captured dies here, not under the lock
            lock.lock();
            idle.push_back(&self);
            self.wake.wait_for(lock, idleLifetime, [&] { return static_cast<bool>(self.task); });
            if (!self.task) {
                std::erase(idle, &self);
                --threads;
                return;
            }
            task = std::move(self.task);
        }
    }
};

WorkerPool& WorkerPool::shared() {
    static WorkerPool* pool = new WorkerPool();
    return *pool;
}

WorkerPool::WorkerPool() : state_(new State()) {}

void WorkerPool::run(Task task) {
    State* s = state_;
    std::unique_lock lock(s->mutex);
    if (!s->idle.empty()) {
        Worker* worker = s->idle.back();
        s->idle.pop_back();
        worker->task = std::move(task);
        worker->wake.notify_one();
        return;
    }
    ++s->threads;
    lock.unlock();
    std::thread([s, task = std::move(task)]() mutable { s->work(std::move(task)); }).detach();
}

std::size_t WorkerPool::threads() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

} // namespace quillmere

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
    std::condition_variable ended;
    std::vector<Worker*> idle; // most recently idle last: it is reused first
    std::size_t threads = 0;
    bool stopping = false;

    static inline thread_local const State* current = nullptr;

    void work(Task first) {
        current = this;
        Worker self;
        Task task = std::move(first);
        std::unique_lock lock(mutex);
        for (;;) {
            lock.unlock();
            task();
            task = nullptr; // what it captured dies here, not under the lock
            lock.lock();
            if (stopping) break;
            idle.push_back(&self);
            self.wake.wait_for(lock, idleLifetime, [&] { return static_cast<bool>(self.task) || stopping; });
            if (!self.task) {
                std::erase(idle, &self);
                break;
            }
            task = std::move(self.task);
        }
        --threads;
        ended.notify_all();
    }
};

WorkerPool::WorkerPool() : state_(std::make_shared<State>()) {}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::run(Task task) {
    std::unique_lock lock(state_->mutex);
    if (state_->stopping) {
        lock.unlock();
        task();
        return;
    }
    if (!state_->idle.empty()) {
        Worker* worker = state_->idle.back();
        state_->idle.pop_back();
        worker->task = std::move(task);
        worker->wake.notify_one();
        return;
    }
    ++state_->threads;
    lock.unlock();
    // The thread owns the state with the pool: it may end just after stop()
    // saw it go.
    std::thread([state = state_, task = std::move(task)]() mutable { state->work(std::move(task)); }).detach();
}

void WorkerPool::stop() {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    for (Worker* worker : state_->idle) worker->wake.notify_one();
    // A task that stops its own pool cannot wait for itself.
    const std::size_t own = State::current == state_.get() ? 1 : 0;
    state_->ended.wait(lock, [&] { return state_->threads <= own; });
}

std::size_t WorkerPool::threads() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

} // namespace quillmere

#include "Platform/Dispatch/SerialQueue.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchRuntime.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <utility>

namespace quillmere {

struct SerialQueue::State : std::enable_shared_from_this<State> {
    State(std::string name, const DispatchRuntime& runtime)
        : label(std::move(name)), pool(runtime.pool()), scheduler(runtime.scheduler()) {}

    const std::string label;
    const std::shared_ptr<WorkerPool> pool;
    const std::shared_ptr<DeadlineScheduler> scheduler;
    std::mutex mutex;
    // Signalled when a turn on the pool ends.
    std::condition_variable turnEnded;
    std::deque<Work> ready;
    // Keyed by (deadline, submission order) so equal deadlines keep FIFO order.
    std::map<std::pair<std::uint64_t, std::uint64_t>, Work> delayed;
    std::uint64_t submissions = 0;
    bool stopping = false;
    // A turn is queued on the pool or running: at most one at a time keeps
    // the queue serial.
    bool hasTurn = false;

    // Under the lock.
    void moveDue(std::uint64_t now) {
        while (!delayed.empty() && delayed.begin()->first.first <= now) {
            ready.push_back(std::move(delayed.begin()->second));
            delayed.erase(delayed.begin());
        }
    }

    // Under the lock. True when the caller must start a turn.
    bool takeDue(std::uint64_t now) {
        moveDue(now);
        if (stopping || ready.empty() || hasTurn) return false;
        hasTurn = true;
        return true;
    }

    void startTurn() {
        pool->run([self = shared_from_this()] { self->turn(); });
    }

    void wakeAt(std::uint64_t deadlineNs) {
        scheduler->at(deadlineNs, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            bool start;
            {
                std::lock_guard lock(self->mutex);
                start = self->takeDue(Clock::nowNs());
            }
            if (start) self->startTurn();
        });
    }

    void turn();
};

namespace {
thread_local const void* currentState = nullptr;
thread_local const std::string* currentName = nullptr;
} // namespace

// Runs on a pool thread until the queue has nothing due.
void SerialQueue::State::turn() {
    currentState = this;
    currentName = &label;
    std::unique_lock lock(mutex);
    for (;;) {
        moveDue(Clock::nowNs());
        if (stopping || ready.empty()) break;
        Work work = std::move(ready.front());
        ready.pop_front();
        lock.unlock();
        work();
        work = nullptr; // captured state dies on this queue, not under the lock
        lock.lock();
    }
    hasTurn = false;
    currentState = nullptr;
    currentName = nullptr;
    turnEnded.notify_all();
}

// On the runtime current now, for good: a queue's turns never move between pools.
SerialQueue::SerialQueue(std::string label)
    : state_(std::make_shared<State>(std::move(label), DispatchRuntime::current())) {}

SerialQueue::~SerialQueue() {
    std::deque<Work> ready;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Work> delayed;
    {
        std::unique_lock lock(state_->mutex);
        state_->stopping = true;
        ready.swap(state_->ready);
        delayed.swap(state_->delayed);
        // The running item finishes first, unless it is the one destroying
        // the queue: its turn then ends right after it.
        if (!isCurrent()) state_->turnEnded.wait(lock, [&] { return !state_->hasTurn; });
    }
    // Dropped work is destroyed outside the lock: its captures may own queues.
}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::async(Work work) {
    // A copy: once the lock is released the work may already have run and
    // released the last owner of this queue.
    const auto state = state_;
    bool start;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopping) return;
        state->ready.push_back(std::move(work));
        start = !state->hasTurn;
        state->hasTurn = true;
    }
    if (start) state->startTurn();
}

void SerialQueue::asyncAfter(std::uint64_t delayNs, Work work) {
    const std::uint64_t deadline = Clock::nowNs() + delayNs;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) return;
        state_->delayed.emplace(std::make_pair(deadline, state_->submissions++), std::move(work));
    }
    state_->wakeAt(deadline);
}

void SerialQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    // Shared so that work dropped by a queue being destroyed breaks the
    // promise and releases the waiter instead of hanging it.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    async([&work, done] {
        work();
        done->set_value();
    });
    finished.wait();
}

bool SerialQueue::isCurrent() const { return currentState == state_.get(); }

std::uint64_t SerialQueue::nowNs() const { return Clock::nowNs(); }

std::string SerialQueue::currentLabel() { return currentName ? *currentName : std::string(); }

} // namespace quillmere

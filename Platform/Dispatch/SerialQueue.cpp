#include "Platform/Dispatch/SerialQueue.h"

#include "Platform/Dispatch/Clock.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace quillmere {

struct SerialQueue::State {
    explicit State(std::string name) : label(std::move(name)) {}

    const std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Work> ready;
    // Keyed by (deadline, submission order) so equal deadlines keep FIFO order.
    std::map<std::pair<std::uint64_t, std::uint64_t>, Work> delayed;
    std::uint64_t submissions = 0;
    bool stopping = false;
    std::thread thread;
};

namespace {
thread_local const void* currentState = nullptr;
thread_local const std::string* currentName = nullptr;
} // namespace

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>(std::move(label))) {
    state_->thread = std::thread([state = state_] {
        currentState = state.get();
        currentName = &state->label;
        std::unique_lock lock(state->mutex);
        while (!state->stopping) {
            const std::uint64_t now = Clock::nowNs();
            while (!state->delayed.empty() && state->delayed.begin()->first.first <= now) {
                state->ready.push_back(std::move(state->delayed.begin()->second));
                state->delayed.erase(state->delayed.begin());
            }
            if (!state->ready.empty()) {
                Work work = std::move(state->ready.front());
                state->ready.pop_front();
                lock.unlock();
                work();
                work = nullptr; // captured state dies on this queue, not under the lock
                lock.lock();
                continue;
            }
            if (state->delayed.empty()) {
                state->wake.wait(lock);
            } else {
                const std::uint64_t deadline = state->delayed.begin()->first.first;
                const auto waitFor = std::chrono::nanoseconds(deadline - now);
                state->wake.wait_for(lock, waitFor);
            }
        }
        // Dropped work is destroyed outside the lock: its captures may own queues.
        auto ready = std::move(state->ready);
        auto delayed = std::move(state->delayed);
        lock.unlock();
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::async(Work work) {
    // Notify under the lock: once it is released the work may already have
    // run and released the last owner of this queue.
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->ready.push_back(std::move(work));
    state_->wake.notify_one();
}

void SerialQueue::asyncAfter(std::uint64_t delayNs, Work work) {
    const std::uint64_t deadline = Clock::nowNs() + delayNs;
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->delayed.emplace(std::make_pair(deadline, state_->submissions++), std::move(work));
    state_->wake.notify_one();
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

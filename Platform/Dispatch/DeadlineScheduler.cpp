#include "Platform/Dispatch/DeadlineScheduler.h"

#include "Platform/Dispatch/Clock.h"

#include <sys/prctl.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace quillmere {

struct DeadlineScheduler::State {
    struct Entry {
        std::uint64_t deadlineNs;
        std::uint64_t order;
        Wake wake;
        bool operator>(const Entry& other) const {
            return deadlineNs != other.deadlineNs ? deadlineNs > other.deadlineNs : order > other.order;
        }
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries;
    std::uint64_t submissions = 0;
    bool stopping = false;
    bool running = true;
    std::thread::id thread;

    void run() {
        // The kernel may defer a timed wake by the thread's slack, 50 µs by
        // default: longer than the gaps a pacer asks for between bursts.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        std::unique_lock lock(mutex);
        thread = std::this_thread::get_id();
        while (!stopping) {
            if (entries.empty()) {
                changed.wait(lock);
                continue;
            }
            const std::uint64_t now = Clock::nowNs();
            const std::uint64_t deadline = entries.top().deadlineNs;
            if (deadline > now) {
                changed.wait_for(lock, std::chrono::nanoseconds(deadline - now));
                continue;
            }
            Wake wake = std::move(const_cast<Entry&>(entries.top()).wake);
            entries.pop();
            lock.unlock();
            wake();
            wake = nullptr;
            lock.lock();
        }
        running = false;
        changed.notify_all();
    }
};

DeadlineScheduler::DeadlineScheduler() : state_(std::make_shared<State>()) {
    // The thread owns the state too: it may end just after stop() saw it go.
    std::thread([state = state_] { state->run(); }).detach();
}

DeadlineScheduler::~DeadlineScheduler() { stop(); }

void DeadlineScheduler::at(std::uint64_t deadlineNs, Wake wake) {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    const bool earliest = state_->entries.empty() || deadlineNs < state_->entries.top().deadlineNs;
    state_->entries.push(State::Entry{deadlineNs, state_->submissions++, std::move(wake)});
    if (earliest) state_->changed.notify_one();
}

void DeadlineScheduler::stop() {
    decltype(state_->entries) dropped;
    {
        std::unique_lock lock(state_->mutex);
        state_->stopping = true;
        dropped.swap(state_->entries);
        state_->changed.notify_all();
        // A wake that stops its own scheduler cannot wait for itself.
        if (state_->thread != std::this_thread::get_id())
            state_->changed.wait(lock, [&] { return !state_->running; });
    }
}

} // namespace quillmere

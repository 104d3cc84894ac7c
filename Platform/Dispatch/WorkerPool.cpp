#include "Platform/Dispatch/WorkerPool.h"

#include "Platform/Dispatch/ThreadSlice.h"
#include "Platform/SystemInfo/UsableProcessors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
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

struct Waiting {
    WorkerPool::Task task;
    std::chrono::steady_clock::time_point since;
};

} // namespace

struct WorkerPool::State : std::enable_shared_from_this<State> {
    const Limits limits;
    mutable std::mutex mutex;
    std::condition_variable ended;
    std::vector<Worker*> idle; // most recently idle last: it is reused first
    // Tasks that found every thread busy past the cap, oldest first. Never
    // beside idle threads: a thread takes these before going idle.
    std::deque<Waiting> waiting;
    std::condition_variable waitingChanged;
    // When a thread last came free for a waiting task, or one started for it.
    std::chrono::steady_clock::time_point lastFreed;
    // A thread is watching the waiting tasks' grace.
    bool watching = false;
    std::size_t threads = 0;
    bool stopping = false;
    // Every thread is joined, not detached: a thread's own end (its
    // thread-local destructors, a library's per-thread state among them)
    // must be over before whoever stops the pool goes on, or exits.
    std::map<std::thread::id, std::thread> handles;
    // Threads past their last task, for the next run() or stop(), or the exit, to join.
    std::vector<std::thread::id> finished;

    // Takes the handles of the threads that left their loop; joined outside the lock.
    std::vector<std::thread> takeFinished() {
        std::vector<std::thread> out;
        for (const std::thread::id id : finished) {
            if (auto found = handles.find(id); found != handles.end()) {
                out.push_back(std::move(found->second));
                handles.erase(found);
            }
        }
        finished.clear();
        return out;
    }

    static inline thread_local const State* current = nullptr;

    // Pools alive. A pool nobody stops (the process's own) has no next run()
    // or stop() to join its retired threads: they are joined at exit, and
    // threads that retire later detach themselves.
    struct Registry {
        std::mutex mutex;
        std::set<State*> pools;
        std::atomic<bool> exiting = false;
    };
    static Registry& registry() {
        // Never freed: a pool may end after the exit handlers ran.
        static Registry* const made = [] {
            auto* fresh = new Registry;
            std::atexit(joinRetiredAtExit);
            return fresh;
        }();
        return *made;
    }
    static void joinRetiredAtExit() {
        Registry& live = registry();
        live.exiting = true;
        std::vector<std::thread> done;
        {
            std::lock_guard lock(live.mutex);
            for (State* state : live.pools) {
                std::lock_guard stateLock(state->mutex);
                for (std::thread& thread : state->takeFinished()) done.push_back(std::move(thread));
            }
        }
        // Outside the lock: a thread's end may end its pool's state.
        for (std::thread& thread : done) thread.join();
    }

    explicit State(Limits given) : limits(given) {
        Registry& live = registry();
        std::lock_guard lock(live.mutex);
        live.pools.insert(this);
    }
    ~State() {
        Registry& live = registry();
        std::lock_guard lock(live.mutex);
        live.pools.erase(this);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void work(Task first) {
        current = this;
        // Named so that profiles and per-thread counts tell the kinds apart.
        pthread_setname_np(pthread_self(), "quill-pool");
        // Every queue's work here is a short burst that someone waits for.
        ThreadSlice::request(ThreadSlice::mediaNs);
        Worker self;
        Task task = std::move(first);
        std::unique_lock lock(mutex);
        for (;;) {
            lock.unlock();
            task();
            task = nullptr; // what it captured dies here, not under the lock
            lock.lock();
            if (!waiting.empty()) {
                task = std::move(waiting.front().task);
                waiting.pop_front();
                lastFreed = std::chrono::steady_clock::now();
                continue;
            }
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
        leave();
    }

    // Under the lock, as the calling thread ends.
    void leave() {
        if (const auto own = handles.find(std::this_thread::get_id()); own != handles.end() && registry().exiting) {
            own->second.detach();
            handles.erase(own);
        } else {
            finished.push_back(std::this_thread::get_id());
        }
        ended.notify_all();
    }

    // Under the lock; each returns the retired threads' handles, to join outside it.
    std::vector<std::thread> startWorker(Task task) {
        ++threads;
        return start([task = std::move(task)](State& state) mutable { state.work(std::move(task)); });
    }
    std::vector<std::thread> start(std::function<void(State&)> body) {
        std::vector<std::thread> done = takeFinished();
        // The thread owns the state with the pool. It cannot finish before
        // its handle is kept: its end takes the lock held here.
        std::thread thread([state = shared_from_this(), body = std::move(body)] { body(*state); });
        handles.emplace(thread.get_id(), std::move(thread));
        return done;
    }

    // Starts a thread when tasks wait and none came free for the grace: every
    // thread may be blocked on work that only a new one can run. Threads that
    // come free, however slowly, keep an overloaded pool from growing.
    void watch() {
        ThreadSlice::request(ThreadSlice::mediaNs);
        std::unique_lock lock(mutex);
        for (;;) {
            if (waiting.empty()) {
                if (stopping) break;
                if (!waitingChanged.wait_for(lock, idleLifetime, [&] { return !waiting.empty() || stopping; })) break;
                continue;
            }
            const auto due = std::max(waiting.front().since, lastFreed) + limits.grace;
            if (std::chrono::steady_clock::now() < due) {
                waitingChanged.wait_until(lock, due);
                continue;
            }
            std::vector<std::thread> done = startWorker(std::move(waiting.front().task));
            waiting.pop_front();
            lastFreed = std::chrono::steady_clock::now();
            lock.unlock();
            for (std::thread& old : done) old.join();
            lock.lock();
        }
        watching = false;
        leave();
    }
};

WorkerPool::Limits WorkerPool::Limits::forThisMachine() {
    const auto usable = static_cast<std::size_t>(std::max(1, UsableProcessors::count()));
    // A task waits for a thread about as long as a sync onto a busy queue
    // takes; one blocked past that gets company.
    return {.softCap = std::max<std::size_t>(4, 2 * usable), .grace = std::chrono::milliseconds(2)};
}

WorkerPool::WorkerPool(Limits limits) : state_(std::make_shared<State>(limits)) {}

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
    std::vector<std::thread> done;
    if (state_->threads < state_->limits.softCap) {
        done = state_->startWorker(std::move(task));
    } else {
        state_->waiting.push_back({std::move(task), std::chrono::steady_clock::now()});
        if (state_->watching) {
            state_->waitingChanged.notify_one();
        } else {
            state_->watching = true;
            done = state_->start([](State& state) { state.watch(); });
        }
    }
    lock.unlock();
    for (std::thread& old : done) old.join();
}

void WorkerPool::stop() {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    for (Worker* worker : state_->idle) worker->wake.notify_one();
    state_->waitingChanged.notify_one();
    // A task that stops its own pool cannot wait for itself.
    const bool inside = State::current == state_.get();
    state_->ended.wait(lock, [&] { return state_->threads <= (inside ? 1u : 0u) && !state_->watching; });
    std::vector<std::thread> done = state_->takeFinished();
    for (auto& [id, thread] : state_->handles) {
        if (id == std::this_thread::get_id()) thread.detach();
        else done.push_back(std::move(thread));
    }
    state_->handles.clear();
    lock.unlock();
    for (std::thread& thread : done) thread.join();
}

std::size_t WorkerPool::threads() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

const WorkerPool::Limits& WorkerPool::limits() const { return state_->limits; }

} // namespace quillmere

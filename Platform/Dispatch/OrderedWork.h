#pragma once

#include "Platform/Dispatch/SerialQueue.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quillmere {

// Work done one item at a time in the order it was asked for, whether the
// one who asked waits for it or not: what is not waited for runs on a
// serial queue of its own, what is waited for runs on the thread that asks,
// once everything asked before it has ended. That thread need not be the
// pool's: a process forked from a threaded one has none of its threads.
// Destroying it waits for what was asked.
class OrderedWork {
public:
    using Work = std::function<void()>;

    explicit OrderedWork(std::string label);
    ~OrderedWork();
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    void async(Work work);
    // From inside an item of this work, runs at once instead of deadlocking.
    void sync(const Work& work);

private:
    using Turn = std::uint64_t;

    Turn take();
    void run(Turn turn, const Work& work);
    bool running() const;

    mutable std::mutex mutex_;
    std::condition_variable turnEnded_;
    Turn taken_ = 0;
    Turn ended_ = 0;
    // The thread of the item running now; none between items.
    std::thread::id runner_;
    // Last: it ends first, while its items may still use the rest.
    SerialQueue queue_;
};

} // namespace quillmere

#include "Platform/Dispatch/ManualExecutor.h"

namespace quillmere {

ManualExecutor::ManualExecutor(std::string label, std::uint64_t startNs)
    : label_(std::move(label)), nowNs_(startNs) {}

void ManualExecutor::async(Work work) { asyncAfter(0, std::move(work)); }

void ManualExecutor::asyncAfter(std::uint64_t delayNs, Work work) {
    std::lock_guard lock(mutex_);
    queue_.emplace(std::make_pair(nowNs_ + delayNs, submissions_++), std::move(work));
}

void ManualExecutor::sync(const Work& work) { runHere(work); }

bool ManualExecutor::isCurrent() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

std::uint64_t ManualExecutor::nowNs() const {
    std::lock_guard lock(mutex_);
    return nowNs_;
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void ManualExecutor::runHere(const Work& work) {
    std::thread::id was;
    {
        std::lock_guard lock(mutex_);
        was = std::exchange(runner_, std::this_thread::get_id());
    }
    work();
    std::lock_guard lock(mutex_);
    runner_ = was;
}

std::size_t ManualExecutor::runUntilIdle() { return advance(0); }

std::size_t ManualExecutor::advance(std::uint64_t deltaNs) {
    std::uint64_t target = 0;
    {
        std::lock_guard lock(mutex_);
        target = nowNs_ + deltaNs;
    }
    for (std::size_t ran = 0;; ++ran) {
        Work work;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || queue_.begin()->first.first > target) {
                nowNs_ = target;
                return ran;
            }
            auto node = queue_.extract(queue_.begin());
            if (node.key().first > nowNs_) nowNs_ = node.key().first;
            work = std::move(node.mapped());
        }
        runHere(work);
        // What it captured goes outside the lock: it may hand this executor more.
        work = nullptr;
    }
}

} // namespace quillmere

#include "Platform/Dispatch/ManualExecutor.h"

namespace quillmere {

ManualExecutor::ManualExecutor(std::string label, std::uint64_t startNs)
    : label_(std::move(label)), nowNs_(startNs) {}

void ManualExecutor::async(Work work) { asyncAfter(0, std::move(work)); }

void ManualExecutor::asyncAfter(std::uint64_t delayNs, Work work) {
    queue_.emplace(std::make_pair(nowNs_ + delayNs, submissions_++), std::move(work));
}

void ManualExecutor::sync(const Work& work) {
    const bool wasRunning = running_;
    running_ = true;
    work();
    running_ = wasRunning;
}

std::size_t ManualExecutor::runUntilIdle() { return advance(0); }

std::size_t ManualExecutor::advance(std::uint64_t deltaNs) {
    const std::uint64_t target = nowNs_ + deltaNs;
    std::size_t ran = 0;
    while (!queue_.empty() && queue_.begin()->first.first <= target) {
        auto node = queue_.extract(queue_.begin());
        if (node.key().first > nowNs_) nowNs_ = node.key().first;
        const bool wasRunning = running_;
        running_ = true;
        node.mapped()();
        running_ = wasRunning;
        ++ran;
    }
    nowNs_ = target;
    return ran;
}

} // namespace quillmere

#pragma once

#include "Platform/Dispatch/Executor.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace quillmere {

// An executor with a fake clock, for tests: nothing runs until the test
// calls runUntilIdle() or advance(), on the test's thread. Other threads may
// hand it work.
class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(std::string label = "manual", std::uint64_t startNs = 1'000'000'000ULL);

    const std::string& label() const override { return label_; }
    void async(Work work) override;
    void asyncAfter(std::uint64_t delayNs, Work work) override;
    void sync(const Work& work) override;
    bool isCurrent() const override;
    std::uint64_t nowNs() const override;

    // Runs everything due at the current time, including work it submits.
    // Returns how many items ran.
    std::size_t runUntilIdle();
    // Moves the clock forward, running each item at its own deadline.
    std::size_t advance(std::uint64_t deltaNs);
    std::size_t pendingCount() const;

private:
    // Runs work as this executor's, on the calling thread.
    void runHere(const Work& work);

    std::string label_;
    mutable std::mutex mutex_;
    std::uint64_t nowNs_;
    std::uint64_t submissions_ = 0;
    // The thread running work now, none when idle.
    std::thread::id runner_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Work> queue_;
};

} // namespace quillmere

#pragma once

#include "Platform/Dispatch/Executor.h"

#include <memory>

namespace quillmere {

// Work run in FIFO order, one item at a time, on the shared worker pool: a
// queue holds a thread only while it has work. Destroying the queue drops
// the work not yet started and waits for the running item (unless called
// from that item, in which case the queue stops right after it): no
// callback runs after the queue is gone.
class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const override;
    void async(Work work) override;
    void asyncAfter(std::uint64_t delayNs, Work work) override;
    void sync(const Work& work) override;
    bool isCurrent() const override;
    std::uint64_t nowNs() const override;

    // The label of the serial queue running the calling thread, or empty.
    static std::string currentLabel();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quillmere

#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quillmere {

// Where work runs: a serial queue, the main queue, or a manual executor with a
// fake clock in tests. Work submitted to one executor runs in submission order,
// one item at a time.
class Executor {
public:
    using Work = std::function<void()>;

    virtual ~Executor() = default;

    virtual const std::string& label() const = 0;
    virtual void async(Work work) = 0;
    // Runs work after delayNs on this executor's clock.
    virtual void asyncAfter(std::uint64_t delayNs, Work work) = 0;
    // Runs work and waits for it. Onto the executor we are already running on,
    // it runs inline instead of deadlocking.
    virtual void sync(const Work& work) = 0;
    virtual bool isCurrent() const = 0;
    // This executor's clock (the raw uptime clock, or a fake one in tests).
    virtual std::uint64_t nowNs() const = 0;
};

} // namespace quillmere

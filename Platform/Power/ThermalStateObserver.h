#pragma once

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Power/PowerSysfs.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quillmere {

// Tells when the thermal state (0 nominal to 3 critical) changes. The kernel
// sends no notice of its own, so the zones are read again every interval.
class ThermalStateObserver : public std::enable_shared_from_this<ThermalStateObserver> {
public:
    using OnChange = std::function<void(int state)>;

    static constexpr std::uint64_t defaultIntervalNs = 5'000'000'000ULL;

    static std::shared_ptr<ThermalStateObserver> make(PowerSysfs sysfs, std::uint64_t intervalNs = defaultIntervalNs);

    // Takes the current state as the starting point and, from then on, calls
    // onChange on queue with every new state. Replaces an earlier start.
    void start(Executor& queue, OnChange onChange);
    // Once it returns on the queue, onChange is not called again.
    void stop();

    // The state read now.
    int currentState() const { return sysfs_.thermalState(); }

    ThermalStateObserver(PowerSysfs sysfs, std::uint64_t intervalNs);

private:
    void poll(std::uint64_t generation);

    PowerSysfs sysfs_;
    std::uint64_t intervalNs_;
    std::mutex mutex_;
    std::shared_ptr<DispatchTimer> timer_;
    OnChange onChange_;
    std::uint64_t generation_ = 0;
    int last_ = 0;
};

} // namespace quillmere

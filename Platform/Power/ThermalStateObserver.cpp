#include "Platform/Power/ThermalStateObserver.h"

namespace quillmere {

std::shared_ptr<ThermalStateObserver> ThermalStateObserver::make(PowerSysfs sysfs, std::uint64_t intervalNs) {
    return std::make_shared<ThermalStateObserver>(std::move(sysfs), intervalNs);
}

ThermalStateObserver::ThermalStateObserver(PowerSysfs sysfs, std::uint64_t intervalNs)
    : sysfs_(std::move(sysfs)), intervalNs_(intervalNs == 0 ? defaultIntervalNs : intervalNs) {}

void ThermalStateObserver::start(Executor& queue, OnChange onChange) {
    stop();
    const int initial = sysfs_.thermalState();
    auto timer = DispatchTimer::make(queue);
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
        last_ = initial;
        onChange_ = std::move(onChange);
        timer_ = timer;
    }
    timer->schedule(queue.nowNs() + intervalNs_, intervalNs_, intervalNs_ / 10);
    timer->setHandler([weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) self->poll(generation);
    });
    timer->resume();
}

void ThermalStateObserver::stop() {
    std::shared_ptr<DispatchTimer> timer;
    OnChange released;
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        timer = std::move(timer_);
        released = std::move(onChange_);
    }
    if (timer) timer->cancel();
}

void ThermalStateObserver::poll(std::uint64_t generation) {
    const int state = sysfs_.thermalState();
    OnChange onChange;
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_ || state == last_) return;
        last_ = state;
        onChange = onChange_;
    }
    if (onChange) onChange(state);
}

} // namespace quillmere

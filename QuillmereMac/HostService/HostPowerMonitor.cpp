#include "QuillmereMac/HostService/HostPowerMonitor.h"

#include <algorithm>
#include <limits>

namespace quillmere {

std::shared_ptr<HostPowerMonitor> HostPowerMonitor::make(Reader read) {
    return std::make_shared<HostPowerMonitor>(std::move(read));
}

HostPowerMonitor::HostPowerMonitor(Reader read) : read_(read ? std::move(read) : sysfsReader(PowerSysfs())) {}

void HostPowerMonitor::tick(const OnChange& onChange) {
    const Reading reading = readNow();
    bool changed;
    {
        std::lock_guard lock(lock_);
        changed = !last_ || (*last_ & 0xFF) != (reading & 0xFF) || (*last_ & externalPower) != (reading & externalPower);
        last_ = reading;
    }
    if (changed && onChange) onChange(reading);
}

void HostPowerMonitor::start(Executor& queue, std::uint64_t intervalNs, OnChange onChange) {
    stop();
    auto timer = DispatchTimer::make(queue);
    timer->schedule(queue.nowNs(), intervalNs, 2'000'000'000);
    timer->setHandler([weak = weak_from_this(), onChange = std::move(onChange)] {
        if (auto self = weak.lock()) self->tick(onChange);
    });
    {
        std::lock_guard lock(lock_);
        timer_ = timer;
    }
    timer->resume();
}

void HostPowerMonitor::stop() {
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(lock_);
        timer = std::move(timer_);
    }
    if (timer) timer->cancel();
}

std::optional<HostPowerMonitor::Reading> HostPowerMonitor::last() const {
    std::lock_guard lock(lock_);
    return last_;
}

HostPowerMonitor::Reading HostPowerMonitor::readPowerSource(
    const std::optional<std::vector<PowerSourceDescription>>& sources) {
    if (!sources || sources->empty()) return unknown;
    for (const PowerSourceDescription& source : *sources) {
        if (source.type != "InternalBattery" || !source.currentCapacity || !source.maxCapacity ||
            *source.maxCapacity < 1)
            continue;
        const bool external = source.powerSourceState == "AC Power" || source.isCharging.value_or(false);
        const std::int64_t current = *source.currentCapacity;
        const std::int64_t maximum = *source.maxCapacity;
        std::int64_t percent = 0;
        if (current <= std::numeric_limits<std::int64_t>::max() / 100 &&
            current >= std::numeric_limits<std::int64_t>::min() / 100) {
            percent = current * 100 / maximum;
        } else {
            // Counters this large only come from a broken driver; the result
            // is clamped below anyway, so a close quotient will do.
            percent = current < 0 ? -1 : (current / maximum >= 3 ? 300 : static_cast<std::int64_t>(
                                                                          static_cast<long double>(current) * 100 / maximum));
        }
        const auto clamped = static_cast<Reading>(std::clamp<std::int64_t>(percent, 0, 255));
        return static_cast<Reading>(clamped | (external ? externalPower : 0));
    }
    return unknown;
}

HostPowerMonitor::Reader HostPowerMonitor::sysfsReader(PowerSysfs sysfs) {
    return [sysfs = std::move(sysfs)] { return readPowerSource(sysfs.powerSources()); };
}

} // namespace quillmere

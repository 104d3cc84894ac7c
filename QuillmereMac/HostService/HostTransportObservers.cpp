#include "QuillmereMac/HostService/HostTransportService.h"

#include <algorithm>

namespace quillmere {

// The machine's news: power every interval, thermal changes, sleep and lock.

std::optional<HostPower> HostTransportService::hostPowerOf(HostPowerMonitor::Reading reading) {
    const auto value = static_cast<std::uint16_t>(reading & HostPowerMonitor::mask);
    const auto percent = static_cast<std::uint8_t>(value & 0xFF);
    // The encoder takes at most 100: an unknown level (a machine without a
    // battery) would close the session, and there is nothing to tell anyway.
    if (percent == HostPowerMonitor::unknown) return std::nullopt;
    return HostPower{std::min<std::uint8_t>(percent, 100), (value & HostPowerMonitor::externalPower) != 0};
}

void HostTransportService::startObservers() {
    std::weak_ptr<HostTransportService> weak = weak_from_this();
    Executor* main = &main_;

    auto watcher = LogindSignalWatcher::start(
        main_,
        [weak](LogindSignalWatcher::Signal) {
            if (auto self = weak.lock()) self->sleepOrLock();
        },
        sources_.logindBus);
    if (watcher) systemObserver_ = std::move(*watcher);
    else log_.error("sleep and screen lock cannot be followed: %{public}s", watcher.error());

    power_->start(*powerQueue_, sources_.powerIntervalNs, [weak, main](HostPowerMonitor::Reading reading) {
        const auto masked = static_cast<HostPowerMonitor::Reading>(reading & HostPowerMonitor::mask);
        main->async([weak, masked] {
            if (auto self = weak.lock()) self->powerChanged(masked);
        });
    });

    thermalObserver_ = ThermalStateObserver::make(sources_.sysfs, sources_.thermalPollNs);
    thermalObserver_->start(main_, [weak](int state) {
        if (auto self = weak.lock()) self->thermalChanged(state);
    });
}

void HostTransportService::stopObservers() {
    power_->stop();
    if (thermalObserver_) thermalObserver_->stop();
    thermalObserver_.reset();
    systemObserver_.reset();
}

void HostTransportService::sendPower(HostConnection& connection, HostPowerMonitor::Reading reading) {
    if (auto power = hostPowerOf(reading)) connection.peer().sendControl(*power);
}

void HostTransportService::powerChanged(HostPowerMonitor::Reading reading) {
    for (const auto& [key, entry] : connections_)
        if (entry.clientName) sendPower(*entry.connection, reading);
}

void HostTransportService::thermalChanged(int state) {
    const auto raw = static_cast<std::uint8_t>(std::clamp(state, 0, 3));
    broadcastThermal(*thermalLevelFromRaw(raw));
}

void HostTransportService::sleepOrLock() { broadcastBye(ByeReason::idle); }

void HostTransportService::broadcastBye(ByeReason reason) {
    for (const auto& [key, entry] : connections_) {
        auto connection = entry.connection;
        connection->peer().queue().async([connection, reason] { connection->sayBye(reason); });
    }
}

void HostTransportService::broadcastThermal(ThermalLevel level) {
    for (const auto& [key, entry] : connections_) {
        auto connection = entry.connection;
        connection->peer().queue().async([connection, level] { connection->thermalChanged(level); });
    }
}

} // namespace quillmere

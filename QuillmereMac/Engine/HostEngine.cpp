#include "QuillmereMac/Engine/HostEngine.h"

#include <algorithm>

namespace quillmere {

HostEngine::HostEngine(std::shared_ptr<PermissionChecking> permissions, TrustStore trust)
    : permissions_(std::move(permissions)), trust_(std::move(trust)) {
    status_.permissions = permissions_->snapshot();
    status_.pairedDevices = trust_.peers();
}

void HostEngine::publish(HostStatus status) {
    if (status == status_) return;
    status_ = std::move(status);
    // A copy: an observer may add another while we call them.
    const auto observers = observers_;
    for (const auto& [token, observer] : observers) observer(status_);
}

HostEngine::ObserverToken HostEngine::addObserver(Observer observer) {
    const ObserverToken token = nextToken_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void HostEngine::removeObserver(ObserverToken token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void HostEngine::start() {
    if (status_.phase != HostStatus::Phase::stopped) return;
    ++generation_;
    const std::uint64_t generation = generation_;

    HostStatus next = status_;
    next.phase = HostStatus::Phase::running;
    publish(next);
    next = status_;
    next.lastError.reset();
    publish(next);
    next = status_;
    next.permissions = permissions_->snapshot();
    publish(next);

    for (const auto& service : services_) {
        auto started = service->start(generation);
        if (started) continue;
        next = status_;
        next.lastError = service->name() + ": " + started.error();
        publish(next);
    }
}

void HostEngine::stop(std::function<void()> done) {
    if (status_.phase != HostStatus::Phase::running) {
        if (done) done();
        return;
    }
    HostStatus next = status_;
    next.phase = HostStatus::Phase::stopping;
    publish(next);
    stopServices(0, generation_, std::move(done));
}

void HostEngine::stopServices(std::size_t index, std::uint64_t generation, std::function<void()> done) {
    if (index < services_.size()) {
        // The engine lives as long as the process; a service that finishes
        // after it is gone has nobody left to tell.
        std::weak_ptr<HostEngine> weak = weak_from_this();
        auto service = services_[index];
        service->stop([weak, index, generation, done = std::move(done)]() mutable {
            if (auto self = weak.lock()) self->stopServices(index + 1, generation, std::move(done));
        });
        return;
    }
    if (generation_ == generation) {
        HostStatus next = status_;
        next.phase = HostStatus::Phase::stopped;
        next.activeSession.reset();
        next.activeSessionCount = 0;
        publish(next);
    }
    if (done) done();
}

void HostEngine::refreshPermissions() {
    HostStatus next = status_;
    next.permissions = permissions_->snapshot();
    publish(next);
}

std::expected<void, TrustStoreError> HostEngine::addDevice(const TrustedPeer& peer) {
    if (auto added = trust_.add(peer); !added) return std::unexpected(added.error());
    HostStatus next = status_;
    next.pairedDevices = trust_.peers();
    publish(next);
    const auto peers = trust_.peers();
    for (const auto& service : services_) service->trustChanged(peers);
    return {};
}

void HostEngine::removeDevice(const WireID& deviceID) {
    auto removed = trust_.remove(deviceID);
    if (!removed) {
        HostStatus next = status_;
        next.lastError = "Could not remove device: " + removed.error().description();
        publish(next);
        return;
    }
    if (!removed->has_value()) return;
    HostStatus next = status_;
    next.pairedDevices = trust_.peers();
    publish(next);
    const auto peers = trust_.peers();
    for (const auto& service : services_) {
        service->trustChanged(peers);
        service->revoke((*removed)->fingerprint);
    }
}

void HostEngine::sessionChanged(std::optional<std::string> name, int count) {
    if (status_.phase != HostStatus::Phase::running) return;
    HostStatus next = status_;
    next.activeSession = std::move(name);
    next.activeSessionCount = std::max(count, 0);
    publish(next);
}

} // namespace quillmere

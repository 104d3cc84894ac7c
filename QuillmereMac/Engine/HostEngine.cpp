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
    const auto before = trust_.peers();
    if (auto added = trust_.add(peer); !added) return std::unexpected(added.error());
    trustShown(before);
    return {};
}

void HostEngine::removeDevice(const WireID& deviceID) {
    const auto before = trust_.peers();
    if (auto removed = trust_.remove(deviceID); !removed) {
        HostStatus next = status_;
        next.lastError = "Could not remove device: " + removed.error().message();
        publish(next);
        return;
    }
    trustShown(before);
}

void HostEngine::reloadTrust() {
    const auto before = trust_.peers();
    auto reloaded = trust_.reload();
    if (!reloaded) {
        // Said once: the next change refuses with the same words.
        const std::string problem = "Could not read the paired devices: " + reloaded.error().message();
        if (status_.lastError == problem) return;
        HostStatus next = status_;
        next.lastError = problem;
        publish(next);
        return;
    }
    if (*reloaded) trustShown(before);
}

void HostEngine::trustShown(const std::vector<TrustedPeer>& before) {
    const auto& peers = trust_.peers();
    if (peers == before) return;
    HostStatus next = status_;
    next.pairedDevices = peers;
    publish(next);
    // What another host removed goes here too.
    std::vector<Digest32> revoked;
    for (const auto& old : before) {
        const bool kept = std::any_of(peers.begin(), peers.end(),
                                      [&](const TrustedPeer& peer) { return peer.fingerprint == old.fingerprint; });
        if (!kept) revoked.push_back(old.fingerprint);
    }
    for (const auto& service : services_) {
        service->trustChanged(peers);
        for (const auto& fingerprint : revoked) service->revoke(fingerprint);
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

#include "QuillmereMac/Engine/HostEngine.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace quillmere {

namespace {

bool listed(const std::vector<TrustedPeer>& peers, const TrustedPeer& peer) {
    return std::find(peers.begin(), peers.end(), peer) != peers.end();
}

// “Anna's iPhone” and “Ben's iPhone”
std::string namesOf(const std::vector<TrustedPeer>& peers) {
    std::string names;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (i > 0) names += i + 1 == peers.size() ? " and " : ", ";
        names += "\u201C" + peers[i].name + "\u201D";
    }
    return names;
}

} // namespace

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
    // A problem with the paired devices that still stands is still said.
    next.lastError = shownProblem_;
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
    const auto before = trustedPeers();
    if (auto added = trust_.add(peer); !added) return std::unexpected(added.error());
    unreadable_.reset();
    trustShown(before);
    return {};
}

void HostEngine::removeDevice(const WireID& deviceID) {
    const auto before = trustedPeers();
    auto removed = trust_.remove(deviceID);
    if (!removed) {
        std::vector<TrustedPeer> going;
        std::copy_if(before.begin(), before.end(), std::back_inserter(going),
                     [&](const TrustedPeer& peer) { return peer.deviceID == deviceID; });
        if (going.empty()) {
            HostStatus next = status_;
            next.lastError = "Could not remove device: " + removed.error().message();
            publish(next);
            return;
        }
        // Fails closed: a lost phone the user removed must not keep the
        // screen because the disk refused.
        unsaved_.insert(unsaved_.end(), going.begin(), going.end());
        unsavedReason_ = removed.error().message();
        trustShown(before);
        return;
    }
    unreadable_.reset();
    saveRemovals();
    trustShown(before);
}

void HostEngine::reloadTrust() {
    const auto before = trustedPeers();
    auto reloaded = trust_.reload();
    if (reloaded) {
        unreadable_.reset();
        saveRemovals();
    } else {
        unreadable_ = "Could not read the paired devices: " + reloaded.error().message();
    }
    trustShown(before);
}

std::vector<TrustedPeer> HostEngine::trustedPeers() const {
    std::vector<TrustedPeer> peers;
    for (const auto& peer : trust_.peers()) {
        if (!listed(unsaved_, peer)) peers.push_back(peer);
    }
    return peers;
}

void HostEngine::saveRemovals() {
    // What the stored list no longer holds is removed, by whoever.
    const auto saved = [this](const TrustedPeer& peer) { return !listed(trust_.peers(), peer); };
    std::erase_if(unsaved_, saved);
    while (!unsaved_.empty()) {
        const TrustedPeer next = unsaved_.front();
        auto removed = trust_.remove(next.deviceID);
        if (!removed) {
            unsavedReason_ = removed.error().message();
            return;
        }
        std::erase_if(unsaved_, saved);
        if (listed(unsaved_, next)) return;
    }
}

std::optional<std::string> HostEngine::trustProblem() const {
    if (unsaved_.empty()) return unreadable_;
    return fmt::format("Removed {} for now, but the removal could not be saved: {}. {} trusted again when Quillmere "
                       "next starts unless that is mended.",
                       namesOf(unsaved_), unsavedReason_, unsaved_.size() == 1 ? "It will be" : "They will be");
}

void HostEngine::trustShown(const std::vector<TrustedPeer>& before) {
    std::erase_if(unsaved_, [this](const TrustedPeer& peer) { return !listed(trust_.peers(), peer); });
    const auto peers = trustedPeers();
    HostStatus next = status_;
    next.pairedDevices = peers;
    // A new problem is said; one that went takes its line with it, unless
    // something else has been said since.
    if (auto problem = trustProblem(); problem != shownProblem_) {
        if (problem) next.lastError = problem;
        else if (next.lastError == shownProblem_) next.lastError.reset();
        shownProblem_ = std::move(problem);
    }
    publish(next);
    if (peers == before) return;
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

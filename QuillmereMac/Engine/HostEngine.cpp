#include "QuillmereMac/Engine/HostEngine.h"

#include "Platform/Dispatch/SerialQueue.h"

#include <fmt/format.h>

#include <algorithm>

namespace quillmere {

namespace {

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

std::shared_ptr<HostEngine> HostEngine::make(std::shared_ptr<PermissionChecking> permissions, TrustStore trust,
                                             Executor& main, Options options) {
    auto engine = std::make_shared<HostEngine>(std::move(permissions), std::move(trust), main, std::move(options));
    // A handshake that found the stored list changed: the status and the
    // services follow on main.
    engine->trusted_->onChange([main = &main, weak = std::weak_ptr<HostEngine>(engine)] {
        main->async([weak] {
            if (auto self = weak.lock()) self->trustShown();
        });
    });
    return engine;
}

HostEngine::HostEngine(std::shared_ptr<PermissionChecking> permissions, TrustStore trust, Executor& main,
                       Options options)
    : permissions_(std::move(permissions)), main_(main) {
    TrustSnapshot::Read read;
    if (auto storage = std::move(options.handshakeReads)) {
        read = [storage]() -> std::optional<std::vector<TrustedPeer>> {
            auto peers = TrustStore::loadFrom(*storage);
            if (!peers) return std::nullopt;
            return std::move(*peers);
        };
    }
    trusted_ = std::make_shared<TrustSnapshot>(trust.peers(), std::move(read));
    if (!options.saves) options.saves = std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.trust");
    worker_ = std::make_unique<TrustStoreWorker>(std::move(trust), trusted_, main_, std::move(options.saves));
    told_ = trusted_->peers();
    status_.permissions = permissions_->snapshot();
    status_.pairedDevices = told_;
}

HostEngine::~HostEngine() = default;

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

void HostEngine::addDevice(const TrustedPeer& peer, Saved done) {
    worker_->add(peer, [weak = weak_from_this(), done = std::move(done)](std::expected<void, TrustStoreError> added) {
        if (auto self = weak.lock(); self && added) {
            self->unreadable_.reset();
            self->trustShown();
        }
        if (done) done(std::move(added));
    });
}

void HostEngine::removeDevice(const WireID& deviceID) {
    // Fails closed: a lost phone the user removed must not keep the screen
    // because the disk refused, or while another process holds the lock.
    if (!trusted_->remove(deviceID)) return;
    trustShown();
    retryNs_ = firstRetryNs;
    saveRemovals();
}

void HostEngine::reloadTrust() {
    worker_->reload([weak = weak_from_this()](std::expected<void, TrustStoreError> reloaded) {
        auto self = weak.lock();
        if (!self) return;
        if (reloaded) self->unreadable_.reset();
        else self->unreadable_ = "Could not read the paired devices: " + reloaded.error().message() + ".";
        self->trustShown();
        // The files changed: what stopped a save may have gone with them.
        self->retryNs_ = firstRetryNs;
        self->saveRemovals();
    });
}

void HostEngine::saveRemovals() {
    if (saving_) {
        saveAgain_ = true;
        return;
    }
    if (trusted_->unsaved().empty()) return;
    saving_ = true;
    triedAtNs_ = main_.nowNs();
    ++retryTicket_;
    worker_->saveRemovals([weak = weak_from_this()](std::expected<void, TrustStoreError> saved) {
        if (auto self = weak.lock()) self->removalsTried(saved);
    });
}

void HostEngine::removalsTried(const std::expected<void, TrustStoreError>& result) {
    saving_ = false;
    if (!result) unsavedReason_ = result.error().message();
    if (!result && main_.nowNs() - triedAtNs_ >= lockedTryNs) retryNs_ = firstRetryNs;
    if (trusted_->unsaved().empty()) unsavedReason_.reset();
    trustShown();
    if (std::exchange(saveAgain_, false)) {
        saveRemovals();
        return;
    }
    if (!trusted_->unsaved().empty()) retryLater();
}

void HostEngine::retryLater() {
    const std::uint64_t ticket = ++retryTicket_;
    main_.asyncAfter(retryNs_, [weak = weak_from_this(), ticket] {
        if (auto self = weak.lock(); self && self->retryTicket_ == ticket) self->saveRemovals();
    });
    retryNs_ = std::min(retryNs_ * 2, longestRetryNs);
}

std::optional<std::string> HostEngine::trustProblem() const {
    const auto unsaved = trusted_->unsaved();
    // The first try is still on its way: nothing has failed yet.
    if (unsaved.empty() || !unsavedReason_) return unreadable_;
    return fmt::format("Removed {} for now, but the removal could not be saved: {}. {} trusted again when Quillmere "
                       "next starts unless that is mended.",
                       namesOf(unsaved), *unsavedReason_, unsaved.size() == 1 ? "It will be" : "They will be");
}

void HostEngine::trustShown() {
    const auto peers = trusted_->peers();
    HostStatus next = status_;
    next.pairedDevices = peers;
    next.trustProblem = trustProblem();
    // A new problem is said; one that went takes its line with it, unless
    // something else has been said since.
    if (next.trustProblem != shownProblem_) {
        if (next.trustProblem) next.lastError = next.trustProblem;
        else if (next.lastError == shownProblem_) next.lastError.reset();
        shownProblem_ = next.trustProblem;
    }
    publish(next);
    if (peers == told_) return;
    // What another host removed goes here too.
    std::vector<Digest32> revoked;
    for (const auto& old : told_) {
        const bool kept = std::any_of(peers.begin(), peers.end(),
                                      [&](const TrustedPeer& peer) { return peer.fingerprint == old.fingerprint; });
        if (!kept) revoked.push_back(old.fingerprint);
    }
    told_ = peers;
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

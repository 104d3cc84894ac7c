#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereMac/Engine/HostStatus.h"
#include "QuillmereMac/Engine/PermissionChecking.h"
#include "QuillmereMac/Engine/TrustStoreWorker.h"
#include "QuillmereMac/HostService/HostService.h"
#include "QuillmereMac/HostService/TrustSnapshot.h"
#include "QuillmereWire/TrustStore.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {

// The host's status hub: owns the published status, starts and stops the
// services and pushes trust changes to them. Whether a device is trusted is
// the snapshot's answer; the trust store's reads and saves run on a queue of
// their own, so that the main actor never waits for the keychain's lock.
// Lives on the main actor; every call is made there.
class HostEngine : public std::enable_shared_from_this<HostEngine> {
public:
    using Observer = std::function<void(const HostStatus&)>;
    using ObserverToken = std::uint64_t;
    // Told on the main actor how a save came out.
    using Saved = std::function<void(std::expected<void, TrustStoreError>)>;

    // An unsaved removal is tried again after this, then twice as long each
    // time up to the longest; but again after the first when a try spent
    // the wait's length on another host's lock, which may go at any moment.
    static constexpr std::uint64_t firstRetryNs = 2'000'000'000ULL;
    static constexpr std::uint64_t longestRetryNs = 30'000'000'000ULL;
    static constexpr std::uint64_t lockedTryNs = 1'000'000'000ULL;

    struct Options {
        // Where the store's reads and saves run: a serial queue of the
        // engine's own when none.
        std::shared_ptr<Executor> saves{};
        // The same storage as the store's, read at handshakes from any
        // thread without the lock; none: handshakes answer from what was
        // last read.
        std::shared_ptr<TrustStorage> handshakeReads{};
    };

    // permissions must not be null; main is where the engine lives.
    static std::shared_ptr<HostEngine> make(std::shared_ptr<PermissionChecking> permissions, TrustStore trust,
                                            Executor& main, Options options);
    static std::shared_ptr<HostEngine> make(std::shared_ptr<PermissionChecking> permissions, TrustStore trust,
                                            Executor& main) {
        return make(std::move(permissions), std::move(trust), main, Options{});
    }
    HostEngine(std::shared_ptr<PermissionChecking> permissions, TrustStore trust, Executor& main, Options options);
    ~HostEngine();

    const HostStatus& status() const { return status_; }
    // Stores the status; observers hear of it, in order, only when it changed.
    void publish(HostStatus status);
    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);

    // Services start and stop in the order they were added.
    void addService(std::shared_ptr<HostService> service) { services_.push_back(std::move(service)); }
    const std::vector<std::shared_ptr<HostService>>& services() const { return services_; }

    std::uint64_t generation() const { return generation_; }
    // The answer the session listener's handshakes ask.
    const std::shared_ptr<TrustSnapshot>& trusted() const { return trusted_; }

    // Only while stopped.
    void start();
    // Only while running; done runs once every service has stopped (at once
    // when the call does nothing).
    void stop(std::function<void()> done = {});

    void refreshPermissions();

    // Saved off the main actor; then the status and the services follow and
    // done is told. A failure changes nothing and goes to done.
    void addDevice(const TrustedPeer& peer, Saved done);
    // Takes effect at once: the device leaves the shown list and the trusted
    // set, and its sessions end. The save follows off the main actor; one
    // that fails is said in the status and tried again, on a timer and when
    // the stored list changes, until it is saved. Until then the device
    // stays refused, whatever the stored list says. An identifier not
    // trusted changes nothing.
    void removeDevice(const WireID& deviceID);
    // Takes up what another host process changed in the stored list: the
    // status and the services follow, and removed devices lose their
    // sessions. A list that cannot be read shows in lastError until it can.
    void reloadTrust();
    // The devices trusted now.
    std::vector<TrustedPeer> trustedPeers() const { return trusted_->peers(); }

    // The transport's word on live sessions; heeded only while running.
    void sessionChanged(std::optional<std::string> name, int count);

private:
    void stopServices(std::size_t index, std::uint64_t generation, std::function<void()> done);
    // Publishes the trusted peers and the paired devices' problem line, and
    // when the peers differ from what the services last heard tells them,
    // revoking the fingerprints that went.
    void trustShown();
    void saveRemovals();
    void removalsTried(const std::expected<void, TrustStoreError>& result);
    void retryLater();
    // What is wrong with the paired devices now, in words; none when nothing is.
    std::optional<std::string> trustProblem() const;

    std::shared_ptr<PermissionChecking> permissions_;
    Executor& main_;
    std::shared_ptr<TrustSnapshot> trusted_;
    std::unique_ptr<TrustStoreWorker> worker_;
    std::uint64_t generation_ = 0;
    HostStatus status_;
    std::vector<std::pair<ObserverToken, Observer>> observers_;
    ObserverToken nextToken_ = 1;
    std::vector<std::shared_ptr<HostService>> services_;
    // What the services last heard.
    std::vector<TrustedPeer> told_;
    // Why the last try to save the unsaved removals failed.
    std::optional<std::string> unsavedReason_;
    bool saving_ = false;
    std::uint64_t triedAtNs_ = 0;
    bool saveAgain_ = false;
    std::uint64_t retryNs_ = firstRetryNs;
    // Names the one pending retry; raising it cancels that one.
    std::uint64_t retryTicket_ = 0;
    // Why the stored list could not be read when it was last read.
    std::optional<std::string> unreadable_;
    // The trust problem the status shows, so that it goes once mended.
    std::optional<std::string> shownProblem_;
};

} // namespace quillmere

#pragma once

#include "QuillmereMac/Engine/HostStatus.h"
#include "QuillmereMac/Engine/PermissionChecking.h"
#include "QuillmereMac/HostService/HostService.h"
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

// The host's status hub: owns the paired devices and the published status,
// starts and stops the services and pushes trust changes to them. Lives on
// the main actor; every call is made there.
class HostEngine : public std::enable_shared_from_this<HostEngine> {
public:
    using Observer = std::function<void(const HostStatus&)>;
    using ObserverToken = std::uint64_t;

    // permissions must not be null.
    HostEngine(std::shared_ptr<PermissionChecking> permissions, TrustStore trust);

    const HostStatus& status() const { return status_; }
    // Stores the status; observers hear of it, in order, only when it changed.
    void publish(HostStatus status);
    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);

    // Services start and stop in the order they were added.
    void addService(std::shared_ptr<HostService> service) { services_.push_back(std::move(service)); }
    const std::vector<std::shared_ptr<HostService>>& services() const { return services_; }

    std::uint64_t generation() const { return generation_; }
    const TrustStore& trust() const { return trust_; }

    // Only while stopped.
    void start();
    // Only while running; done runs once every service has stopped (at once
    // when the call does nothing).
    void stop(std::function<void()> done = {});

    void refreshPermissions();

    // The store's error when it cannot add; the status is then untouched.
    std::expected<void, TrustStoreError> addDevice(const TrustedPeer& peer);
    // Failures show in lastError; an identifier not paired changes nothing.
    // A removal that cannot be saved still holds for this run: the device
    // is dropped from the shown list and the services' trusted set, its
    // sessions end, and saving it is tried again when the stored list
    // changes or another device is removed.
    void removeDevice(const WireID& deviceID);
    // Takes up what another host process changed in the stored list: the
    // status and the services follow, and removed devices lose their
    // sessions. A list that cannot be read shows in lastError until it can.
    void reloadTrust();
    // The devices trusted now: the stored list without those removed this
    // run whose removal is not saved yet.
    std::vector<TrustedPeer> trustedPeers() const;

    // The transport's word on live sessions; heeded only while running.
    void sessionChanged(std::optional<std::string> name, int count);

private:
    void stopServices(std::size_t index, std::uint64_t generation, std::function<void()> done);
    // Publishes the trusted peers and the paired devices' problem line, and
    // when the peers differ from before tells the services, revoking the
    // fingerprints that went.
    void trustShown(const std::vector<TrustedPeer>& before);
    // Tries to save the removals that could not be saved; forgets those the
    // stored list no longer holds.
    void saveRemovals();
    // What is wrong with the paired devices now, in words; none when nothing is.
    std::optional<std::string> trustProblem() const;

    std::shared_ptr<PermissionChecking> permissions_;
    TrustStore trust_;
    std::uint64_t generation_ = 0;
    HostStatus status_;
    std::vector<std::pair<ObserverToken, Observer>> observers_;
    ObserverToken nextToken_ = 1;
    std::vector<std::shared_ptr<HostService>> services_;
    // Removed this run, not saved: never trusted again by this process
    // unless paired anew.
    std::vector<TrustedPeer> unsaved_;
    std::string unsavedReason_;
    // Why the stored list could not be read when it was last read.
    std::optional<std::string> unreadable_;
    // The trust problem the status shows, so that it goes once mended.
    std::optional<std::string> shownProblem_;
};

} // namespace quillmere

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
    void removeDevice(const WireID& deviceID);
    // Takes up what another host process changed in the stored list: the
    // status and the services follow, and removed devices lose their
    // sessions. A list that cannot be read shows in lastError.
    void reloadTrust();

    // The transport's word on live sessions; heeded only while running.
    void sessionChanged(std::optional<std::string> name, int count);

private:
    void stopServices(std::size_t index, std::uint64_t generation, std::function<void()> done);
    // Publishes the trust store's peers when they differ from before, and
    // tells the services, revoking the fingerprints that went.
    void trustShown(const std::vector<TrustedPeer>& before);

    std::shared_ptr<PermissionChecking> permissions_;
    TrustStore trust_;
    std::uint64_t generation_ = 0;
    HostStatus status_;
    std::vector<std::pair<ObserverToken, Observer>> observers_;
    ObserverToken nextToken_ = 1;
    std::vector<std::shared_ptr<HostService>> services_;
};

} // namespace quillmere

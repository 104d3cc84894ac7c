#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Log/Logger.h"
#include "Platform/Power/LogindSignalWatcher.h"
#include "Platform/Power/PowerSysfs.h"
#include "Platform/Power/ThermalStateObserver.h"
#include "QuillmereMac/HostConnection/HostConnection.h"
#include "QuillmereMac/HostService/AwakeWhileStreaming.h"
#include "QuillmereMac/HostService/HostPowerMonitor.h"
#include "QuillmereMac/HostService/HostService.h"
#include "QuillmereMac/HostService/TrustSnapshot.h"
#include "QuillmereMacCore/ThermalLevel.h"
#include "QuillmereTransport/Identity/LocalIdentity.h"
#include "QuillmereTransport/PeerListener.h"
#include "QuillmereTransport/QUICParameters.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// The host's one network service: the session listener over the trust
// snapshot, one HostConnection per accepted client, and the machine's power,
// thermal, sleep and lock news turned into messages for every session.
// Bookkeeping runs on the main actor (the executor given); each
// connection's own work runs on that connection's queue.
class HostTransportService final : public HostService,
                                   public std::enable_shared_from_this<HostTransportService> {
public:
    // Where the machine's own news comes from.
    struct Sources {
        // Thermal zones (and power supplies, for the default power reader).
        PowerSysfs sysfs;
        // logind's bus: the system bus when none.
        std::optional<std::string> logindBus;
        std::uint64_t thermalPollNs = ThermalStateObserver::defaultIntervalNs;
        std::uint64_t powerIntervalNs = 20'000'000'000ULL;
    };

    // The name the engine shows in its start-failure text.
    static constexpr std::string_view serviceName = "Transport";

    // What a service is made with (the identity has no default: name it).
    struct Options {
        std::string name{serviceName};
        LocalIdentity identity;
        // The engine's answer to whether a device is trusted, which the
        // listener's peer check asks; none is trusted when it is not given.
        std::shared_ptr<TrustSnapshot> trust = std::make_shared<TrustSnapshot>();
        // Sent in every hello, and the advertised service name.
        std::string hostName;
        WireID deviceID;
        // Whether the listener is advertised over Bonjour.
        bool advertise = false;
        std::shared_ptr<AwakeWhileStreaming> awake = std::make_shared<AwakeWhileStreaming>();
        std::shared_ptr<HostPowerMonitor> power = HostPowerMonitor::make();
        Sources sources;
        // The sessions' QUIC idle timeout, and how long a client may take to
        // say hello; tests shorten them.
        std::uint64_t idleTimeoutNs = QUICParameters::idleTimeoutMs * 1'000'000ULL;
        std::uint64_t helloLimitNs = HelloDeadline::defaultLimitNs;
    };

    using OnSessionChange = std::function<void(std::optional<std::string> name, int count)>;
    using OnListening = std::function<void(std::uint16_t port)>;

    static std::shared_ptr<HostTransportService> make(Executor& main, Options options);

    // HostService
    const std::string& name() const override { return name_; }
    std::expected<void, std::string> start(std::uint64_t generation) override;
    // Done at once: connections are asked to say bye, not waited for.
    void stop(std::function<void()> done) override;
    void trustChanged(const std::vector<TrustedPeer>& peers) override;
    void revoke(const Digest32& fingerprint) override;

    void stopSharing(ByeReason reason);
    // Connections whose client has said hello.
    int activeSessionCount() const;
    std::size_t connectionCount() const { return connections_.size(); }
    // Connections let go by stop() that have not finished closing yet.
    std::size_t closingCount() const { return retiring_.size(); }
    std::optional<std::uint16_t> port() const { return port_; }
    std::uint64_t generation() const { return generation_; }
    const std::shared_ptr<TrustSnapshot>& trust() const { return trust_; }

    void setDelegate(std::weak_ptr<SessionMediaDelegate> delegate) { delegate_ = std::move(delegate); }
    void setOnSessionChange(OnSessionChange callback) { onSessionChange_ = std::move(callback); }
    void setOnListening(OnListening callback) { onListening_ = std::move(callback); }

    // The percentage and charging state a power reading is sent as; none
    // while the level is unknown.
    static std::optional<HostPower> hostPowerOf(HostPowerMonitor::Reading reading);

    HostTransportService(Executor& main, Options options);
    ~HostTransportService() override;

private:
    // What main knows of one connection, from the connection's own reports:
    // it never reads a connection's session.
    struct Entry {
        std::shared_ptr<HostConnection> connection;
        std::optional<std::string> clientName; // present once the client said hello
    };

    // HostTransportService.cpp
    void onListenerEvent(const PeerListener::Event& event, std::uint64_t generation);
    void accept(std::shared_ptr<PeerConnection> peer);
    void sessionChanged(const std::shared_ptr<HostConnection>& connection, std::optional<std::string> clientName);
    void forget(const std::shared_ptr<HostConnection>& connection);
    void updateAwake();

    // HostTransportObservers.cpp
    void startObservers();
    void stopObservers();
    void powerChanged(HostPowerMonitor::Reading reading);
    void thermalChanged(int state);
    void sleepOrLock();
    void broadcastBye(ByeReason reason);
    void broadcastThermal(ThermalLevel level);
    void sendPower(HostConnection& connection, HostPowerMonitor::Reading reading);

    Executor& main_;
    std::string name_;
    LocalIdentity identity_;
    std::shared_ptr<TrustSnapshot> trust_;
    std::string hostName_;
    WireID deviceID_;
    bool advertise_;
    std::shared_ptr<PeerListener> listener_;
    std::map<const HostConnection*, Entry> connections_;
    // Connections dropped by stop() that have not finished closing yet: they
    // are kept alive so that their bye and close sequence still run.
    std::map<const HostConnection*, std::shared_ptr<HostConnection>> retiring_;
    std::optional<std::uint16_t> port_;
    std::weak_ptr<SessionMediaDelegate> delegate_;
    std::shared_ptr<ThermalStateObserver> thermalObserver_;
    std::unique_ptr<LogindSignalWatcher> systemObserver_;
    OnSessionChange onSessionChange_;
    OnListening onListening_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<AwakeWhileStreaming> awake_;
    std::shared_ptr<HostPowerMonitor> power_;
    Sources sources_;
    std::uint64_t idleTimeoutNs_;
    std::uint64_t helloLimitNs_;
    // The power timer's queue.
    std::unique_ptr<SerialQueue> powerQueue_;
    Logger log_{"com.ornbeck.quillmere.mac", "transport"};
    std::shared_ptr<HandshakeRefusals> refusals_ = std::make_shared<HandshakeRefusals>(main_);
};

} // namespace quillmere

#include "QuillmereMac/HostService/HostTransportService.h"

#include "Platform/Crypto/Crypto.h"
#include "Platform/SystemInfo/ProcessMemory.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereMac/HostService/SessionDefaults.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereWire/WireProtocol.h"

#include <algorithm>

namespace quillmere {

namespace {

// Bonjour allows one byte less than a hello's name.
constexpr std::size_t maxServiceNameBytes = 63;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

WireID sessionNonce() {
    // A failed draw leaves the nonce all zero; the session goes on.
    auto bytes = Crypto::randomBytes(WireID::byteCount);
    if (!bytes || bytes->size() != WireID::byteCount) return WireID::zero();
    return *WireID::fromBytes(viewOf(*bytes));
}

} // namespace

std::shared_ptr<HostTransportService> HostTransportService::make(Executor& main, Options options) {
    return std::make_shared<HostTransportService>(main, std::move(options));
}

HostTransportService::HostTransportService(Executor& main, Options options)
    : main_(main), name_(std::move(options.name)), identity_(std::move(options.identity)),
      trust_(std::move(options.trust)), hostName_(std::move(options.hostName)), deviceID_(options.deviceID),
      advertise_(options.advertise), awake_(std::move(options.awake)), power_(std::move(options.power)),
      sources_(std::move(options.sources)), idleTimeoutNs_(options.idleTimeoutNs),
      helloLimitNs_(options.helloLimitNs),
      powerQueue_(std::make_unique<SerialQueue>("com.ornbeck.quillmeremac.power")) {}

HostTransportService::~HostTransportService() {
    stopObservers();
    if (listener_) listener_->stop();
    // The power timer runs on our queue: it must be gone before the queue is.
    power_->stop();
    powerQueue_.reset();
}

std::expected<void, std::string> HostTransportService::start(std::uint64_t generation) {
    // The engine never starts a running service; if anything did, the old
    // listener and observers must not linger unseen.
    if (listener_) listener_->stop();
    listener_.reset();
    stopObservers();
    generation_ = generation;
    const std::string alpn(WireProtocol::protocolIdentifier);
    auto parameters = QUICParameters::make(alpn, identity_, true,
                                           [trust = trust_](const std::optional<Digest32>& fingerprint) {
                                               return trust->contains(fingerprint);
                                           });
    parameters.idleTimeoutNs = idleTimeoutNs_;
    std::optional<std::string> serviceName;
    if (advertise_) serviceName = truncatedUTF8(hostName_, maxServiceNameBytes);
    auto listener = PeerListener::make(std::move(parameters), alpn, 0, serviceName);
    if (!listener) return std::unexpected(listener.error().description);

    listener_ = std::move(*listener);
    std::weak_ptr<HostTransportService> weak = weak_from_this();
    Executor* main = &main_;
    listener_->start([weak, main, generation](const PeerListener::Event& event) {
        main->async([weak, generation, event] {
            if (auto self = weak.lock()) self->onListenerEvent(event, generation);
        });
    });
    startObservers();
    return {};
}

void HostTransportService::stop(std::function<void()> done) {
    ++generation_;
    {
        std::lock_guard lock(awake_->lock());
        awake_->set(false);
    }
    stopObservers();
    if (listener_) listener_->stop();
    listener_.reset();
    port_.reset();
    broadcastBye(ByeReason::shutdown);
    for (auto& [key, entry] : connections_) retiring_.emplace(key, std::move(entry.connection));
    connections_.clear();
    if (done) done();
}

void HostTransportService::onListenerEvent(const PeerListener::Event& event, std::uint64_t generation) {
    if (generation != generation_ || !listener_) {
        if (const auto* accepted = std::get_if<listener::Connection>(&event)) accepted->connection->cancel();
        return;
    }
    std::visit(Overloaded{
                   [&](const listener::Ready& ready) {
                       port_ = ready.port;
                       if (onListening_) onListening_(ready.port);
                   },
                   [&](const listener::Failed& failed) {
                       log_.error("listener failed: %{public}s", failed.text);
                   },
                   [&](const listener::Connection& accepted) { accept(accepted.connection); },
               },
               event);
}

void HostTransportService::accept(std::shared_ptr<PeerConnection> peer) {
    // The encoder refuses a longer name; the hello would never leave.
    Hello hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::host, deviceID_, sessionNonce(),
                truncatedUTF8(hostName_, WireProtocol::maxNameBytes)};
    HostSession session(std::move(hello), SessionDefaults::hostCapabilities(), SessionDefaults::rateConfig());

    std::weak_ptr<HostTransportService> weak = weak_from_this();
    Executor* main = &main_;
    auto onStatus = [weak, main](HostConnection& reporting, const std::optional<std::string>& clientName) {
        main->async([weak, connection = reporting.shared_from_this(), clientName] {
            if (auto self = weak.lock()) self->sessionChanged(connection, clientName);
        });
    };
    auto onClosed = [weak, main](HostConnection& closing) {
        main->async([weak, connection = closing.shared_from_this()] {
            if (auto self = weak.lock()) self->forget(connection);
        });
    };
    auto connection = HostConnection::make(HostPeer::over(std::move(peer)), std::move(session), delegate_, main_,
                                           std::move(onStatus), std::move(onClosed));
    connections_.emplace(connection.get(), Entry{connection, std::nullopt});
    connection->setRefusals(refusals_);
    connection->start(helloLimitNs_);
}

int HostTransportService::activeSessionCount() const {
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const auto& item) { return item.second.clientName.has_value(); }));
}

void HostTransportService::sessionChanged(const std::shared_ptr<HostConnection>& connection,
                                          std::optional<std::string> clientName) {
    if (auto it = connections_.find(connection.get()); it != connections_.end()) it->second.clientName = clientName;
    if (onSessionChange_) onSessionChange_(clientName, activeSessionCount());
    updateAwake();
    const auto last = power_->last();
    sendPower(*connection, last ? *last : power_->readNow());
}

void HostTransportService::forget(const std::shared_ptr<HostConnection>& connection) {
    connections_.erase(connection.get());
    retiring_.erase(connection.get());
    if (onSessionChange_) {
        std::optional<std::string> remaining;
        for (const auto& [key, entry] : connections_) {
            if (entry.clientName) {
                remaining = entry.clientName;
                break;
            }
        }
        onSessionChange_(remaining, activeSessionCount());
    }
    updateAwake();
    // The last connection gone: what its threads freed goes back to the
    // system, once this turn has let go of the connection itself.
    if (connections_.empty() && retiring_.empty()) main_.async([] { ProcessMemory::releaseFreed(); });
}

void HostTransportService::updateAwake() {
    const bool live = activeSessionCount() > 0;
    std::lock_guard lock(awake_->lock());
    awake_->set(live);
}

// The snapshot is the engine's own, shared: it changed before we hear of it.
void HostTransportService::trustChanged(const std::vector<TrustedPeer>&) {}

void HostTransportService::revoke(const Digest32& fingerprint) {
    for (const auto& [key, entry] : connections_) {
        std::optional<Digest32> peerFingerprint;
        const auto& connection = entry.connection;
        connection->peer().queue().sync([&] { peerFingerprint = connection->peerFingerprint(); });
        if (!peerFingerprint || *peerFingerprint != fingerprint) continue;
        connection->peer().queue().async([connection] { connection->sayBye(ByeReason::revoked); });
    }
}

void HostTransportService::stopSharing(ByeReason reason) { broadcastBye(reason); }

} // namespace quillmere

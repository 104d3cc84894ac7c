#include "QuillmereMac/Enrollment/EnrollmentService.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereWire/WireProtocol.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <type_traits>

namespace quillmere {

namespace {

constexpr std::uint64_t nanosecondsPerSecond = 1'000'000'000ULL;

const std::string channelErrorReason(HostEnrollment::channelErrorReason);

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

} // namespace

// A connection this service closed reports its end later, from its own
// queue, and may do so after the service and its main actor are gone (a
// test host's queue): it must not reach a destroyed executor.
struct EnrollmentService::Relay {
    explicit Relay(Executor& executor) : main(&executor) {}

    std::mutex mutex;
    Executor* main;

    void post(Executor::Work work) {
        std::lock_guard lock(mutex);
        if (main) main->async(std::move(work));
    }
    void close() {
        std::lock_guard lock(mutex);
        main = nullptr;
    }
};

EnrollmentService::AddDevice EnrollmentService::addingTo(std::weak_ptr<HostEngine> engine) {
    return [engine = std::move(engine)](const TrustedPeer& peer, Saved saved) {
        auto strong = engine.lock();
        // Claiming the device was saved would be false.
        if (!strong) {
            saved(std::unexpected(std::string("the host engine is gone")));
            return;
        }
        strong->addDevice(peer, [saved = std::move(saved)](std::expected<void, TrustStoreError> added) {
            if (!added) saved(std::unexpected(added.error().message()));
            else saved({});
        });
    };
}

std::uint64_t EnrollmentService::wallClockSeconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::shared_ptr<EnrollmentService> EnrollmentService::make(Executor& main, HostEnrollment enrollment,
                                                           LocalIdentity identity, std::string hostName,
                                                           std::string address, AddDevice addDevice, Now now) {
    return std::make_shared<EnrollmentService>(main, std::move(enrollment), std::move(identity), std::move(hostName),
                                               std::move(address), std::move(addDevice), std::move(now));
}

EnrollmentService::EnrollmentService(Executor& main, HostEnrollment enrollment, LocalIdentity identity,
                                     std::string hostName, std::string address, AddDevice addDevice, Now now)
    : main_(main), relay_(std::make_shared<Relay>(main)), enrollment_(std::move(enrollment)),
      identity_(std::move(identity)), hostName_(std::move(hostName)), address_(std::move(address)),
      addDevice_(std::move(addDevice)), now_(std::move(now)) {}

// Waits for a report being handed over; none is handed over afterwards.
EnrollmentService::~EnrollmentService() { relay_->close(); }

WireID EnrollmentService::hostDeviceID() const {
    return *WireID::fromBytes(identity_.fingerprint.view().first(WireID::byteCount));
}

void EnrollmentService::setState(State state) {
    if (state == state_) return;
    state_ = std::move(state);
    const auto observers = observers_;
    for (const auto& observer : observers) observer(state_);
}

void EnrollmentService::send(const std::shared_ptr<PeerConnection>& peer, const ControlMessage& message) {
    if (peer) peer->sendControl(message);
}

void EnrollmentService::start(std::uint32_t lifetimeSeconds) {
    cancel();
    const std::uint64_t generation = ++generation_;
    setState(EnrollmentState::Starting{});

    // Any device may knock: the invitation's secret, not the certificate,
    // is what pairing is decided on.
    auto parameters = QUICParameters::make(std::string(WireProtocol::enrollmentProtocolIdentifier), identity_, true,
                                           [](const std::optional<Digest32>& fingerprint) {
                                               return fingerprint.has_value();
                                           });
    parameters.idleTimeoutNs = idleTimeoutNs;
    auto listener = PeerListener::make(std::move(parameters), std::string(WireProtocol::enrollmentProtocolIdentifier),
                                       0, std::nullopt);
    if (!listener) {
        log_.error("pairing listener could not open: %{public}s", listener.error().description);
        setState(EnrollmentState::Finished{"Could not open the pairing listener: " + listener.error().description});
        return;
    }
    listener_ = std::move(*listener);
    std::weak_ptr<EnrollmentService> weak = weak_from_this();
    listener_->start([weak, relay = relay_, generation, lifetimeSeconds](const PeerListener::Event& event) {
        relay->post([weak, generation, lifetimeSeconds, event] {
            if (auto self = weak.lock()) self->onListenerEvent(event, generation, lifetimeSeconds);
        });
    });
}

void EnrollmentService::onListenerEvent(const PeerListener::Event& event, std::uint64_t generation,
                                        std::uint32_t lifetimeSeconds) {
    if (generation != generation_) {
        if (const auto* accepted = std::get_if<listener::Connection>(&event)) accepted->connection->cancel();
        return;
    }
    std::visit(Overloaded{
                   [&](const listener::Ready& ready) {
                       auto invitation =
                           enrollment_.issueInvitation(now_(), lifetimeSeconds, ready.port, address_, hostName_);
                       if (!invitation) {
                           cancel("Could not create an invitation: " + invitation.error().description());
                           return;
                       }
                       auto text = invitation->encoded();
                       if (!text) {
                           cancel("Could not create an invitation: " + text.error().description());
                           return;
                       }
                       setState(EnrollmentState::Showing{std::move(*text), invitation->expiresAt});
                       scheduleExpiry(invitation->expiresAt, generation);
                   },
                   [&](const listener::Failed& failed) {
                       log_.error("pairing listener failed: %{public}s", failed.text);
                       cancel("Pairing listener failed: " + failed.text);
                   },
                   [&](const listener::Connection& accepted) {
                       if (active_ || !std::holds_alternative<EnrollmentState::Showing>(state_)) {
                           accepted.connection->cancel();
                           return;
                       }
                       active_ = accepted.connection;
                       // What an earlier connection told belongs to it alone.
                       clientFingerprint_.reset();
                       clientDeviceID_.reset();
                       std::weak_ptr<EnrollmentService> weak = weak_from_this();
                       std::weak_ptr<PeerConnection> weakPeer = accepted.connection;
                       active_->start([weak, weakPeer, relay = relay_, generation](const PeerEvent& peerEvent) {
                           relay->post([weak, weakPeer, generation, peerEvent] {
                               auto self = weak.lock();
                               auto peer = weakPeer.lock();
                               if (self && peer) self->onChannelEvent(peerEvent, peer, generation);
                           });
                       });
                       awaitHello(active_, generation);
                   },
               },
               event);
}

void EnrollmentService::dropActive() {
    active_.reset();
    clientFingerprint_.reset();
    clientDeviceID_.reset();
}

void EnrollmentService::refuseChannel() {
    auto peer = active_;
    send(peer, msg::Error{ErrorCode::protocolViolation, channelErrorReason});
    peer->close(closeGraceSeconds);
    dropActive();
}

// A device that never speaks would keep the one pairing slot until the
// code expires.
void EnrollmentService::awaitHello(const std::shared_ptr<PeerConnection>& peer, std::uint64_t generation) {
    const HelloDeadline deadline(main_.nowNs(), helloLimitNs);
    main_.asyncAfter(helloLimitNs, [weak = weak_from_this(), weakPeer = std::weak_ptr(peer), generation, deadline] {
        const auto self = weak.lock();
        const auto peer = weakPeer.lock();
        if (!self || !peer || peer != self->active_ || generation != self->generation_) return;
        if (self->clientDeviceID_ || !deadline.passed(self->main_.nowNs())) return;
        self->log_.notice("closing a pairing device that sent no hello in time");
        self->refuseChannel();
    });
}

void EnrollmentService::onChannelEvent(const PeerEvent& event, const std::shared_ptr<PeerConnection>& peer,
                                       std::uint64_t generation) {
    if (generation != generation_ || peer != active_) return;
    std::visit(Overloaded{
                   [&](const peer::Ready& ready) { clientFingerprint_ = ready.fingerprint; },
                   [&](const peer::Control& control) { onControl(control.message); },
                   [&](const peer::DatagramFlowReady&) {},
                   [&](const peer::Datagram&) {},
                   [&](const peer::Closed&) {
                       dropActive();
                       if (!std::holds_alternative<EnrollmentState::AwaitingApproval>(state_)) return;
                       (void)enrollment_.cancel(); // nobody left to tell
                       cancel("The device disconnected before approval.");
                   },
               },
               event);
}

void EnrollmentService::onControl(const ControlMessage& message) {
    if (const auto* hello = message.as<Hello>()) {
        if (hello->major != WireProtocol::majorVersion || hello->role != PeerRole::client) {
            refuseChannel();
            return;
        }
        clientDeviceID_ = hello->deviceID;
        const WireID id = hostDeviceID();
        send(active_, Hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::host, id, id,
                            truncatedUTF8(hostName_, WireProtocol::maxNameBytes)});
        return;
    }
    if (!clientFingerprint_ || !clientDeviceID_) {
        refuseChannel();
        return;
    }
    const auto step = enrollment_.handle(message, *clientFingerprint_, now_());
    std::visit(Overloaded{
                   [&](const HostEnrollment::Reply& reply) { send(active_, reply.message); },
                   [&](const HostEnrollment::AwaitApproval& await) {
                       send(active_, await.message);
                       setState(EnrollmentState::AwaitingApproval{await.pending.deviceName, await.pending.token,
                                                                  await.pending.deadline});
                       scheduleExpiry(await.pending.deadline, generation_);
                   },
                   [&](const HostEnrollment::Finish& finish) {
                       auto peer = active_;
                       send(peer, finish.message);
                       peer->close(closeGraceSeconds);
                       dropActive();
                       if (enrollment_.activeInvitation()) return; // the code stays usable
                       cancel("Pairing failed. Show a new code to try again.");
                   },
               },
               step);
}

void EnrollmentService::decide(std::uint64_t token, bool approve) {
    if (!active_ || !clientDeviceID_) return;
    const auto completion = approve ? enrollment_.approve(token, *clientDeviceID_, now_()) : enrollment_.deny(token);
    if (!completion) return;
    auto peer = active_;
    if (const auto* approved = std::get_if<HostEnrollment::Approved>(&*completion)) {
        setState(EnrollmentState::Saving{approved->peer.name});
        if (!addDevice_) {
            saved(*approved, peer, {});
            return;
        }
        std::weak_ptr<EnrollmentService> weak = weak_from_this();
        addDevice_(approved->peer, [weak, approved = *approved, peer, generation = generation_](
                                       const std::expected<void, std::string>& outcome) {
            // A pairing cancelled meanwhile has closed the connection already.
            if (auto self = weak.lock(); self && generation == self->generation_) self->saved(approved, peer, outcome);
        });
        return;
    }
    const auto& refused = std::get<HostEnrollment::Refused>(*completion);
    send(peer, refused.result);
    peer->close(closeGraceSeconds);
    cancel(approve ? "The approval expired." : "Pairing denied.");
}

void EnrollmentService::saved(const HostEnrollment::Approved& approved, const std::shared_ptr<PeerConnection>& peer,
                              const std::expected<void, std::string>& outcome) {
    if (outcome) {
        send(peer, approved.result);
        cancel(approved.peer.name + " is paired.");
    } else {
        log_.error("paired device could not be saved: %{public}s", outcome.error());
        send(peer, msg::EnrollResult{approved.result.invitationID, EnrollmentOutcome::cancelled, Digest32::zero()});
        cancel("Could not save the paired device: " + outcome.error() + ".");
    }
    peer->close(closeGraceSeconds);
}

void EnrollmentService::scheduleExpiry(std::uint64_t at, std::uint64_t generation) {
    const std::uint64_t ticket = ++expiryTicket_;
    const std::uint64_t now = now_();
    const std::uint64_t delaySeconds = at > now ? at - now : 0;
    const std::uint64_t delayNs =
        delaySeconds > UINT64_MAX / nanosecondsPerSecond ? UINT64_MAX : delaySeconds * nanosecondsPerSecond;
    std::weak_ptr<EnrollmentService> weak = weak_from_this();
    main_.asyncAfter(delayNs, [weak, ticket, generation] {
        auto self = weak.lock();
        if (!self || ticket != self->expiryTicket_ || generation != self->generation_) return;
        self->checkExpiry(generation);
    });
}

void EnrollmentService::checkExpiry(std::uint64_t generation) {
    const std::uint64_t now = now_();
    if (const auto* showing = std::get_if<EnrollmentState::Showing>(&state_)) {
        if (now >= showing->expiresAt) cancel("The pairing code expired.");
        // A wall clock set back since the timer began: wait for the rest.
        else scheduleExpiry(showing->expiresAt, generation);
        return;
    }
    if (const auto* awaiting = std::get_if<EnrollmentState::AwaitingApproval>(&state_)) {
        if (now < awaiting->deadline) {
            scheduleExpiry(awaiting->deadline, generation);
            return;
        }
        if (const auto refusal = enrollment_.expire(now)) {
            if (const auto* refused = std::get_if<HostEnrollment::Refused>(&*refusal)) send(active_, refused->result);
        }
        cancel("The approval expired.");
    }
}

void EnrollmentService::dismiss() {
    // The device would be trusted here while it believes it is not.
    if (std::holds_alternative<EnrollmentState::Saving>(state_)) return;
    cancel();
}

void EnrollmentService::cancel(std::optional<std::string> message) {
    ++generation_;
    ++expiryTicket_;
    if (const auto refusal = enrollment_.cancel()) {
        if (const auto* refused = std::get_if<HostEnrollment::Refused>(&*refusal)) send(active_, refused->result);
    }
    enrollment_.withdrawInvitation();
    if (active_) active_->close(closeGraceSeconds);
    active_.reset();
    if (listener_) listener_->stop();
    listener_.reset();
    clientFingerprint_.reset();
    clientDeviceID_.reset();
    if (message) setState(EnrollmentState::Finished{std::move(*message)});
    else setState(EnrollmentState::Idle{});
}

} // namespace quillmere

#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Enrollment/EnrollmentState.h"
#include "QuillmereMacCore/HelloDeadline.h"
#include "QuillmereTransport/Identity/LocalIdentity.h"
#include "QuillmereTransport/PeerConnection.h"
#include "QuillmereTransport/PeerListener.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereWire/HostEnrollment.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

// The host's side of pairing a new device: a pairing listener of its own,
// the invitation shown as a QR code, one enrollment connection at a time,
// the user's approval, and the approved device saved through addDevice.
// Lives on the main actor (the executor given): every call is made there,
// and transport events are moved there before they touch anything.
class EnrollmentService : public std::enable_shared_from_this<EnrollmentService> {
public:
    using State = EnrollmentState::Value;
    using Observer = std::function<void(const State&)>;
    // Saves a device; saved is told on the main actor, with the error's text
    // when it could not be.
    using Saved = std::function<void(std::expected<void, std::string>)>;
    using AddDevice = std::function<void(const TrustedPeer&, Saved saved)>;
    // Whole Unix seconds.
    using Now = std::function<std::uint64_t()>;

    static constexpr std::uint64_t approvalTimeoutSeconds = 120;
    static constexpr std::uint32_t invitationLifetimeSeconds = 300;
    static constexpr double closeGraceSeconds = 1.0;

    // Saves through the engine while it exists.
    static AddDevice addingTo(std::weak_ptr<HostEngine> engine);
    // The wall clock's whole seconds since 1970.
    static std::uint64_t wallClockSeconds();

    static std::shared_ptr<EnrollmentService> make(Executor& main, HostEnrollment enrollment, LocalIdentity identity,
                                                   std::string hostName, std::string address, AddDevice addDevice,
                                                   Now now);

    // Any earlier pairing ends first.
    void start(std::uint32_t lifetimeSeconds);
    // With a message the state becomes finished(message), else idle.
    void cancel(std::optional<std::string> message = std::nullopt);
    // Nobody watches any more (the window closed): as cancel() without a
    // message, but a device approved is not abandoned while it is saving:
    // it is told how the save came out, which pairing then finishes with.
    void dismiss();
    // The user's answer for the device shown while awaiting approval. An
    // approved device is saving until its save is told; pairing then ends.
    void decide(std::uint64_t token, bool approve);

    const State& state() const { return state_; }
    // Told of every change of state, on the main actor.
    void observe(Observer observer) { observers_.push_back(std::move(observer)); }

    // The first 16 bytes of the identity's fingerprint.
    WireID hostDeviceID() const;
    const HostEnrollment& enrollment() const { return enrollment_; }

    // The pairing connection's QUIC idle timeout, read at each start, and how
    // long a device may take to say hello; tests shorten them.
    std::uint64_t idleTimeoutNs = QUICParameters::idleTimeoutMs * 1'000'000ULL;
    std::uint64_t helloLimitNs = HelloDeadline::defaultLimitNs;

    EnrollmentService(Executor& main, HostEnrollment enrollment, LocalIdentity identity, std::string hostName,
                      std::string address, AddDevice addDevice, Now now);
    ~EnrollmentService();

private:
    struct Relay;

    void setState(State state);
    void onListenerEvent(const PeerListener::Event& event, std::uint64_t generation, std::uint32_t lifetimeSeconds);
    void onChannelEvent(const PeerEvent& event, const std::shared_ptr<PeerConnection>& peer, std::uint64_t generation);
    void onControl(const ControlMessage& message);
    void refuseChannel();
    void awaitHello(const std::shared_ptr<PeerConnection>& peer, std::uint64_t generation);
    void saved(const HostEnrollment::Approved& approved, const std::shared_ptr<PeerConnection>& peer,
               const std::expected<void, std::string>& outcome);
    void scheduleExpiry(std::uint64_t at, std::uint64_t generation);
    void checkExpiry(std::uint64_t generation);
    void send(const std::shared_ptr<PeerConnection>& peer, const ControlMessage& message);
    void dropActive();

    Executor& main_;
    // How transport threads reach main_: only while this service exists.
    std::shared_ptr<Relay> relay_;
    State state_ = EnrollmentState::Idle{};
    std::vector<Observer> observers_;
    HostEnrollment enrollment_;
    LocalIdentity identity_;
    std::string hostName_;
    std::string address_;
    AddDevice addDevice_;
    Now now_;
    std::shared_ptr<PeerListener> listener_;
    std::shared_ptr<PeerConnection> active_;
    std::optional<Digest32> clientFingerprint_;
    std::optional<WireID> clientDeviceID_;
    std::uint64_t generation_ = 0;
    // Names the one pending expiry timer; raising it cancels that timer.
    std::uint64_t expiryTicket_ = 0;
    Logger log_{"com.ornbeck.quillmere.mac", "pairing"};
};

} // namespace quillmere

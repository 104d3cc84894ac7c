#pragma once

#include "QuillmereMacCore/HelloDeadline.h"
#include "QuillmereMacCore/HostSessionAction.h"
#include "QuillmereMacCore/InputLease.h"
#include "QuillmereMacCore/RateConfig.h"
#include "QuillmereMacCore/RatePolicy.h"
#include "QuillmereMacCore/RecoveryPolicy.h"
#include "QuillmereMacCore/SurfaceAllocation.h"
#include "QuillmereMacCore/SurfaceScheduler.h"
#include "QuillmereMacCore/ThermalLevel.h"
#include "QuillmereWire/ConfigGate.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// The host's half of one session connection: every client message and every
// local event goes in, an ordered list of actions comes out. Copying a
// session copies its whole state.
class HostSession {
public:
    // closed is final.
    enum class Phase : std::uint8_t { awaitingHello, active, closed };

    class SurfacePhase {
    public:
        enum class Kind : std::uint8_t { awaitingConsent, approved, streaming, denied, ended };

        static SurfacePhase awaitingConsent(std::uint32_t windowID) { return {Kind::awaitingConsent, windowID}; }
        static SurfacePhase approved(std::uint32_t windowID) { return {Kind::approved, windowID}; }
        static SurfacePhase streaming(std::uint32_t windowID) { return {Kind::streaming, windowID}; }
        static SurfacePhase denied() { return {Kind::denied, 0}; }
        static SurfacePhase ended() { return {Kind::ended, 0}; }

        Kind kind() const { return kind_; }
        // The capture identifier the client selected; present while awaiting
        // consent, approved or streaming.
        std::optional<std::uint32_t> windowID() const {
            if (kind_ == Kind::denied || kind_ == Kind::ended) return std::nullopt;
            return windowID_;
        }

        bool operator==(const SurfacePhase&) const = default;

    private:
        SurfacePhase(Kind kind, std::uint32_t windowID) : kind_(kind), windowID_(windowID) {}

        Kind kind_;
        std::uint32_t windowID_;
    };

    struct Surface {
        SurfacePhase phase = SurfacePhase::ended();
        // Consent answers must quote it.
        std::uint32_t captureGeneration = 0;
        ConfigGate config;
        bool paused = false;

        bool isStreaming() const { return phase.kind() == SurfacePhase::Kind::streaming; }
        // The connection started its pipeline on approval: approved or streaming.
        bool hasMedia() const;
        // Counts against the surface limit.
        bool isLive() const;

        bool operator==(const Surface&) const = default;
    };

    static constexpr std::uint64_t defaultLeaseNs = 500'000'000;
    static constexpr std::int64_t defaultMaxMotionPerSecond = 1000;
    static constexpr std::uint64_t keyframeMinIntervalNs = 250'000'000;
    // Longest clipboard text handed to the client, in UTF-8 bytes.
    static constexpr std::size_t maxClipboardBytes = 60000;

    HostSession(Hello hostHello, Capabilities hostCapabilities, RateConfig rateConfig);

    std::uint8_t maxSurfaces() const;

    // One control message from the client.
    HostSessionActions handle(const ControlMessage& message, std::uint64_t now);
    // A session still without the client's hello at the deadline fails as
    // one that began with another message does (see expiry).
    void awaitHello(HelloDeadline deadline) { helloDeadline_ = deadline; }

    // Local events.
    HostSessionActions resolveConsent(std::uint32_t surfaceID, std::uint32_t captureGeneration, bool approved);
    HostSessionActions clipboardWriteCompleted(std::uint32_t requestID, ClipboardOutcome outcome);
    HostSessionActions clipboardReadCompleted(std::uint32_t requestID, bool approved,
                                              const std::optional<std::string>& text);
    // The caller follows it with rebalance(now).
    void noteContentChange(std::uint32_t surfaceID, std::uint64_t now);
    HostSessionActions resolveControlRequest(bool granted, std::uint64_t now);
    HostSessionActions tick(std::uint64_t now);
    HostSessionActions proposeConfig(const StreamConfig& config);
    bool isStreaming(std::uint32_t surfaceID, std::uint32_t configGeneration) const;
    std::optional<std::uint32_t> keyframeIssued(std::uint32_t surfaceID, std::uint64_t now);
    bool keyframeDue(std::uint32_t surfaceID, std::uint64_t now) const;
    void requestKeyframe(std::uint32_t surfaceID);
    HostSessionActions surfaceEnded(std::uint32_t surfaceID);
    HostSessionActions thermalChanged(ThermalLevel level, std::uint64_t now);
    HostSessionActions end(ByeReason reason);

    // When the session must be woken with no event to drive it: the hello's
    // deadline until the hello came, then the earliest moment a keyframe
    // request left waiting for the interval becomes due. None when nothing
    // waits; a request that is due already was served.
    std::optional<std::uint64_t> expiry(std::uint64_t now) const;
    // The wake-up: the session fails when its hello is overdue; once active,
    // a keyframe for every streaming surface whose request is due now,
    // whether or not its frames flow (a still picture sends none).
    HostSessionActions handleExpiry(std::uint64_t now);

    // setTier for every scheduled surface whose allocation changed since it
    // was last announced.
    HostSessionActions rebalance(std::uint64_t now);

    const Hello& hostHello() const { return hostHello_; }
    const Capabilities& hostCapabilities() const { return hostCapabilities_; }
    Phase phase() const { return phase_; }
    const std::optional<Hello>& clientHello() const { return clientHello_; }
    const std::optional<Capabilities>& clientCapabilities() const { return clientCapabilities_; }
    const std::map<std::uint32_t, Surface>& surfaces() const { return surfaces_; }
    const std::map<std::uint32_t, RecoveryPolicy>& recovery() const { return recovery_; }
    const std::map<std::uint32_t, RatePolicy>& rate() const { return rate_; }
    std::int64_t staleMessages() const { return staleMessages_; }
    const InputLease& input() const { return input_; }
    const SurfaceScheduler& scheduler() const { return scheduler_; }
    const std::map<std::uint32_t, SurfaceAllocation>& appliedTiers() const { return appliedTiers_; }
    bool controlRequested() const { return controlRequested_; }
    // The newest accepted request; later requests must be newer.
    std::optional<std::uint32_t> lastClipboardRequestID() const { return lastClipboardRequestID_; }
    bool clipboardBusy() const { return clipboardBusy_; }
    // The request whose write or read is under way; only its completion counts.
    std::optional<std::uint32_t> clipboardRequestInFlight() const { return clipboardRequestInFlight_; }
    std::uint32_t nextCaptureGeneration() const { return nextCaptureGeneration_; }
    const RateConfig& rateConfig() const { return rateConfig_; }

private:
    // Why a session closes that opened with anything but a hello, or with nothing.
    static constexpr std::string_view helloRequiredFirst = "hello required first";

    // Message handling.
    HostSessionActions handleFirst(const ControlMessage& message);
    HostSessionActions handleActive(const ControlMessage& message, std::uint64_t now);
    HostSessionActions inputControlRequest();
    HostSessionActions captureSelect(const msg::CaptureSelect& select, std::uint64_t now);
    HostSessionActions configAck(const msg::ConfigAck& ack);
    HostSessionActions startStream(std::uint32_t surfaceID, std::uint64_t now);
    HostSessionActions stopStream(std::uint32_t surfaceID, std::uint64_t now);
    HostSessionActions pause(const msg::Pause& pause, std::uint64_t now);
    HostSessionActions recoveryRequest(const msg::RecoveryRequest& request, std::uint64_t now);
    HostSessionActions receiverReport(const ReceiverReport& report, std::uint64_t now);
    HostSessionActions clipboardRequest(std::uint32_t requestID, const std::string* pushedText);
    HostSessionActions surfaceBudget(const msg::SurfaceBudget& budget) const;

    // Shared by messages and events.
    HostSessionActions fail(ErrorCode code, std::string reason);
    HostSessionActions teardown();
    HostSessionActions revokeControl();
    HostSessionActions revokeControlIfNoStream();
    // The steps every end of a surface shares, up to telling the client the
    // capture ended (after stop, when given).
    HostSessionActions endSurface(std::uint32_t surfaceID, Surface& surface, std::optional<msg::StopStream> stop);
    static HostSessionActions unknownSurfaceReply(std::uint32_t surfaceID);
    bool anySurfaceStreaming() const;
    std::uint16_t leaseMs() const;
    Surface* findSurface(std::uint32_t surfaceID);
    const Surface* findSurface(std::uint32_t surfaceID) const;

    Hello hostHello_;
    Capabilities hostCapabilities_;
    Phase phase_ = Phase::awaitingHello;
    std::optional<HelloDeadline> helloDeadline_;
    std::optional<Hello> clientHello_;
    std::optional<Capabilities> clientCapabilities_;
    std::map<std::uint32_t, Surface> surfaces_;
    std::map<std::uint32_t, RecoveryPolicy> recovery_;
    std::map<std::uint32_t, RatePolicy> rate_;
    std::int64_t staleMessages_ = 0;
    InputLease input_{defaultLeaseNs, defaultMaxMotionPerSecond};
    SurfaceScheduler scheduler_;
    std::map<std::uint32_t, SurfaceAllocation> appliedTiers_;
    bool controlRequested_ = false;
    std::optional<std::uint32_t> lastClipboardRequestID_;
    bool clipboardBusy_ = false;
    std::optional<std::uint32_t> clipboardRequestInFlight_;
    std::uint32_t nextCaptureGeneration_ = 1;
    RateConfig rateConfig_;
};

} // namespace quillmere

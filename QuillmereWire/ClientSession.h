#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/ClientAction.h"
#include "QuillmereWire/ClockOffsetEstimator.h"
#include "QuillmereWire/ConfigGate.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/ReceiverStatistics.h"
#include "QuillmereWire/RecoveryRequester.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quillmere {

// The viewer's end of one sharing session: fed the host's control messages,
// received datagrams and the time (nanoseconds of our monotonic clock), it
// returns what its owner must do, in order. A request the phase or a limit
// forbids returns nothing and changes nothing.
//
// Surface 1 is the main surface, opened by choosing a window; extra surfaces
// (2 and up, at most five) are opened one request each.
class ClientSession {
public:
    enum class Phase : std::uint8_t { awaitingHostHello, ready, awaitingConsent, awaitingConfig, streaming, closed };

    struct ExtraSurface {
        FrameAssembler assembler;
        // The accepted configuration is kept as acknowledged.
        ConfigGate config;
        RecoveryRequester requester;
        std::optional<std::uint32_t> captureGeneration;
        bool streaming = false;

        explicit ExtraSurface(std::uint32_t surfaceID);
    };

    enum class ClipboardKind : std::uint8_t { push, pull };
    struct PendingClipboard {
        std::uint32_t requestID = 0;
        ClipboardKind kind = ClipboardKind::push;
        bool operator==(const PendingClipboard&) const = default;
    };

    static constexpr std::uint32_t mainSurfaceID = 1;
    static constexpr std::size_t maxExtraSurfaces = 5;
    static constexpr std::int64_t clockCapacity = 64;
    static constexpr std::uint64_t recoveryRetryNs = 500'000'000;
    static const AssemblyLimits extraSurfaceLimits;

    ClientSession(Hello clientHello, Capabilities capabilities, AssemblyLimits limits, std::uint64_t nowNs);

    // Our hello and capabilities, in any phase.
    ClientActions start() const;
    ClientActions requestCaptureList();
    ClientActions selectWindow(std::uint32_t windowID);
    ClientActions addSurface(std::uint32_t surfaceID, std::uint32_t windowID);
    ClientActions removeSurface(std::uint32_t surfaceID);
    ClientActions setTextSize(std::uint8_t level);
    ClientActions setScreenShape(std::uint8_t shape);
    // Width and height are clamped to 64...8192.
    ClientActions setSurfaceBudget(std::uint32_t surfaceID, std::int64_t width, std::int64_t height);
    ClientActions focusHint(std::uint32_t surfaceID, std::uint16_t ttlMs);
    ClientActions pause(bool paused);
    ClientActions pause(std::uint32_t surfaceID, bool paused);
    // 1 to 60,000 bytes of well-formed UTF-8.
    ClientActions pushClipboard(std::string text);
    ClientActions pullClipboard();
    ClientActions close();

    ClientActions handle(const ControlMessage& message, std::uint64_t nowNs);

    // One received datagram; it may be kept past the call.
    ClientActions receive(SharedBytes datagram, std::uint64_t nowNs);
    ClientActions receive(ByteView datagram, std::uint64_t nowNs) { return receive(SharedBytes::copyOf(datagram), nowNs); }
    // Expires stalled frames of the main surface.
    ClientActions tick(std::uint64_t nowNs);
    // The viewer's decoder failed on a main-surface frame.
    ClientActions decodeFailed(std::uint64_t nowNs);
    void frameDecoded() { statistics_.recordDecode(true); }
    void frameDisplayed() { statistics_.recordDisplayed(); }
    // Main-surface frames lost since the session began, as its statistics
    // counted them (superseded partials of a new configuration are not).
    std::int64_t losses(FrameLossReason reason) const { return losses_[static_cast<std::size_t>(reason)]; }
    // Closes a statistics interval: the receiver report, then a clock ping.
    ClientActions report(std::uint64_t nowNs, std::int64_t decodeQueueDepth, std::uint8_t thermalState);

    const Hello& clientHello() const { return clientHello_; }
    const Capabilities& capabilities() const { return capabilities_; }
    Phase phase() const { return phase_; }
    const std::optional<Hello>& hostHello() const { return hostHello_; }
    const std::optional<Capabilities>& hostCapabilities() const { return hostCapabilities_; }
    const ConfigGate& config() const { return config_; }
    std::optional<std::uint32_t> captureGeneration() const { return captureGeneration_; }
    const FrameAssembler& assembler() const { return assembler_; }
    const ReceiverStatistics& statistics() const { return statistics_; }
    const ClockOffsetEstimator& clock() const { return clock_; }
    const RecoveryRequester& requester() const { return requester_; }
    std::uint32_t clipboardRequestID() const { return clipboardRequestID_; }
    const std::optional<PendingClipboard>& pendingClipboard() const { return pendingClipboard_; }
    std::optional<std::uint32_t> audioGeneration() const { return audioGeneration_; }
    const std::map<std::uint32_t, ExtraSurface>& extras() const { return extras_; }

private:
    struct MessageVisitor;

    ClientActions violation(std::string text);
    ClientActions handleMainCaptureState(const msg::CaptureState& message);
    ClientActions handleMainStreamConfig(const StreamConfig& config);
    ClientActions handleExtraCaptureState(const msg::CaptureState& message);
    ClientActions handleExtraStreamConfig(const StreamConfig& config);
    ClientActions handleExtraStopStream(std::uint32_t surfaceID);
    ClientActions handleClipboardPush(const msg::ClipboardPush& message);
    ClientActions handleClipboardResult(const msg::ClipboardResult& message);
    // The main surface shows a different capture: the host's new surface
    // numbers its configurations and epochs from the start again.
    void replaceMainSurface();
    bool canUseClipboard() const;
    bool extraIsStreaming(std::uint32_t surfaceID) const;
    void receiveMain(SharedBytes datagram, std::uint64_t nowNs, ClientActions& actions);
    void receiveExtra(std::uint32_t surfaceID, SharedBytes datagram, std::uint64_t nowNs, ClientActions& actions);
    void receiveAudio(const SharedBytes& datagram, ClientActions& actions) const;
    void observeMain(std::vector<AssemblyEvent>& events, std::uint64_t nowNs, bool deliver, ClientActions& actions);

    Hello clientHello_;
    Capabilities capabilities_;
    Phase phase_ = Phase::awaitingHostHello;
    std::optional<Hello> hostHello_;
    std::optional<Capabilities> hostCapabilities_;
    ConfigGate config_;
    std::optional<std::uint32_t> captureGeneration_;
    FrameAssembler assembler_;
    ReceiverStatistics statistics_;
    ClockOffsetEstimator clock_;
    RecoveryRequester requester_;
    std::uint32_t clipboardRequestID_ = 0;
    std::optional<PendingClipboard> pendingClipboard_;
    std::optional<std::uint32_t> audioGeneration_;
    std::map<std::uint32_t, ExtraSurface> extras_;
    std::array<std::int64_t, 6> losses_{};
};

std::string_view phaseName(ClientSession::Phase phase);

} // namespace quillmere

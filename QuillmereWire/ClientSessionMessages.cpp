#include "QuillmereWire/ClientSession.h"

#include "QuillmereWire/SequenceNumber.h"
#include "QuillmereWire/WireProtocol.h"

namespace quillmere {
namespace {

constexpr std::string_view helloRequiredFirst = "hello required first";
constexpr std::string_view badHostHello = "bad host hello";
constexpr std::string_view notAllowedFromHost = "message not allowed from host on session channel";

// An accepted generation is equal to or newer than the stored one.
bool acceptsGeneration(const std::optional<std::uint32_t>& stored, std::uint32_t generation) {
    return !stored || !isNewer(*stored, generation);
}

bool endsCapture(CaptureStateValue state) {
    return state == CaptureStateValue::denied || state == CaptureStateValue::ended ||
           state == CaptureStateValue::unavailable;
}

} // namespace

ClientActions ClientSession::violation(std::string text) {
    phase_ = Phase::closed;
    ClientActions actions;
    actions.push_back(ClientAction::send(msg::Error{ErrorCode::protocolViolation, text}));
    actions.push_back(client::Closed{ClientCloseReason::protocolViolation(std::move(text))});
    return actions;
}

// The host's messages once its hello is in, by case.
struct ClientSession::MessageVisitor {
    ClientSession& session;
    std::uint64_t nowNs;

    ClientActions operator()(const Capabilities& capabilities) const {
        session.hostCapabilities_ = capabilities;
        return {};
    }
    ClientActions operator()(const msg::Error& error) const {
        session.phase_ = Phase::closed;
        return {client::Closed{ClientCloseReason::hostError(error.code)}};
    }
    ClientActions operator()(const msg::Bye& bye) const {
        session.phase_ = Phase::closed;
        return {client::Closed{ClientCloseReason::bye(bye.reason)}};
    }
    ClientActions operator()(const msg::CaptureList& list) const { return {client::Windows{list.windows}}; }
    // Answered as the host answers ours: echo, then our own time.
    ClientActions operator()(const msg::Ping& ping) const {
        return {ClientAction::send(msg::Pong{ping.senderTimeNs, nowNs})};
    }
    ClientActions operator()(const msg::Pong& pong) const {
        session.clock_.add(pong.echoedTimeNs, pong.responderTimeNs, nowNs);
        return {};
    }
    ClientActions operator()(const msg::InputControlState& state) const {
        return {client::InputControl{state.generation, state.state, state.leaseMs}};
    }
    ClientActions operator()(const msg::ClipboardPush& push) const { return session.handleClipboardPush(push); }
    ClientActions operator()(const msg::ClipboardResult& result) const {
        return session.handleClipboardResult(result);
    }
    ClientActions operator()(const msg::AudioConfig& config) const {
        session.audioGeneration_ = config.generation;
        return {client::AudioConfigured{config.generation, config.sampleRate, config.channels, config.frameMs}};
    }
    ClientActions operator()(const CursorShape& shape) const { return {client::CursorShape{shape}}; }
    ClientActions operator()(const HostPower& power) const { return {client::HostPower{power}}; }
    ClientActions operator()(const msg::CaptureState& state) const {
        if (state.surfaceID == mainSurfaceID) return session.handleMainCaptureState(state);
        return session.handleExtraCaptureState(state);
    }
    ClientActions operator()(const StreamConfig& config) const {
        if (config.surfaceID == mainSurfaceID) return session.handleMainStreamConfig(config);
        return session.handleExtraStreamConfig(config);
    }
    ClientActions operator()(const msg::StopStream& stop) const {
        if (stop.surfaceID == mainSurfaceID) {
            session.phase_ = Phase::ready;
            session.assembler_.reset();
            return {client::CaptureState{CaptureStateValue::ended}};
        }
        return session.handleExtraStopStream(stop.surfaceID);
    }
    ClientActions operator()(const msg::Ignored&) const { return {}; }
    ClientActions operator()(const msg::InputControlRequest&) const { return {}; }
    // Everything else only a client sends.
    template <class Other>
    ClientActions operator()(const Other&) const {
        return session.violation(std::string(notAllowedFromHost));
    }
};

ClientActions ClientSession::handle(const ControlMessage& message, std::uint64_t nowNs) {
    if (phase_ == Phase::closed) return {};

    if (phase_ == Phase::awaitingHostHello) {
        const auto* hello = message.as<Hello>();
        if (!hello) return violation(std::string(helloRequiredFirst));
        if (hello->role != PeerRole::host || hello->major != WireProtocol::majorVersion)
            return violation(std::string(badHostHello));
        hostHello_ = *hello;
        phase_ = Phase::ready;
        return {};
    }

    return std::visit(MessageVisitor{*this, nowNs}, static_cast<const ControlMessage::variant&>(message));
}

ClientActions ClientSession::handleClipboardPush(const msg::ClipboardPush& message) {
    if (!pendingClipboard_ || pendingClipboard_->kind != ClipboardKind::pull ||
        pendingClipboard_->requestID != message.requestID)
        return {};
    pendingClipboard_.reset();
    return {client::ClipboardReceived{message.text}};
}

ClientActions ClientSession::handleClipboardResult(const msg::ClipboardResult& message) {
    if (!pendingClipboard_ || pendingClipboard_->requestID != message.requestID) return {};
    pendingClipboard_.reset();
    return {client::ClipboardOutcome{message.requestID, message.outcome}};
}

ClientActions ClientSession::handleMainCaptureState(const msg::CaptureState& message) {
    if (!acceptsGeneration(captureGeneration_, message.captureGeneration)) return {};
    // A newer generation is a new selection on the host, whose surface starts
    // with no configuration; a stale configuration of ours must not outlive it.
    if (!captureGeneration_ || isNewer(message.captureGeneration, *captureGeneration_)) config_ = ConfigGate{};
    captureGeneration_ = message.captureGeneration;
    switch (message.state) {
    case CaptureStateValue::awaitingConsent: phase_ = Phase::awaitingConsent; break;
    case CaptureStateValue::active: phase_ = Phase::awaitingConfig; break;
    case CaptureStateValue::denied:
    case CaptureStateValue::ended:
    case CaptureStateValue::unavailable:
        phase_ = Phase::ready;
        assembler_.reset();
        break;
    }
    return {client::CaptureState{message.state}};
}

ClientActions ClientSession::handleMainStreamConfig(const StreamConfig& config) {
    if (phase_ != Phase::awaitingConfig && phase_ != Phase::streaming) return {};
    if (!config_.accept(config)) return {};
    // Partial frames of other generations are superseded; the session does
    // not count these losses.
    (void)assembler_.acceptConfigGeneration(config.configGeneration);
    ClientActions actions;
    actions.push_back(client::Configure{config});
    actions.push_back(ClientAction::send(msg::ConfigAck{mainSurfaceID, config.configGeneration}));
    if (phase_ == Phase::awaitingConfig) {
        phase_ = Phase::streaming;
        actions.push_back(ClientAction::send(msg::StartStream{mainSurfaceID}));
    }
    return actions;
}

ClientActions ClientSession::handleExtraCaptureState(const msg::CaptureState& message) {
    const auto found = extras_.find(message.surfaceID);
    if (found == extras_.end()) return {};
    ExtraSurface& extra = found->second;
    if (!acceptsGeneration(extra.captureGeneration, message.captureGeneration)) return {};
    extra.captureGeneration = message.captureGeneration;
    if (endsCapture(message.state)) extras_.erase(found);
    return {client::SurfaceState{message.surfaceID, message.state}};
}

ClientActions ClientSession::handleExtraStreamConfig(const StreamConfig& config) {
    const auto found = extras_.find(config.surfaceID);
    if (found == extras_.end()) return {};
    ExtraSurface& extra = found->second;
    if (!extra.config.accept(config)) return {};
    (void)extra.assembler.acceptConfigGeneration(config.configGeneration);
    ClientActions actions;
    actions.push_back(client::ConfigureSurface{config.surfaceID, config});
    actions.push_back(ClientAction::send(msg::ConfigAck{config.surfaceID, config.configGeneration}));
    if (!extra.streaming) {
        extra.streaming = true;
        actions.push_back(ClientAction::send(msg::StartStream{config.surfaceID}));
    }
    return actions;
}

ClientActions ClientSession::handleExtraStopStream(std::uint32_t surfaceID) {
    const auto found = extras_.find(surfaceID);
    if (found == extras_.end()) return {};
    found->second.streaming = false;
    found->second.assembler.reset();
    return {client::SurfaceState{surfaceID, CaptureStateValue::ended}};
}

} // namespace quillmere

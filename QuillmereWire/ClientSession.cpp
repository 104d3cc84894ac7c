#include "QuillmereWire/ClientSession.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/WireProtocol.h"

#include <algorithm>

namespace quillmere {

const AssemblyLimits ClientSession::extraSurfaceLimits{8, 8'388'608, 100'000'000};

ClientSession::ExtraSurface::ExtraSurface(std::uint32_t surfaceID)
    : assembler(surfaceID, extraSurfaceLimits), requester(surfaceID, recoveryRetryNs) {}

ClientSession::ClientSession(Hello clientHello, Capabilities capabilities, AssemblyLimits limits, std::uint64_t nowNs)
    : clientHello_(std::move(clientHello)),
      capabilities_(std::move(capabilities)),
      assembler_(mainSurfaceID, limits),
      statistics_(mainSurfaceID, nowNs),
      clock_(clockCapacity),
      requester_(mainSurfaceID, recoveryRetryNs) {}

std::string_view phaseName(ClientSession::Phase phase) {
    switch (phase) {
    case ClientSession::Phase::awaitingHostHello: return "awaitingHostHello";
    case ClientSession::Phase::ready: return "ready";
    case ClientSession::Phase::awaitingConsent: return "awaitingConsent";
    case ClientSession::Phase::awaitingConfig: return "awaitingConfig";
    case ClientSession::Phase::streaming: return "streaming";
    case ClientSession::Phase::closed: return "closed";
    }
    return "unknown";
}

ClientActions ClientSession::start() const {
    return {ClientAction::send(clientHello_), ClientAction::send(capabilities_)};
}

ClientActions ClientSession::requestCaptureList() {
    if (phase_ != Phase::ready && phase_ != Phase::streaming) return {};
    return {ClientAction::send(msg::CaptureListRequest{})};
}

void ClientSession::replaceMainSurface() {
    assembler_.reset();
    // Waiting for a configuration newer than the old surface's would refuse
    // the new one's first configurations; an outstanding request of the old
    // surface would hold back requests for the new one's early epochs.
    config_ = ConfigGate{};
    requester_ = RecoveryRequester(mainSurfaceID, recoveryRetryNs);
}

ClientActions ClientSession::selectWindow(std::uint32_t windowID) {
    if (phase_ == Phase::awaitingHostHello || phase_ == Phase::closed) return {};
    phase_ = Phase::awaitingConsent;
    replaceMainSurface();
    return {ClientAction::send(msg::CaptureSelect{mainSurfaceID, windowID})};
}

ClientActions ClientSession::addSurface(std::uint32_t surfaceID, std::uint32_t windowID) {
    if (surfaceID <= mainSurfaceID) return {};
    if (phase_ != Phase::ready && phase_ != Phase::awaitingConfig && phase_ != Phase::streaming) return {};
    if (extras_.size() >= maxExtraSurfaces && !extras_.contains(surfaceID)) return {};
    extras_.insert_or_assign(surfaceID, ExtraSurface(surfaceID));
    return {ClientAction::send(msg::CaptureSelect{surfaceID, windowID})};
}

ClientActions ClientSession::removeSurface(std::uint32_t surfaceID) {
    if (phase_ == Phase::closed || extras_.erase(surfaceID) == 0) return {};
    return {ClientAction::send(msg::StopStream{surfaceID, StopReason::user})};
}

ClientActions ClientSession::setTextSize(std::uint8_t level) {
    if (phase_ != Phase::streaming || level > WireProtocol::maxTextSizeLevel) return {};
    return {ClientAction::send(msg::TextSize{level})};
}

ClientActions ClientSession::setScreenShape(std::uint8_t shape) {
    if (phase_ != Phase::streaming || shape > WireProtocol::maxScreenShape) return {};
    return {ClientAction::send(msg::ScreenShape{shape})};
}

bool ClientSession::extraIsStreaming(std::uint32_t surfaceID) const {
    const auto extra = extras_.find(surfaceID);
    return extra != extras_.end() && extra->second.streaming;
}

ClientActions ClientSession::setSurfaceBudget(std::uint32_t surfaceID, std::int64_t width, std::int64_t height) {
    if (phase_ != Phase::streaming) return {};
    if (!hostCapabilities_ || !hostCapabilities_->features.contains(features::bit7)) return {};
    if (surfaceID != mainSurfaceID && !extras_.contains(surfaceID)) return {};
    const auto clamp = [](std::int64_t value) {
        return static_cast<std::uint16_t>(
            std::clamp<std::int64_t>(value, WireProtocol::surfaceBudgetMin, WireProtocol::surfaceBudgetMax));
    };
    return {ClientAction::send(msg::SurfaceBudget{surfaceID, clamp(width), clamp(height)})};
}

ClientActions ClientSession::focusHint(std::uint32_t surfaceID, std::uint16_t ttlMs) {
    if (phase_ != Phase::streaming) return {};
    if (surfaceID != mainSurfaceID && !extraIsStreaming(surfaceID)) return {};
    return {ClientAction::send(msg::FocusHint{surfaceID, ttlMs})};
}

ClientActions ClientSession::pause(bool paused) { return pause(mainSurfaceID, paused); }

ClientActions ClientSession::pause(std::uint32_t surfaceID, bool paused) {
    if (phase_ != Phase::streaming) return {};
    if (surfaceID != mainSurfaceID && !extraIsStreaming(surfaceID)) return {};
    return {ClientAction::send(msg::Pause{surfaceID, paused})};
}

bool ClientSession::canUseClipboard() const {
    const bool phaseAllows = phase_ == Phase::ready || phase_ == Phase::awaitingConsent ||
                             phase_ == Phase::awaitingConfig || phase_ == Phase::streaming;
    return phaseAllows && !pendingClipboard_;
}

ClientActions ClientSession::pushClipboard(std::string text) {
    if (!canUseClipboard()) return {};
    // Text the codec would refuse is refused here, before an identifier is spent.
    if (text.empty() || text.size() > WireProtocol::maxClipboardBytes || !isValidUTF8(text)) return {};
    ++clipboardRequestID_;
    pendingClipboard_ = PendingClipboard{clipboardRequestID_, ClipboardKind::push};
    return {ClientAction::send(msg::ClipboardPush{clipboardRequestID_, std::move(text)})};
}

ClientActions ClientSession::pullClipboard() {
    if (!canUseClipboard()) return {};
    ++clipboardRequestID_;
    pendingClipboard_ = PendingClipboard{clipboardRequestID_, ClipboardKind::pull};
    return {ClientAction::send(msg::ClipboardPull{clipboardRequestID_})};
}

ClientActions ClientSession::close() {
    if (phase_ == Phase::closed) return {};
    const bool mainStreams = phase_ == Phase::awaitingConfig || phase_ == Phase::streaming;
    phase_ = Phase::closed;
    ClientActions actions;
    if (mainStreams) actions.push_back(ClientAction::send(msg::StopStream{mainSurfaceID, StopReason::user}));
    actions.push_back(ClientAction::send(msg::Bye{ByeReason::normal}));
    actions.push_back(client::Closed{ClientCloseReason::local()});
    return actions;
}

} // namespace quillmere

// HostSession: the entries for local events (prompt answers, timers, the
// encoder, capture, this computer's thermal state, the host's own bye).

#include "QuillmereMacCore/HostSession.h"

#include <utility>

namespace quillmere {

HostSessionActions HostSession::resolveConsent(std::uint32_t surfaceID, std::uint32_t captureGeneration,
                                               bool approved) {
    Surface* surface = findSurface(surfaceID);
    // Late, repeated, or for a surface selected again since.
    if (phase_ != Phase::active || !surface || surface->captureGeneration != captureGeneration ||
        surface->phase.kind() != SurfacePhase::Kind::awaitingConsent) {
        ++staleMessages_;
        return {};
    }
    surface->phase = approved ? SurfacePhase::approved(*surface->phase.windowID()) : SurfacePhase::denied();
    const auto state = approved ? CaptureStateValue::active : CaptureStateValue::denied;
    return {action::Send{msg::CaptureState{surfaceID, captureGeneration, state}}};
}

HostSessionActions HostSession::clipboardWriteCompleted(std::uint32_t requestID, ClipboardOutcome outcome) {
    if (phase_ != Phase::active || !clipboardBusy_ || clipboardRequestInFlight_ != requestID) return {};
    clipboardBusy_ = false;
    clipboardRequestInFlight_.reset();
    return {action::Send{msg::ClipboardResult{requestID, outcome}}};
}

HostSessionActions HostSession::clipboardReadCompleted(std::uint32_t requestID, bool approved,
                                                       const std::optional<std::string>& text) {
    if (phase_ != Phase::active || !clipboardBusy_ || clipboardRequestInFlight_ != requestID) return {};
    clipboardBusy_ = false;
    clipboardRequestInFlight_.reset();

    auto result = [requestID](ClipboardOutcome outcome) -> HostSessionActions {
        return {action::Send{msg::ClipboardResult{requestID, outcome}}};
    };
    if (!approved) return result(ClipboardOutcome::denied);
    if (!text) return result(ClipboardOutcome::notText);
    if (text->empty()) return result(ClipboardOutcome::empty);
    if (text->size() > maxClipboardBytes) return result(ClipboardOutcome::tooLarge);
    // This computer's clipboard travels as a push quoting the pull's identifier.
    return {action::Send{msg::ClipboardPush{requestID, *text}}};
}

void HostSession::noteContentChange(std::uint32_t surfaceID, std::uint64_t now) {
    scheduler_.noteChange(surfaceID, now);
}

HostSessionActions HostSession::resolveControlRequest(bool granted, std::uint64_t now) {
    if (phase_ != Phase::active || !controlRequested_) return {};
    controlRequested_ = false;
    if (!granted) {
        return {action::Send{msg::InputControlState{input_.generation(), InputControlStateValue::denied, 0}}};
    }
    auto grant = input_.grant(now);
    HostSessionActions actions;
    if (!grant.releases.empty()) actions.push_back(action::Inject{std::move(grant.releases)});
    actions.push_back(action::Send{msg::InputControlState{grant.generation, InputControlStateValue::granted, leaseMs()}});
    return actions;
}

HostSessionActions HostSession::tick(std::uint64_t now) {
    if (phase_ != Phase::active) return {};
    // Empty unless the lease ran idle with something held; the lease stays
    // granted, so the next tick finds nothing held.
    auto releases = input_.expireIfIdle(now);
    if (releases.empty()) return {};
    return {action::Inject{std::move(releases)},
            action::Send{msg::InputControlState{input_.generation(), InputControlStateValue::expired, leaseMs()}}};
}

HostSessionActions HostSession::proposeConfig(const StreamConfig& config) {
    Surface* surface = findSurface(config.surfaceID);
    if (phase_ != Phase::active || !surface) return {};
    const auto kind = surface->phase.kind();
    if (kind != SurfacePhase::Kind::approved && kind != SurfacePhase::Kind::streaming) return {};
    // A generation that is not newer is dropped without telling the client.
    if (!surface->config.propose(config)) return {};
    return {action::Send{config}};
}

bool HostSession::isStreaming(std::uint32_t surfaceID, std::uint32_t configGeneration) const {
    const Surface* surface = findSurface(surfaceID);
    if (phase_ != Phase::active || !surface || !surface->isStreaming() || surface->paused) return false;
    const auto& acknowledged = surface->config.acknowledged();
    return acknowledged && acknowledged->configGeneration == configGeneration;
}

std::optional<std::uint32_t> HostSession::keyframeIssued(std::uint32_t surfaceID, std::uint64_t now) {
    auto policy = recovery_.find(surfaceID);
    if (policy == recovery_.end()) return std::nullopt;
    return policy->second.issue(now);
}

bool HostSession::keyframeDue(std::uint32_t surfaceID, std::uint64_t now) const {
    auto policy = recovery_.find(surfaceID);
    return policy != recovery_.end() && policy->second.isDue(now);
}

void HostSession::requestKeyframe(std::uint32_t surfaceID) {
    auto policy = recovery_.find(surfaceID);
    if (policy != recovery_.end()) policy->second.requestLocal();
}

HostSessionActions HostSession::surfaceEnded(std::uint32_t surfaceID) {
    Surface* surface = findSurface(surfaceID);
    if (phase_ != Phase::active || !surface || surface->phase.kind() == SurfacePhase::Kind::ended) return {};
    // The other surfaces get their new tiers at the next re-balance.
    return endSurface(surfaceID, *surface, msg::StopStream{surfaceID, StopReason::captureEnded});
}

HostSessionActions HostSession::thermalChanged(ThermalLevel level, std::uint64_t now) {
    HostSessionActions actions;
    for (auto& [surfaceID, policy] : rate_) {
        const Surface* surface = findSurface(surfaceID);
        if (!surface || !surface->isStreaming()) continue;
        const std::uint32_t before = policy.decision().bitrateKbps;
        const std::uint32_t after = policy.setHostThermal(level, now).bitrateKbps;
        if (after != before) actions.push_back(action::SetBitrate{surfaceID, after});
    }
    return actions;
}

std::optional<std::uint64_t> HostSession::expiry(std::uint64_t now) const {
    if (phase_ == Phase::awaitingHello && helloDeadline_) return helloDeadline_->dueNs();
    if (phase_ != Phase::active) return std::nullopt;
    std::optional<std::uint64_t> earliest;
    for (const auto& [surfaceID, policy] : recovery_) {
        const Surface* surface = findSurface(surfaceID);
        if (!surface || !surface->isStreaming() || surface->paused) continue;
        const std::uint64_t wait = policy.remainingWait(now);
        if (wait == 0) continue;
        if (!earliest || now + wait < *earliest) earliest = now + wait;
    }
    return earliest;
}

HostSessionActions HostSession::handleExpiry(std::uint64_t now) {
    if (phase_ == Phase::awaitingHello && helloDeadline_ && helloDeadline_->passed(now))
        return fail(ErrorCode::protocolViolation, std::string(helloRequiredFirst));
    if (phase_ != Phase::active) return {};
    HostSessionActions actions;
    // A surface asked already and not yet answered is asked again: the
    // pipeline's request is a flag, and this wake-up is rare.
    for (const auto& [surfaceID, policy] : recovery_) {
        const Surface* surface = findSurface(surfaceID);
        if (surface && surface->isStreaming() && !surface->paused && policy.isDue(now))
            actions.push_back(action::ForceKeyframe{surfaceID});
    }
    return actions;
}

HostSessionActions HostSession::end(ByeReason reason) {
    if (phase_ == Phase::closed) return {};
    HostSessionActions actions;
    if (phase_ == Phase::active) actions = teardown();
    phase_ = Phase::closed;
    actions.push_back(action::Send{msg::Bye{reason}});
    actions.push_back(action::Close{});
    return actions;
}

} // namespace quillmere

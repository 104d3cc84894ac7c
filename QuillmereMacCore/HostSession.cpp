#include "QuillmereMacCore/HostSession.h"

#include <algorithm>
#include <utility>

namespace quillmere {

bool HostSession::Surface::isLive() const {
    switch (phase.kind()) {
    case SurfacePhase::Kind::awaitingConsent:
    case SurfacePhase::Kind::approved:
    case SurfacePhase::Kind::streaming:
        return !paused;
    case SurfacePhase::Kind::denied:
    case SurfacePhase::Kind::ended:
        return false;
    }
    return false;
}

bool HostSession::Surface::hasMedia() const {
    return phase.kind() == SurfacePhase::Kind::approved || phase.kind() == SurfacePhase::Kind::streaming;
}

HostSession::HostSession(Hello hostHello, Capabilities hostCapabilities, RateConfig rateConfig)
    : hostHello_(std::move(hostHello)),
      hostCapabilities_(std::move(hostCapabilities)),
      rateConfig_(std::move(rateConfig)) {}

std::uint8_t HostSession::maxSurfaces() const {
    // Until the client says what it can show, one surface.
    const std::uint8_t client = clientCapabilities_ ? clientCapabilities_->maxSurfaces : std::uint8_t{1};
    return std::min(hostCapabilities_.maxSurfaces, client);
}

HostSession::Surface* HostSession::findSurface(std::uint32_t surfaceID) {
    auto it = surfaces_.find(surfaceID);
    return it == surfaces_.end() ? nullptr : &it->second;
}

const HostSession::Surface* HostSession::findSurface(std::uint32_t surfaceID) const {
    auto it = surfaces_.find(surfaceID);
    return it == surfaces_.end() ? nullptr : &it->second;
}

bool HostSession::anySurfaceStreaming() const {
    return std::any_of(surfaces_.begin(), surfaces_.end(), [](const auto& entry) { return entry.second.isStreaming(); });
}

std::uint16_t HostSession::leaseMs() const {
    const std::uint64_t ms = input_.leaseNs() / 1'000'000;
    return ms > 65535 ? std::uint16_t{65535} : static_cast<std::uint16_t>(ms);
}

HostSessionActions HostSession::fail(ErrorCode code, std::string reason) {
    HostSessionActions actions;
    if (phase_ == Phase::active) actions = teardown();
    phase_ = Phase::closed;
    actions.push_back(action::Send{msg::Error{code, std::move(reason)}});
    actions.push_back(action::Close{});
    return actions;
}

HostSessionActions HostSession::teardown() {
    HostSessionActions actions;
    auto releases = input_.revoke();
    controlRequested_ = false;
    if (!releases.empty()) actions.push_back(action::Inject{std::move(releases)});
    // An approved surface the client never started has its pipeline too.
    for (auto& [surfaceID, surface] : surfaces_) {
        if (surface.hasMedia()) actions.push_back(action::StopMedia{surfaceID});
        surface.phase = SurfacePhase::ended();
    }
    return actions;
}

HostSessionActions HostSession::rebalance(std::uint64_t now) {
    std::erase_if(appliedTiers_, [this](const auto& entry) {
        const auto& scheduled = scheduler_.surfaces();
        return std::find(scheduled.begin(), scheduled.end(), entry.first) == scheduled.end();
    });
    HostSessionActions actions;
    for (const auto& [surfaceID, allocation] : scheduler_.allocate(now)) {
        auto [it, inserted] = appliedTiers_.try_emplace(surfaceID, allocation);
        if (!inserted) {
            if (it->second == allocation) continue;
            it->second = allocation;
        }
        actions.push_back(action::SetTier{surfaceID, allocation});
    }
    return actions;
}

HostSessionActions HostSession::revokeControl() {
    if (!input_.active()) return {};
    HostSessionActions actions;
    auto releases = input_.revoke();
    if (!releases.empty()) actions.push_back(action::Inject{std::move(releases)});
    actions.push_back(
        action::Send{msg::InputControlState{input_.generation(), InputControlStateValue::revoked, 0}});
    return actions;
}

HostSessionActions HostSession::revokeControlIfNoStream() {
    if (!input_.active() || anySurfaceStreaming()) return {};
    return revokeControl();
}

HostSessionActions HostSession::endSurface(std::uint32_t surfaceID, Surface& surface,
                                           std::optional<msg::StopStream> stop) {
    const bool hadMedia = surface.hasMedia();
    const std::uint32_t generation = surface.captureGeneration;
    surface.phase = SurfacePhase::ended();
    scheduler_.remove(surfaceID);

    // Held keys are let go before the media stops.
    HostSessionActions actions = revokeControlIfNoStream();
    if (hadMedia) actions.push_back(action::StopMedia{surfaceID});
    actions.push_back(action::ClearSurfaceBudget{surfaceID});
    if (stop) actions.push_back(action::Send{*stop});
    actions.push_back(action::Send{msg::CaptureState{surfaceID, generation, CaptureStateValue::ended}});
    return actions;
}

HostSessionActions HostSession::unknownSurfaceReply(std::uint32_t surfaceID) {
    return {action::Send{msg::Error{ErrorCode::unknownSurface, "surface " + std::to_string(surfaceID)}}};
}

} // namespace quillmere

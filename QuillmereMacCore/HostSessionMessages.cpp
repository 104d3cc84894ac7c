// HostSession: the answer to each control message from the client.

#include "QuillmereMacCore/HostSession.h"

#include "QuillmereWire/SequenceNumber.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace quillmere {

namespace {

constexpr std::uint16_t acceptedMajor = 1;

HostSessionActions reply(std::string reason) {
    return {action::Send{msg::Error{ErrorCode::invalidState, std::move(reason)}}};
}

void append(HostSessionActions& to, HostSessionActions from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

template <class T, class... Ts>
constexpr bool isOneOf = (std::is_same_v<T, Ts> || ...);

} // namespace

HostSessionActions HostSession::handle(const ControlMessage& message, std::uint64_t now) {
    switch (phase_) {
    case Phase::closed: return {};
    case Phase::awaitingHello: return handleFirst(message);
    case Phase::active: return handleActive(message, now);
    }
    return {};
}

HostSessionActions HostSession::handleFirst(const ControlMessage& message) {
    const Hello* hello = message.as<Hello>();
    if (!hello) return fail(ErrorCode::protocolViolation, std::string(helloRequiredFirst));
    // The version decides before the role.
    if (hello->major != acceptedMajor) return fail(ErrorCode::versionMismatch, "major " + std::to_string(hello->major));
    if (hello->role != PeerRole::client) return fail(ErrorCode::protocolViolation, "peer must be a client");
    clientHello_ = *hello;
    phase_ = Phase::active;
    return {action::Send{hostHello_}, action::Send{hostCapabilities_}};
}

HostSessionActions HostSession::handleActive(const ControlMessage& message, std::uint64_t now) {
    return std::visit(
        [&](const auto& m) -> HostSessionActions {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, Hello>) {
                return fail(ErrorCode::protocolViolation, "duplicate hello");
            } else if constexpr (std::is_same_v<M, Capabilities>) {
                clientCapabilities_ = m;
                return {};
            } else if constexpr (isOneOf<M, msg::Error, msg::Bye>) {
                // The client has gone: nothing to answer.
                phase_ = Phase::closed;
                auto actions = teardown();
                actions.push_back(action::Close{});
                return actions;
            } else if constexpr (isOneOf<M, StreamConfig, msg::CaptureList, msg::CaptureState, msg::EnrollRequest,
                                         msg::EnrollPending, msg::EnrollResult, msg::InputControlState,
                                         msg::AudioConfig, CursorShape, HostPower>) {
                return fail(ErrorCode::protocolViolation, "message not allowed from client on session channel");
            } else if constexpr (isOneOf<M, msg::Pong, msg::ClipboardResult, msg::Ignored>) {
                return {};
            } else if constexpr (std::is_same_v<M, msg::Ping>) {
                return {action::Send{msg::Pong{m.senderTimeNs, now}}};
            } else if constexpr (std::is_same_v<M, msg::CaptureListRequest>) {
                return {action::ListWindows{}};
            } else if constexpr (std::is_same_v<M, msg::InputControlRequest>) {
                return inputControlRequest();
            } else if constexpr (std::is_same_v<M, msg::CaptureSelect>) {
                return captureSelect(m, now);
            } else if constexpr (std::is_same_v<M, msg::ConfigAck>) {
                return configAck(m);
            } else if constexpr (std::is_same_v<M, msg::StartStream>) {
                return startStream(m.surfaceID, now);
            } else if constexpr (std::is_same_v<M, msg::StopStream>) {
                return stopStream(m.surfaceID, now);
            } else if constexpr (std::is_same_v<M, msg::Pause>) {
                return pause(m, now);
            } else if constexpr (std::is_same_v<M, msg::RecoveryRequest>) {
                return recoveryRequest(m, now);
            } else if constexpr (std::is_same_v<M, ReceiverReport>) {
                return receiverReport(m, now);
            } else if constexpr (std::is_same_v<M, msg::Input>) {
                auto injected = input_.admit(m.seq, m.generation, m.event, now);
                if (injected.empty()) return {};
                return {action::Inject{std::move(injected)}};
            } else if constexpr (std::is_same_v<M, msg::ClipboardPush>) {
                return clipboardRequest(m.requestID, &m.text);
            } else if constexpr (std::is_same_v<M, msg::ClipboardPull>) {
                return clipboardRequest(m.requestID, nullptr);
            } else if constexpr (std::is_same_v<M, msg::FocusHint>) {
                scheduler_.focusHint(m.surfaceID, m.ttlMs, now);
                return rebalance(now);
            } else if constexpr (std::is_same_v<M, msg::SurfaceBudget>) {
                return surfaceBudget(m);
            } else if constexpr (std::is_same_v<M, msg::TextSize>) {
                if (!anySurfaceStreaming()) return reply("text size requires an active stream");
                return {action::SetTextSize{m.level}};
            } else {
                static_assert(std::is_same_v<M, msg::ScreenShape>);
                if (!anySurfaceStreaming()) return reply("screen shape requires an active stream");
                return {action::SetScreenShape{m.shape}};
            }
        },
        static_cast<const ControlMessage::variant&>(message));
}

HostSessionActions HostSession::inputControlRequest() {
    if (!anySurfaceStreaming()) return reply("control requires an active stream");
    // The user is still being asked.
    if (controlRequested_) return {};
    if (input_.active()) {
        return {action::Send{msg::InputControlState{input_.generation(), InputControlStateValue::granted, leaseMs()}}};
    }
    controlRequested_ = true;
    return {action::RequestControl{}};
}

HostSessionActions HostSession::captureSelect(const msg::CaptureSelect& select, std::uint64_t now) {
    const std::uint32_t surfaceID = select.surfaceID;
    const Surface* existing = findSurface(surfaceID);
    if (!existing) {
        const auto live = std::count_if(surfaces_.begin(), surfaces_.end(),
                                        [](const auto& entry) { return entry.second.isLive(); });
        if (live >= maxSurfaces()) {
            return {action::Send{msg::CaptureState{surfaceID, 0, CaptureStateValue::unavailable}}};
        }
    }

    HostSessionActions actions;
    if (existing && existing->hasMedia()) actions.push_back(action::StopMedia{surfaceID});

    const std::uint32_t generation = nextCaptureGeneration_++;
    surfaces_.insert_or_assign(surfaceID, Surface{SurfacePhase::awaitingConsent(select.windowID), generation, {}, false});
    recovery_.insert_or_assign(surfaceID, RecoveryPolicy(1, keyframeMinIntervalNs));
    rate_.insert_or_assign(surfaceID, RatePolicy(rateConfig_, now));

    actions.push_back(action::Send{msg::CaptureState{surfaceID, generation, CaptureStateValue::awaitingConsent}});
    actions.push_back(action::RequestConsent{surfaceID, select.windowID, generation});
    return actions;
}

HostSessionActions HostSession::configAck(const msg::ConfigAck& ack) {
    Surface* surface = findSurface(ack.surfaceID);
    if (!surface) return unknownSurfaceReply(ack.surfaceID);
    const bool matches = surface->config.pendingMatches(ack.surfaceID, ack.configGeneration);
    switch (surface->phase.kind()) {
    case SurfacePhase::Kind::approved:
        if (!matches) {
            ++staleMessages_;
            return {};
        }
        surface->config.acknowledge(ack.surfaceID, ack.configGeneration);
        return {};
    case SurfacePhase::Kind::streaming:
        if (!matches) break;
        surface->config.acknowledge(ack.surfaceID, ack.configGeneration);
        // The new configuration needs a keyframe to be decodable.
        return {action::ForceKeyframe{ack.surfaceID}};
    case SurfacePhase::Kind::awaitingConsent:
    case SurfacePhase::Kind::denied:
    case SurfacePhase::Kind::ended:
        break;
    }
    return reply("configAck before consent");
}

HostSessionActions HostSession::startStream(std::uint32_t surfaceID, std::uint64_t now) {
    Surface* surface = findSurface(surfaceID);
    if (!surface) return unknownSurfaceReply(surfaceID);
    if (surface->isStreaming()) return {};
    if (surface->phase.kind() != SurfacePhase::Kind::approved) return reply("startStream without approved capture");
    if (!surface->config.acknowledged()) return reply("startStream before configAck");

    surface->phase = SurfacePhase::streaming(*surface->phase.windowID());
    scheduler_.add(surfaceID, now);
    HostSessionActions actions{action::StartMedia{surfaceID}, action::ForceKeyframe{surfaceID}};
    append(actions, rebalance(now));
    return actions;
}

HostSessionActions HostSession::stopStream(std::uint32_t surfaceID, std::uint64_t now) {
    Surface* surface = findSurface(surfaceID);
    if (!surface) return unknownSurfaceReply(surfaceID);
    HostSessionActions actions = endSurface(surfaceID, *surface, std::nullopt);
    append(actions, rebalance(now));
    return actions;
}

HostSessionActions HostSession::pause(const msg::Pause& pause, std::uint64_t now) {
    Surface* surface = findSurface(pause.surfaceID);
    if (!surface) return unknownSurfaceReply(pause.surfaceID);
    if (!surface->isStreaming()) return reply("pause without stream");
    if (pause.paused == surface->paused) return {};

    surface->paused = pause.paused;
    HostSessionActions actions;
    if (pause.paused) {
        scheduler_.remove(pause.surfaceID);
        actions.push_back(action::PauseMedia{pause.surfaceID, true});
    } else {
        scheduler_.add(pause.surfaceID, now);
        // The decoder has missed everything since the pause.
        actions.push_back(action::PauseMedia{pause.surfaceID, false});
        actions.push_back(action::ForceKeyframe{pause.surfaceID});
    }
    append(actions, rebalance(now));
    return actions;
}

HostSessionActions HostSession::recoveryRequest(const msg::RecoveryRequest& request, std::uint64_t now) {
    const Surface* surface = findSurface(request.surfaceID);
    if (!surface) return unknownSurfaceReply(request.surfaceID);
    auto policy = recovery_.find(request.surfaceID);
    if (!surface->isStreaming() || policy == recovery_.end()) return {};

    if (policy->second.request(request.epoch) == RecoveryPolicy::Outcome::ignoredStale) ++staleMessages_;
    // Pending until keyframeIssued reports the keyframe; one not due yet is
    // served by handleExpiry once the interval has passed.
    if (!policy->second.isDue(now)) return {};
    return {action::ForceKeyframe{request.surfaceID}};
}

HostSessionActions HostSession::receiverReport(const ReceiverReport& report, std::uint64_t now) {
    const Surface* surface = findSurface(report.surfaceID);
    if (!surface) return unknownSurfaceReply(report.surfaceID);
    auto policy = rate_.find(report.surfaceID);
    if (!surface->isStreaming() || policy == rate_.end()) return {};

    const std::uint32_t before = policy->second.decision().bitrateKbps;
    const std::uint32_t after = policy->second.update(report, now).bitrateKbps;
    HostSessionActions actions;
    if (after != before) actions.push_back(action::SetBitrate{report.surfaceID, after});

    // The tiers follow the hottest of the streaming surfaces' decisions.
    ThermalLevel hottest = ThermalLevel::nominal;
    for (const auto& [surfaceID, rate] : rate_) {
        const Surface* s = findSurface(surfaceID);
        if (s && s->isStreaming()) hottest = std::max(hottest, rate.decision().thermal);
    }
    if (hottest != scheduler_.thermal()) {
        scheduler_.setThermal(hottest);
        append(actions, rebalance(now));
    }
    return actions;
}

HostSessionActions HostSession::clipboardRequest(std::uint32_t requestID, const std::string* pushedText) {
    if (lastClipboardRequestID_ && !isNewer(requestID, *lastClipboardRequestID_)) {
        ++staleMessages_;
        return {};
    }
    lastClipboardRequestID_ = requestID;
    // A refused request leaves the one under way in charge of the busy state.
    if (clipboardBusy_) return {action::Send{msg::ClipboardResult{requestID, ClipboardOutcome::busy}}};

    clipboardBusy_ = true;
    clipboardRequestInFlight_ = requestID;
    if (pushedText) return {action::ClipboardWriteRequested{requestID, *pushedText}};
    return {action::ClipboardReadRequested{requestID}};
}

HostSessionActions HostSession::surfaceBudget(const msg::SurfaceBudget& budget) const {
    const Surface* surface = findSurface(budget.surfaceID);
    if (!surface || surface->phase.kind() == SurfacePhase::Kind::ended) return {};
    return {action::SetSurfaceBudget{budget.surfaceID, budget.maxWidth, budget.maxHeight}};
}

} // namespace quillmere

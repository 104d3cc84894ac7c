#include "QuillmereViewer/SessionDriver.h"

#include "QuillmereViewer/TestPatternCheck.h"
#include "QuillmereWire/FrameTimingRecord.h"

#include <fmt/format.h>

namespace quillmere {

SessionDriver::SessionDriver(const SessionSettings& settings, ViewerRun& run, SessionLink& link,
                             FrameDecoder& decoder, Clock clock, Progress progress)
    : settings_(settings), run_(run), link_(link), decoder_(decoder), clock_(std::move(clock)),
      progress_(std::move(progress)),
      session_(settings.hello, settings.capabilities, settings.limits, clock_()) {
    run_.summary.listOnly = settings.listOnly;
    run_.summary.expectTestPattern = settings.expectTestPattern;
    run_.summary.inputWanted = run_.input.wanted();
    run_.summary.clipboardWanted = settings.pullClipboard;
    if (settings.expectTestPattern) {
        if (!run_.summary.testPattern) run_.summary.testPattern.emplace();
        run_.summary.testPattern->restart();
    }
}

void SessionDriver::say(const std::string& text) const {
    if (progress_) progress_(text);
}

void SessionDriver::connected(std::uint64_t nowNs) { perform(session_.start(), nowNs); }

void SessionDriver::received(const ControlMessage& message, std::uint64_t nowNs) {
    const auto before = session_.phase();
    perform(session_.handle(message, nowNs), nowNs);
    if (before == ClientSession::Phase::awaitingHostHello && session_.phase() == ClientSession::Phase::ready) {
        readyAtNs_ = nowNs;
        ++run_.summary.connections;
        run_.summary.hostName = session_.hostHello()->name;
        say(fmt::format("connected to \"{}\"", session_.hostHello()->name));
        link_.sendControl(msg::Ping{nowNs});
        lastPingNs_ = nowNs;
        perform(session_.requestCaptureList(), nowNs);
    }
    afterActions(nowNs);
}

void SessionDriver::datagram(SharedBytes bytes, std::uint64_t nowNs) {
    if (session_.phase() != ClientSession::Phase::streaming) return;
    ++run_.summary.datagrams;
    perform(session_.receive(std::move(bytes), nowNs), nowNs);
    checkLimits(nowNs);
}

void SessionDriver::tick(std::uint64_t nowNs) {
    using Phase = ClientSession::Phase;
    const Phase phase = session_.phase();
    if (phase == Phase::awaitingHostHello || phase == Phase::closed) return;
    if (session_.clock().samples().size() < static_cast<std::size_t>(earlyPingSamples) &&
        (!lastPingNs_ || nowNs - *lastPingNs_ >= earlyPingIntervalNs)) {
        link_.sendControl(msg::Ping{nowNs});
        lastPingNs_ = nowNs;
    }
    if (phase != Phase::streaming) return;
    perform(session_.tick(nowNs), nowNs);
    if (!lastReportNs_ || nowNs - *lastReportNs_ >= reportIntervalNs) {
        if (lastReportNs_) perform(session_.report(nowNs, 0, 0), nowNs);
        lastReportNs_ = nowNs;
    }
    if (auto input = run_.input.poll(nowNs)) link_.sendControl(std::move(*input));
    checkLimits(nowNs);
}

void SessionDriver::interrupt() { finish(SessionEnd{SessionEnd::Kind::interrupted, {}}); }

void SessionDriver::connectionClosed(const PeerCloseReason& reason) {
    if (connectionClosed_) return;
    connectionClosed_ = true;
    closeReason_ = reason;
    if (!end_) end_ = SessionEnd{SessionEnd::Kind::connectionLost, closeReasonText(reason)};
    SessionSummary& summary = run_.summary;
    summary.end = end_;
    for (std::size_t lossReason = 0; lossReason < summary.losses.size(); ++lossReason)
        summary.losses[lossReason] += session_.losses(static_cast<FrameLossReason>(lossReason));
    summary.recoveryRequests += session_.requester().requestsSent();
    summary.rejectedDatagrams += session_.assembler().counters().rejected;
    summary.duplicateDatagrams += session_.assembler().counters().duplicates;
    if (auto estimate = session_.clock().estimate()) summary.clockOffset = *estimate;
    summary.inputPhase = run_.input.phase();
    summary.inputEventsSent = run_.input.eventsSent();
    summary.inputRenewalsSent = run_.input.renewalsSent();
}

bool SessionDriver::retryable() const {
    if (!end_) return false;
    if (end_->kind == SessionEnd::Kind::connectionLost) return true;
    // The host went to sleep or is restarting: it may well come back.
    return end_->kind == SessionEnd::Kind::hostBye &&
           (end_->detail == enumName(ByeReason::idle) || end_->detail == enumName(ByeReason::shutdown));
}

void SessionDriver::perform(ClientActions actions, std::uint64_t nowNs) {
    for (ClientAction& action : actions) perform(action, nowNs);
}

void SessionDriver::perform(ClientAction& action, std::uint64_t nowNs) {
    if (auto* send = std::get_if<client::Send>(&action)) {
        link_.sendControl(std::move(send->message));
    } else if (const auto* windows = action.as<client::Windows>()) {
        chooseCapture(windows->windows, nowNs);
    } else if (const auto* state = action.as<client::CaptureState>()) {
        captureState(state->state);
    } else if (const auto* configure = action.as<client::Configure>()) {
        this->configure(configure->config, nowNs);
    } else if (const auto* deliver = action.as<client::Deliver>()) {
        this->deliver(deliver->frame);
    } else if (const auto* control = action.as<client::InputControl>()) {
        run_.input.controlState(control->generation, control->state, control->leaseMs);
        say(fmt::format("input control {}", enumName(control->state)));
    } else if (const auto* closed = action.as<client::Closed>()) {
        sessionClosed(closed->reason);
    } else if (const auto* received = action.as<client::ClipboardReceived>()) {
        clipboardAnswered("text", static_cast<std::int64_t>(received->text.size()), nowNs);
    } else if (const auto* outcome = action.as<client::ClipboardOutcome>()) {
        clipboardAnswered(std::string(enumName(outcome->outcome)), 0, nowNs);
    }
    // Audio, cursor shapes, power and extra surfaces are not asked for.
}

void SessionDriver::chooseCapture(const std::vector<CaptureWindow>& windows, std::uint64_t nowNs) {
    run_.summary.captures = windows;
    if (settings_.listOnly) {
        finish(SessionEnd{SessionEnd::Kind::listed, {}});
        return;
    }
    if (captureChosen_) return;
    auto chosen = settings_.select.choose(windows);
    if (!chosen) {
        finish(SessionEnd{SessionEnd::Kind::noCapture, chosen.error()});
        return;
    }
    captureChosen_ = true;
    run_.summary.capture = *chosen;
    say(fmt::format("selecting {} \"{}\"", chosen->windowID, chosen->title));
    perform(session_.selectWindow(chosen->windowID), nowNs);
}

void SessionDriver::captureState(CaptureStateValue state) {
    switch (state) {
    case CaptureStateValue::awaitingConsent: say("waiting for consent on the host"); break;
    case CaptureStateValue::active: say("capture approved"); break;
    case CaptureStateValue::denied:
    case CaptureStateValue::unavailable:
        finish(SessionEnd{SessionEnd::Kind::captureRefused, std::string(enumName(state))});
        break;
    case CaptureStateValue::ended: finish(SessionEnd{SessionEnd::Kind::captureEnded, {}}); break;
    }
}

void SessionDriver::configure(const StreamConfig& config, std::uint64_t nowNs) {
    decoder_.configure(config);
    ++run_.summary.configurations;
    if (!run_.streamingSinceNs) run_.streamingSinceNs = nowNs;
    say(fmt::format("stream {}x{} at {} fps, configuration {}", config.width, config.height, config.fps,
                    config.configGeneration));
}

void SessionDriver::deliver(const AssembledFrame& frame) {
    SessionSummary& summary = run_.summary;
    ++summary.delivered;
    const std::uint64_t submittedNs = clock_();
    run_.timing.record(FrameTimingRecord::from(frame, session_.clock().estimate(), submittedNs));
    DecodeResult result = decoder_.decode(frame);
    const std::uint64_t decodedNs = clock_();
    if (result.error) {
        ++summary.corrupt;
        if (!summary.firstDecodeError) summary.firstDecodeError = *result.error;
        perform(session_.decodeFailed(decodedNs), decodedNs);
        return;
    }
    for (const DecodedPicture& picture : result.pictures) decoded(picture, frame, decodedNs);
}

void SessionDriver::decoded(const DecodedPicture& picture, const AssembledFrame& frame, std::uint64_t decodedNs) {
    SessionSummary& summary = run_.summary;
    session_.frameDecoded();
    ++summary.decoded;
    run_.timing.markDecoded(frame.frameID, decodedNs);
    summary.captureAndDecodedNs.emplace_back(frame.captureTimeNs, decodedNs);
    if (summary.testPattern) summary.testPattern->check(picture);
    if (settings_.snapshots && (summary.decoded - 1) % settings_.snapshotEvery == 0) {
        const std::uint32_t number =
            summary.testPattern ? summary.testPattern->last().value_or(frame.frameID) : frame.frameID;
        if (auto failure = settings_.snapshots->failure()) {
            finish(SessionEnd{SessionEnd::Kind::failed, *failure});
        } else {
            settings_.snapshots->post(picture, number);
        }
    }
}

void SessionDriver::sessionClosed(const ClientCloseReason& reason) {
    if (const auto* bye = reason.as<ClientCloseReason::Bye>()) {
        if (!end_) end_ = SessionEnd{SessionEnd::Kind::hostBye, std::string(enumName(bye->reason))};
    } else if (const auto* error = reason.as<ClientCloseReason::HostError>()) {
        if (!end_) end_ = SessionEnd{SessionEnd::Kind::hostError, std::string(enumName(error->code))};
    } else if (const auto* violation = reason.as<ClientCloseReason::ProtocolViolation>()) {
        if (!end_) end_ = SessionEnd{SessionEnd::Kind::violation, violation->text};
    }
    if (!linkClosed_) {
        linkClosed_ = true;
        link_.close();
    }
}

void SessionDriver::clipboardAnswered(std::string outcome, std::int64_t bytes, std::uint64_t nowNs) {
    if (!clipboardPulledNs_ || run_.summary.clipboard) return;
    const double afterMs = static_cast<double>(nowNs - *clipboardPulledNs_) / 1e6;
    say(fmt::format("clipboard: {} after {:.0f} ms", outcome, afterMs));
    run_.summary.clipboard = SessionSummary::ClipboardAnswer{std::move(outcome), bytes, afterMs};
}

void SessionDriver::afterActions(std::uint64_t nowNs) {
    if (session_.phase() == ClientSession::Phase::streaming) {
        if (auto request = run_.input.request()) link_.sendControl(std::move(*request));
        if (settings_.pullClipboard && !clipboardPulledNs_ && !run_.summary.clipboard) {
            clipboardPulledNs_ = nowNs;
            perform(session_.pullClipboard(), nowNs);
        }
    }
    checkLimits(nowNs);
}

void SessionDriver::checkLimits(std::uint64_t nowNs) {
    if (end_) return;
    if (settings_.frameLimit && run_.summary.decoded >= *settings_.frameLimit) {
        // Input and the clipboard asked for are part of the run: wait for
        // them unless control was refused.
        const auto input = run_.input.phase();
        const bool inputDone = !run_.input.wanted() || input == InputScript::Phase::finished ||
                               input == InputScript::Phase::refused || input == InputScript::Phase::revoked;
        if (inputDone && (!settings_.pullClipboard || run_.summary.clipboard)) {
            finish(SessionEnd{SessionEnd::Kind::frameLimit, {}});
            return;
        }
    }
    if (settings_.durationNs && run_.streamingSinceNs && nowNs >= *run_.streamingSinceNs &&
        nowNs - *run_.streamingSinceNs >= *settings_.durationNs) {
        finish(SessionEnd{SessionEnd::Kind::duration, {}});
    }
}

void SessionDriver::finish(SessionEnd end) {
    if (!end_) end_ = std::move(end);
    if (session_.phase() != ClientSession::Phase::closed) {
        perform(session_.close(), clock_());
    } else if (!linkClosed_) {
        linkClosed_ = true;
        link_.close();
    }
}

} // namespace quillmere

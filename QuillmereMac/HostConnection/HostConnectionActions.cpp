// HostConnection::perform: where the session's actions take effect, in
// order, against the peer connection and the media side.

#include "QuillmereMac/HostConnection/HostConnection.h"

#include <utility>

namespace quillmere {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

} // namespace

void HostConnection::perform(const HostSessionActions& actions) {
    for (const HostSessionAction& action : actions) performOne(action);
    armExpiry();
}

std::string HostConnection::clientName() const {
    const auto& hello = session_.clientHello();
    return hello ? hello->name : std::string("device");
}

void HostConnection::onPipeline(std::uint32_t surfaceID, std::function<void(SurfacePipeline&)> work) {
    const auto surfaces = media_.surfaces.lock();
    if (!surfaces) return;
    std::shared_ptr<SurfacePipeline> pipeline = surfaces->pipeline(surfaceID, shared_from_this());
    if (!pipeline) return;
    Executor& queue = pipeline->queue();
    queue.async([pipeline = std::move(pipeline), work = std::move(work)] { work(*pipeline); });
}

void HostConnection::performOne(const HostSessionAction& action) {
    std::visit(
        Overloaded{
            [this](const action::Send& send) { peer_->sendControl(send.message); },
            [this](const action::RequestConsent& request) { requestConsent(request); },
            [this](const action::StartMedia& start) { startMedia(start.surfaceID); },
            [this](const action::StopMedia& stop) {
                retireSender(stop.surfaceID);
                surfaceHandles_.erase(stop.surfaceID);
                epochs_.erase(stop.surfaceID);
                if (const auto surfaces = media_.surfaces.lock()) surfaces->stopSurface(stop.surfaceID, shared_from_this());
            },
            [this](const action::PauseMedia& pause) {
                if (pause.paused) {
                    if (const auto sender = senders_.find(pause.surfaceID); sender != senders_.end())
                        sender->second->admission().reset();
                }
                if (const auto surfaces = media_.surfaces.lock())
                    surfaces->setPaused(pause.surfaceID, pause.paused, shared_from_this());
            },
            [this](const action::ForceKeyframe& force) {
                if (const auto found = surfaceHandles_.find(force.surfaceID); found != surfaceHandles_.end())
                    if (const auto handle = found->second.lock()) handle->requestKeyframe();
            },
            [this](const action::SetBitrate& bitrate) {
                onPipeline(bitrate.surfaceID,
                           [kbps = bitrate.kbps](SurfacePipeline& pipeline) { pipeline.setBitrate(kbps); });
            },
            [this](const action::Inject& inject) {
                if (const auto control = media_.control.lock()) control->inject(inject.actions);
            },
            [this](const action::ClipboardWriteRequested& write) { clipboardWrite(write); },
            [this](const action::ClipboardReadRequested& read) { clipboardRead(read.requestID); },
            [this](const action::SetTier& tier) {
                onPipeline(tier.surfaceID, [allocation = tier.allocation](SurfacePipeline& pipeline) {
                    pipeline.setTier(allocation.fps, allocation.bitrateKbps);
                });
            },
            [this](const action::SetTextSize& size) {
                if (size.level != 0) textSizeChanged_ = true;
                if (media_.displays.expired()) return;
                mainActor_.async([weak = media_.displays, level = size.level] {
                    if (const auto displays = weak.lock()) displays->setTextSize(level);
                });
            },
            [this](const action::SetScreenShape& shape) {
                if (shape.shape != 0) screenShapeChanged_ = true;
                const auto displays = media_.displays.lock();
                if (!displays) return;
                if (const auto known = screenShapeFromRaw(shape.shape)) {
                    displays->setScreenShape(*known);
                } else {
                    log_.error("screen shape %{public}u ignored: unknown shape", shape.shape);
                }
            },
            [this](const action::SetSurfaceBudget& budget) {
                if (const auto surfaces = media_.surfaces.lock())
                    surfaces->setSurfaceBudget(budget.surfaceID, RequestedBox{budget.width, budget.height},
                                               shared_from_this());
            },
            [this](const action::ClearSurfaceBudget& clear) {
                if (const auto surfaces = media_.surfaces.lock())
                    surfaces->clearSurfaceBudget(clear.surfaceID, shared_from_this());
            },
            [this](const action::Close&) { peer_->close(closeGraceSeconds); },
            [this](const action::ListWindows&) { listWindows(); },
            [this](const action::RequestControl&) { requestControl(); },
        },
        action);
}

void HostConnection::requestConsent(const action::RequestConsent& request) {
    const auto surfaces = media_.surfaces.lock();
    if (!surfaces) {
        peer_->sendControl(
            msg::CaptureState{request.surfaceID, request.captureGeneration, CaptureStateValue::unavailable});
        return;
    }
    if (request.windowID == CaptureChoice::testPatternID && !surfaces->testPatternEnabled()) {
        consentDecided(request.surfaceID, request.captureGeneration, false, request.windowID);
        return;
    }
    mainActor_.async([weakDelegate = media_.surfaces, weak = weak_from_this(), request, name = clientName(),
                      scope = promptScope_] {
        auto reply = [weak, request](bool approved) {
            if (const auto self = weak.lock())
                self->consentDecided(request.surfaceID, request.captureGeneration, approved, request.windowID);
        };
        // A media side gone before the prompt could be shown is a refusal,
        // not a question left open for ever.
        if (const auto media = weakDelegate.lock())
            media->requestCaptureConsent(name, request.windowID, reply, scope);
        else
            reply(false);
    });
}

// Nobody is asked about a session that is gone. A prompt answered meanwhile
// still approves nothing: the scope has ended.
void HostConnection::withdrawPrompts() {
    mainActor_.async([scope = promptScope_] { scope->withdrawAll(); });
}

void HostConnection::startMedia(std::uint32_t surfaceID) {
    const auto surface = session_.surfaces().find(surfaceID);
    if (surface == session_.surfaces().end() || !surface->second.isStreaming()) return;
    const std::uint32_t windowID = surface->second.phase.windowID().value_or(0);

    retireSender(surfaceID);
    Executor* queue = &peer_->queue();
    senders_[surfaceID] = MediaSender::make(
        surfaceID, SendAdmission(AdmissionLimits(admissionMaxFrames, admissionMaxAgeNs)),
        [queue] { return queue->nowNs(); },
        [weak = weak_from_this(), surfaceID](const EncodedFrame& frame) {
            const auto self = weak.lock();
            return self && self->admits(surfaceID, frame);
        });
    if (const auto surfaces = media_.surfaces.lock()) surfaces->beginMedia(surfaceID, windowID, shared_from_this());
}

// Every sender's figures reach the log once, when it goes: stopped,
// replaced, or (for those left) when the connection closes.
void HostConnection::retireSender(std::uint32_t surfaceID) {
    const auto found = senders_.find(surfaceID);
    if (found == senders_.end()) return;
    log_.info("surface closed: %{public}s", found->second->summary());
    senders_.erase(found);
}

void HostConnection::clipboardWrite(const action::ClipboardWriteRequested& request) {
    if (media_.clipboard.expired()) {
        perform(session_.clipboardWriteCompleted(request.requestID, ClipboardOutcome::denied));
        return;
    }
    mainActor_.async([weakDelegate = media_.clipboard, weak = weak_from_this(), requestID = request.requestID,
                      text = request.text, name = clientName(), scope = promptScope_] {
        auto reply = [weak, requestID](ClipboardOutcome outcome) {
            if (const auto self = weak.lock()) self->clipboardWriteCompleted(requestID, outcome);
        };
        if (const auto media = weakDelegate.lock())
            media->writeClipboard(name, text, reply, scope);
        else
            reply(ClipboardOutcome::denied);
    });
}

void HostConnection::clipboardRead(std::uint32_t requestID) {
    if (media_.clipboard.expired()) {
        perform(session_.clipboardReadCompleted(requestID, false, std::nullopt));
        return;
    }
    mainActor_.async([weakDelegate = media_.clipboard, weak = weak_from_this(), requestID, name = clientName(),
                      scope = promptScope_] {
        auto reply = [weak, requestID](bool approved, std::optional<std::string> text) {
            if (const auto self = weak.lock()) self->clipboardReadCompleted(requestID, approved, std::move(text));
        };
        if (const auto media = weakDelegate.lock())
            media->readClipboard(name, reply, scope);
        else
            reply(false, std::nullopt);
    });
}

void HostConnection::listWindows() {
    if (media_.surfaces.expired()) {
        peer_->sendControl(msg::CaptureList{});
        return;
    }
    mainActor_.async([weakDelegate = media_.surfaces, weak = weak_from_this()] {
        auto reply = [weak](std::vector<CaptureWindow> windows) {
            const auto self = weak.lock();
            if (!self) return;
            if (windows.size() > ControlMessage::maxCaptureWindows) windows.resize(ControlMessage::maxCaptureWindows);
            // Straight to the client: the session has no part in the list.
            self->peer_->sendControl(msg::CaptureList{std::move(windows)});
        };
        if (const auto media = weakDelegate.lock())
            media->captureList(reply);
        else
            reply({});
    });
}

void HostConnection::requestControl() {
    const auto control = media_.control.lock();
    if (!control) {
        perform(session_.resolveControlRequest(false, now()));
        return;
    }
    if (!control->permission()) {
        grantControl(false);
        return;
    }
    mainActor_.async([weakDelegate = media_.control, weak = weak_from_this(), name = clientName(),
                      scope = promptScope_] {
        auto reply = [weak](bool approved) {
            if (const auto self = weak.lock()) self->grantControl(approved);
        };
        const auto media = weakDelegate.lock();
        const auto self = weak.lock();
        if (media && self)
            media->requestControl(name, self, reply, scope);
        else
            reply(false);
    });
}

} // namespace quillmere

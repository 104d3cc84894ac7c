// HostConnection: the object, its events, the entries that drive the
// session from other components, and the close sequence.

#include "QuillmereMac/HostConnection/HostConnection.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::size_t probeLength = 14;
constexpr std::size_t probeReplyLength = 22;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

} // namespace

std::shared_ptr<HostConnection> HostConnection::make(std::shared_ptr<HostPeer> peer, HostSession session,
                                                     MediaRoles media, Executor& mainActor, OnStatus onStatus,
                                                     OnClosed onClosed) {
    return std::make_shared<HostConnection>(std::move(peer), std::move(session), std::move(media), mainActor,
                                            std::move(onStatus), std::move(onClosed));
}

HostConnection::HostConnection(std::shared_ptr<HostPeer> peer, HostSession session,
                               MediaRoles media, Executor& mainActor, OnStatus onStatus, OnClosed onClosed)
    : peer_(std::move(peer)), session_(std::move(session)), media_(std::move(media)),
      onStatus_(std::move(onStatus)), onClosed_(std::move(onClosed)), mainActor_(mainActor) {}

HostConnection::~HostConnection() {
    if (inputTimer_) inputTimer_->cancel();
    if (expiryTimer_) expiryTimer_->cancel();
}

void HostConnection::start(std::uint64_t helloLimitNs) {
    // Set before either timer runs: both step the session on the queue.
    session_.awaitHello(HelloDeadline(now(), helloLimitNs));
    armExpiry();
    // The timer is stored before the peer can deliver any event, so that a
    // close arriving at once finds it.
    auto timer = DispatchTimer::make(peer_->queue());
    timer->schedule(now() + inputTickNs, inputTickNs, 0);
    timer->setHandler([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->tick();
    });
    if (inputTimer_) inputTimer_->cancel();
    inputTimer_ = timer;
    timer->resume();

    // A datagram stuck behind a small congestion window ages like a frame in
    // admission: past the same age it is lost, and recovery takes over.
    peer_->limitDatagramAge(admissionMaxAgeNs);
    peer_->start([weak = weak_from_this()](const PeerEvent& event) {
        if (const auto self = weak.lock()) self->handle(event);
    });
}

void HostConnection::handle(const PeerEvent& event) {
    std::visit(Overloaded{
                   [this](const peer::Ready& ready) {
                       ready_ = true;
                       peerFingerprint_ = ready.fingerprint;
                   },
                   [this](const peer::Control& control) { handleControl(control.message); },
                   [this](const peer::DatagramFlowReady& ready) {
                       log_.info("datagram flow ready, usable %{public}ld bytes", ready.usableSize);
                   },
                   [this](const peer::Datagram& datagram) { answerClockProbe(datagram.bytes.view()); },
                   [this](const peer::Closed& closed) { closeSequence(closed.reason); },
               },
               event);
}

void HostConnection::handleControl(const ControlMessage& message) {
    if (const auto* hint = message.as<msg::FocusHint>()) {
        if (const auto control = media_.control.lock()) control->focusHint(*hint, shared_from_this());
    }
    perform(session_.handle(message, now()));
    // The kind of message decides, not whether the session took it.
    if (message.is<Capabilities>()) capabilitiesCopy_.set(session_.clientCapabilities());
    if (message.is<Hello>() && onStatus_) {
        const auto& hello = session_.clientHello();
        onStatus_(*this, hello ? std::optional<std::string>(hello->name) : std::nullopt);
    }
}

void HostConnection::answerClockProbe(ByteView probe) {
    if (probe.size() != probeLength || probe[0] != 0xFD || probe[1] != 0x01) return;
    const std::uint64_t receivedAt = now();
    Bytes reply;
    reply.reserve(probeReplyLength);
    reply.push_back(0xFD);
    reply.push_back(0x02);
    reply.insert(reply.end(), probe.begin() + 2, probe.end());
    for (int shift = 56; shift >= 0; shift -= 8) reply.push_back(static_cast<std::uint8_t>(receivedAt >> shift));
    peer_->sendDatagram(SharedBytes(std::move(reply)), nullptr);
}

void HostConnection::tick() {
    if (closed_) return;
    perform(session_.tick(now()));
}

void HostConnection::thermalChanged(ThermalLevel level) { perform(session_.thermalChanged(level, now())); }

void HostConnection::sayBye(ByeReason reason) { perform(session_.end(reason)); }

bool HostConnection::admits(std::uint32_t surfaceID, const EncodedFrame& frame) const {
    return session_.isStreaming(surfaceID, frame.configGeneration);
}

void HostConnection::armExpiry() {
    if (closed_) return;
    const std::optional<std::uint64_t> at = session_.expiry(now());
    // A deadline that went away leaves the timer to find nothing due.
    if (!at || at == armedExpiry_) return;
    if (!expiryTimer_) {
        expiryTimer_ = DispatchTimer::make(peer_->queue());
        expiryTimer_->setHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->expire();
        });
        expiryTimer_->resume();
    }
    armedExpiry_ = at;
    expiryTimer_->schedule(*at);
}

void HostConnection::expire() {
    armedExpiry_.reset();
    if (closed_) return;
    const bool greeted = session_.phase() != HostSession::Phase::awaitingHello;
    perform(session_.handleExpiry(now()));
    if (!greeted && session_.phase() == HostSession::Phase::closed)
        log_.notice("closing a client that sent no hello in time");
}

void HostConnection::hop(std::function<void(HostConnection&)> step) {
    peer_->queue().async([weak = weak_from_this(), step = std::move(step)] {
        if (const auto self = weak.lock()) step(*self);
    });
}

void HostConnection::consentDecided(std::uint32_t surfaceID, std::uint32_t captureGeneration, bool approved,
                                    std::uint32_t windowID) {
    hop([=](HostConnection& self) {
        const HostSessionActions actions = self.session_.resolveConsent(surfaceID, captureGeneration, approved);
        self.perform(actions);
        if (!approved || actions.empty()) return;
        if (const auto surfaces = self.media_.surfaces.lock())
            surfaces->startSurface(surfaceID, windowID, self.shared_from_this());
    });
}

void HostConnection::grantControl(bool approved) {
    hop([approved](HostConnection& self) { self.perform(self.session_.resolveControlRequest(approved, self.now())); });
}

void HostConnection::clipboardWriteCompleted(std::uint32_t requestID, ClipboardOutcome outcome) {
    hop([=](HostConnection& self) { self.perform(self.session_.clipboardWriteCompleted(requestID, outcome)); });
}

void HostConnection::clipboardReadCompleted(std::uint32_t requestID, bool approved, std::optional<std::string> text) {
    hop([=, text = std::move(text)](HostConnection& self) {
        self.perform(self.session_.clipboardReadCompleted(requestID, approved, text));
    });
}

void HostConnection::announceStreamConfig(StreamConfig config) {
    hop([config = std::move(config)](HostConnection& self) mutable {
        config.epoch = self.epochOf(config.surfaceID);
        self.perform(self.session_.proposeConfig(config));
    });
}

void HostConnection::noteContentChanged(std::uint32_t surfaceID) {
    hop([surfaceID](HostConnection& self) {
        self.session_.noteContentChange(surfaceID, self.now());
        self.perform(self.session_.rebalance(self.now()));
    });
}

void HostConnection::endSurface(std::uint32_t surfaceID) {
    hop([surfaceID](HostConnection& self) { self.perform(self.session_.surfaceEnded(surfaceID)); });
}

// On the connection's queue at once, so that requests right after a start
// reach the new pipeline.
void HostConnection::keepSurface(std::uint32_t surfaceID, std::weak_ptr<SurfaceHandle> handle) {
    auto keep = [surfaceID, handle = std::move(handle)](HostConnection& self) {
        self.surfaceHandles_[surfaceID] = handle;
        self.epochs_.erase(surfaceID);
    };
    if (peer_->queue().isCurrent())
        keep(*this);
    else
        hop(std::move(keep));
}

void HostConnection::closeSequence(const PeerCloseReason& reason) {
    if (closed_) return;
    closed_ = true;
    if (inputTimer_) {
        inputTimer_->cancel();
        inputTimer_.reset();
    }
    if (expiryTimer_) {
        expiryTimer_->cancel();
        expiryTimer_.reset();
    }
    if (pacer_) pacer_->close();
    promptScope_->end();
    withdrawPrompts();

    const auto surfaces = media_.surfaces.lock();
    const auto displays = media_.displays.lock();
    HostSessionActions kept;
    for (HostSessionAction& action : session_.end(ByeReason::normal)) {
        if (action.is<action::Inject>()) {
            kept.push_back(std::move(action));
        } else if (action.is<action::StopMedia>()) {
            // Only this connection's own surfaces: another client's surface
            // of the same number is not in reach.
            kept.push_back(std::move(action));
        }
    }
    perform(kept);

    const auto last = surfaces ? surfaces->lastConnection() : nullptr;
    // A connection that never got past its handshake never had media to hand over.
    if (ready_ && last && last.get() != static_cast<MediaConnection*>(this)) {
        log_.notice("late close of a replaced connection: the newer session keeps its media");
    } else if (displays) {
        if (textSizeChanged_) {
            mainActor_.async([weak = media_.displays] {
                if (const auto media = weak.lock()) media->setTextSize(0);
            });
        }
        if (screenShapeChanged_) displays->setScreenShape(ScreenShape::standard);
    }

    // Senders stopped above were summarised as they went.
    for (const auto& [surfaceID, sender] : senders_) log_.info("surface closed: %{public}s", sender->summary());
    if (const std::int64_t expired = peer_->datagramsExpired(); expired > 0)
        log_.info("datagrams dropped in the transport after waiting too long: %{public}ld", expired);
    if (!ready_ && refusals_) refusals_->refused(reason.description());
    else log_.info("connection closed: %{public}s", reason.description());
    if (onClosed_) onClosed_(*this);
}

} // namespace quillmere

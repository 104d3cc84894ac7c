#include "QuillmereTransport/PeerConnection.h"

#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereTransport/Identity/Fingerprint.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

// The CONNECTION_CLOSE code for a connection this side ends because
// something went wrong; an orderly end sends 0.
constexpr std::uint64_t failureCode = 1;
constexpr std::size_t maxCloseReasonBytes = 100;
// Streams beyond the control stream are refused with this code.
constexpr std::uint64_t refusedStreamCode = 1;

std::uint64_t nanoseconds(double seconds) {
    if (!(seconds > 0)) return 0;
    return static_cast<std::uint64_t>(std::llround(seconds * 1e9));
}

} // namespace

std::expected<std::shared_ptr<PeerConnection>, QuicError> PeerConnection::make(const SocketAddress& endpoint,
                                                                              QuicConfiguration parameters,
                                                                              std::string alpn) {
    auto queue = std::make_shared<SerialQueue>(std::string(clientQueueLabel));
    auto quic = QuicConnection::connect(endpoint, std::move(parameters), queue);
    if (!quic) return std::unexpected(quic.error());
    return std::shared_ptr<PeerConnection>(new PeerConnection(Role::client, queue, *quic, std::move(alpn)));
}

std::shared_ptr<PeerConnection> PeerConnection::adopt(std::shared_ptr<QuicConnection> accepted, std::string alpn) {
    auto queue = accepted->sharedExecutor();
    return std::shared_ptr<PeerConnection>(
        new PeerConnection(Role::server, std::move(queue), std::move(accepted), std::move(alpn)));
}

PeerConnection::PeerConnection(Role role, std::shared_ptr<Executor> queue, std::shared_ptr<QuicConnection> quic,
                               std::string alpn)
    : role_(role), queue_(std::move(queue)), quic_(std::move(quic)), alpn_(std::move(alpn)) {}

PeerConnection::~PeerConnection() = default;

void PeerConnection::start(EventHandler onEvent) {
    queue_->async([self = shared_from_this(), onEvent = std::move(onEvent)]() mutable {
        self->startOnQueue(std::move(onEvent));
    });
}

void PeerConnection::sendControl(ControlMessage message) {
    queue_->async([self = shared_from_this(), message = std::move(message)] { self->sendControlOnQueue(message); });
}

void PeerConnection::close(double grace) {
    queue_->async([self = shared_from_this(), grace] { self->closeOnQueue(grace); });
}

void PeerConnection::cancel() {
    queue_->async([self = shared_from_this()] { self->finish(PeerCloseReason::local()); });
}

bool PeerConnection::isClosed() const {
    bool closed = false;
    queue_->sync([&] { closed = closed_; });
    return closed;
}

void PeerConnection::startOnQueue(EventHandler onEvent) {
    if (closed_) return;
    onEvent_ = std::make_shared<const EventHandler>(std::move(onEvent));
    std::weak_ptr<PeerConnection> weak = weak_from_this();
    queue_->asyncAfter(nanoseconds(handshakeTimeout_), [weak] {
        auto self = weak.lock();
        if (self && !self->announcedReady_) self->finish(PeerCloseReason::handshakeTimeout());
    });
    quic_->start(quicHandlers());
}

QuicConnection::Handlers PeerConnection::quicHandlers() {
    std::weak_ptr<PeerConnection> weak = weak_from_this();
    QuicConnection::Handlers handlers;
    handlers.stateChanged = [weak](QuicConnection::State state, const std::optional<QuicError>& error) {
        if (auto self = weak.lock()) self->stateChanged(state, error);
    };
    handlers.streamReady = [weak](StreamID stream) {
        auto self = weak.lock();
        if (self && self->control_ == stream) self->controlReady();
    };
    handlers.peerStreamOpened = [weak](StreamID stream) {
        if (auto self = weak.lock()) self->peerStreamOpened(stream);
    };
    handlers.streamData = [weak](StreamID stream, ByteView bytes, bool complete) {
        auto self = weak.lock();
        if (self && self->control_ == stream) self->controlReceived(bytes, complete);
    };
    handlers.streamFailed = [weak](StreamID stream, const QuicError& error) {
        // Only the control stream matters; a refused extra stream may fail as it likes.
        auto self = weak.lock();
        if (self && self->control_ == stream) self->finish(PeerCloseReason::failed(error.description));
    };
    handlers.datagramFlowReady = [weak](std::size_t) {
        if (auto self = weak.lock()) self->datagramFlowReady();
    };
    handlers.datagramReceived = [weak](SharedBytes bytes) {
        if (auto self = weak.lock()) self->datagramReceived(std::move(bytes));
    };
    return handlers;
}

void PeerConnection::stateChanged(QuicConnection::State state, const std::optional<QuicError>& error) {
    switch (state) {
    case QuicConnection::State::waiting:
        // Only a TLS refusal ends a waiting connection; anything else (no
        // route, a port not open yet) waits for the handshake timeout.
        if (error && error->isTLS()) finish(PeerCloseReason::failed(error->description));
        break;
    case QuicConnection::State::failed:
        finish(PeerCloseReason::failed(error ? error->description : "connection failed"));
        break;
    case QuicConnection::State::ready:
        if (role_ == Role::client && !flowsOpened_) openFlows();
        break;
    case QuicConnection::State::cancelled:
        finish(PeerCloseReason::remote());
        break;
    default:
        break;
    }
}

void PeerConnection::openFlows() {
    flowsOpened_ = true;
    if (closed_ || quic_->isClosed()) {
        finish(PeerCloseReason::failed("could not open flows"));
        return;
    }
    // The control stream first, then the datagram flow; each reports ready
    // by itself, in whichever order the peer makes possible.
    control_ = quic_->openStream();
    quic_->openDatagramFlow();
}

void PeerConnection::controlReady() {
    peerFingerprint_ = readPeerFingerprint();
    announceReady();
}

void PeerConnection::peerStreamOpened(StreamID stream) {
    if (closed_ || control_) {
        quic_->cancelStream(stream, refusedStreamCode);
        return;
    }
    control_ = stream;
    peerFingerprint_ = readPeerFingerprint();
    announceReady();
    // The client's probe normally opens the flow; it is a datagram and may be
    // lost, and then the session would never get media. A client whose
    // transport parameters take datagrams has the flow anyway.
    if (!closed_ && quic_->usableDatagramSize() > 0) datagramFlowReady();
}

void PeerConnection::controlReceived(ByteView bytes, bool complete) {
    if (closed_) return;
    for (std::size_t offset = 0; offset < bytes.size(); offset += maxControlRead) {
        const ByteView read = bytes.subspan(offset, std::min(maxControlRead, bytes.size() - offset));
        auto messages = decoder_.push(read);
        if (!messages) {
            // Nothing of a read that fails is delivered, frames before the bad one included.
            finish(PeerCloseReason::protocolError(messages.error()));
            return;
        }
        for (auto& message : *messages) {
            if (closed_) return;
            deliver(peer::Control{std::move(message)});
        }
    }
    if (complete && !closed_) finish(PeerCloseReason::remote());
}

void PeerConnection::datagramFlowReady() {
    if (datagramFlow_) return;
    datagramFlow_ = true;
    if (role_ == Role::client) {
        // The server learns of the flow from this first datagram.
        quic_->sendDatagram(Bytes(datagramProbe.begin(), datagramProbe.end()));
    }
    if (!closed_) deliver(peer::DatagramFlowReady{usableDatagramSize()});
}

void PeerConnection::datagramReceived(SharedBytes bytes) {
    if (closed_ || !datagramFlow_) return;
    if (std::ranges::equal(bytes.view(), datagramProbe)) return;
    datagramsReceived_.fetch_add(1, std::memory_order_relaxed);
    deliver(peer::Datagram{std::move(bytes)});
}

void PeerConnection::sendControlOnQueue(const ControlMessage& message) {
    if (closed_ || !control_) return;
    auto frame = message.encodeFrame();
    if (!frame) {
        finish(PeerCloseReason::protocolError(frame.error()));
        return;
    }
    controlBytesSent_.fetch_add(static_cast<std::int64_t>(frame->size()), std::memory_order_relaxed);
    // A failed send shows up as the control stream failing.
    quic_->send(*control_, std::move(*frame), false);
    if (quic_->queuedBytes(*control_) > maxQueuedControlBytes) finish(PeerCloseReason::stoppedReading());
}

void PeerConnection::sendDatagram(Bytes datagram, DatagramCompletion completion) {
    if (closed_ || !datagramFlow_) {
        if (completion) completion(false);
        return;
    }
    datagramsSent_.fetch_add(1, std::memory_order_relaxed);
    quic_->sendDatagram(std::move(datagram), std::move(completion));
}

void PeerConnection::sendDatagram(SharedBytes datagram, DatagramCompletion completion) {
    if (closed_ || !datagramFlow_) {
        if (completion) completion(false);
        return;
    }
    datagramsSent_.fetch_add(1, std::memory_order_relaxed);
    quic_->sendDatagram(std::move(datagram), std::move(completion));
}

void PeerConnection::sendDatagrams(std::vector<Bytes> datagrams, DatagramCompletion completion) {
    if (closed_ || !datagramFlow_ || datagrams.empty()) {
        if (completion) completion(datagrams.empty());
        return;
    }
    datagramsSent_.fetch_add(static_cast<std::int64_t>(datagrams.size()), std::memory_order_relaxed);
    quic_->sendDatagrams(std::move(datagrams), std::move(completion));
}

void PeerConnection::setDatagramMaxAge(std::uint64_t maxAgeNs) {
    queue_->async([quic = quic_, maxAgeNs] { quic->setDatagramMaxAge(maxAgeNs); });
}

std::int64_t PeerConnection::datagramsExpired() const { return static_cast<std::int64_t>(quic_->datagramsExpired()); }

std::int64_t PeerConnection::usableDatagramSize() const {
    if (!datagramFlow_) return 0;
    return static_cast<std::int64_t>(quic_->usableDatagramSize());
}

void PeerConnection::closeOnQueue(double grace) {
    if (closed_ || !control_) {
        finish(PeerCloseReason::local());
        return;
    }
    std::weak_ptr<PeerConnection> weak = weak_from_this();
    // The end of the control stream, then a moment for it to arrive.
    quic_->send(*control_, {}, true, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->asyncAfter(nanoseconds(finalMessageDelay), [weak] {
            if (auto later = weak.lock()) later->finish(PeerCloseReason::local());
        });
    });
    queue_->asyncAfter(nanoseconds(grace), [weak] {
        if (auto self = weak.lock()) self->finish(PeerCloseReason::local());
    });
}

std::optional<Digest32> PeerConnection::readPeerFingerprint() const {
    for (const Bytes& certificate : quic_->peerCertificates()) {
        if (auto fingerprint = Fingerprint::of(viewOf(certificate))) return fingerprint;
    }
    return std::nullopt;
}

void PeerConnection::announceReady() {
    if (announcedReady_) return;
    announcedReady_ = true;
    if (!closed_) deliver(peer::Ready{peerFingerprint_});
}

void PeerConnection::deliver(const PeerEvent& event) {
    // Held for the call: the handler may end the connection and drop its own slot.
    const auto handler = onEvent_;
    if (handler && *handler) (*handler)(event);
}

void PeerConnection::finish(PeerCloseReason reason) {
    if (closed_) return;
    const auto handler = std::move(onEvent_);
    onEvent_.reset();
    closed_ = true;
    const bool orderly = reason.kind() == PeerCloseReason::Kind::local ||
                         reason.kind() == PeerCloseReason::Kind::remote;
    const std::string text = orderly ? std::string() : truncatedUTF8(reason.description(), maxCloseReasonBytes);
    quic_->close(orderly ? 0 : failureCode, text);
    if (handler && *handler) (*handler)(peer::Closed{std::move(reason)});
}

} // namespace quillmere

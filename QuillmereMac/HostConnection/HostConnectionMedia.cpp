// HostConnection's media sending path: video stamped with its epoch, then
// through admission, fragmenting and the pacer; keyframe requests after
// refusals and stalls; audio straight to the datagram flow; the figures the
// diagnostics log reads.

#include "QuillmereMac/HostConnection/HostConnection.h"

#include "QuillmereMac/Sending/AudioDatagram.h"

namespace quillmere {

DatagramPacer& HostConnection::pacer() {
    if (!pacer_) {
        Executor* queue = &peer_->queue();
        pacer_ = DatagramPacer::make(
            *queue, [queue] { return queue->nowNs(); },
            [weakPeer = std::weak_ptr<HostPeer>(peer_)](SharedBytes bytes, DatagramPacer::Completion completion) {
                if (const auto peer = weakPeer.lock())
                    peer->sendDatagram(std::move(bytes), std::move(completion));
                else if (completion)
                    completion(false);
            });
        pacer_->onStaleDropped = [weak = weak_from_this()](std::int64_t count) {
            if (const auto self = weak.lock()) self->stallEnded(count);
        };
    }
    return *pacer_;
}

std::int64_t HostConnection::maxDatagramSize() const {
    const auto& capabilities = session_.clientCapabilities();
    return capabilities ? capabilities->maxDatagram : MediaSender::defaultMaxDatagramSize;
}

void HostConnection::sendFrame(EncodedFrame frame) {
    hop([frame = std::move(frame)](HostConnection& self) mutable { self.frameStep(std::move(frame)); });
}

void HostConnection::frameStep(EncodedFrame frame) {
    stampEpoch(frame);
    const auto found = senders_.find(frame.surfaceID);
    if (found == senders_.end()) return;
    const std::shared_ptr<MediaSender> sender = found->second;
    const std::uint32_t surfaceID = frame.surfaceID;

    const SendAdmission::Decision decision = sender->offer(std::move(frame));
    const bool recovering =
        decision == SendAdmission::Decision::refusedAwaitingKeyframe || sender->admission().recoveryRequired();
    if (recovering) session_.requestKeyframe(surfaceID);
    requestKeyframeIfDue(surfaceID);

    DatagramPacer& way = pacer();
    const std::int64_t unsendable =
        sender->send(*peer_, maxDatagramSize(), [&way](SharedBytes bytes, DatagramPeer::Completion completion) {
            way.send(std::move(bytes), std::move(completion));
        });
    // A frame that could not be cut, or that the session refused, is lost to
    // the client, and the frames after it depend on it: once datagrams fit
    // again (the flow ready, a larger size) a keyframe must follow.
    if (unsendable > 0 || (!recovering && sender->admission().recoveryRequired())) {
        session_.requestKeyframe(surfaceID);
        requestKeyframeIfDue(surfaceID);
    }
    armExpiry();
}

// Stamped as the frame goes out, so that frames flow one way: a keyframe
// (even one no sender takes) is recorded with the session, which issues its
// epoch and spaces the next keyframes from it.
void HostConnection::stampEpoch(EncodedFrame& frame) {
    if (frame.isKeyframe()) {
        if (const auto issued = session_.keyframeIssued(frame.surfaceID, now())) epochs_[frame.surfaceID] = *issued;
    }
    frame.epoch = epochOf(frame.surfaceID);
}

std::uint32_t HostConnection::epochOf(std::uint32_t surfaceID) const {
    const auto found = epochs_.find(surfaceID);
    return found == epochs_.end() ? 1 : found->second;
}

// The recovery policy decides: a wanted keyframe reaches the pipeline only
// once it is due.
void HostConnection::requestKeyframeIfDue(std::uint32_t surfaceID) {
    if (!session_.keyframeDue(surfaceID, now())) return;
    if (const auto found = surfaceHandles_.find(surfaceID); found != surfaceHandles_.end())
        if (const auto handle = found->second.lock()) handle->requestKeyframe();
}

void HostConnection::stallEnded(std::int64_t droppedDatagrams) {
    log_.notice("wifi stall ended: dropped %{public}ld stale datagrams, keyframes for %{public}ld surfaces",
                droppedDatagrams, static_cast<std::int64_t>(senders_.size()));
    for (const auto& [surfaceID, sender] : senders_) {
        session_.requestKeyframe(surfaceID);
        requestKeyframeIfDue(surfaceID);
    }
    armExpiry();
}

void HostConnection::sendAudioConfig(const msg::AudioConfig& config) { peer_->sendControl(config); }

// The peer drops what comes after its close; until then the stream takes it.
bool HostConnection::sendControl(const ControlMessage& message) {
    peer_->sendControl(message);
    return true;
}

void HostConnection::sendAudio(SharedBytes packet, std::uint32_t surfaceID, std::uint32_t sequence,
                               std::uint32_t generation, std::uint64_t hostTimeNs) {
    auto datagram = AudioDatagram::build(packet, surfaceID, sequence, generation, hostTimeNs, now());
    if (!datagram) return;
    // Built here, sent from the connection's queue, where the peer's state
    // lives; a hop, not the pacer: audio never waits behind queued video.
    hop([datagram = std::move(*datagram)](HostConnection& self) mutable {
        if (self.closed_) return;
        self.peer_->sendDatagram(std::move(datagram), nullptr);
    });
}

std::optional<TransportMetrics> HostConnection::transportMetrics(std::uint32_t surfaceID) {
    std::optional<TransportMetrics> metrics;
    peer_->queue().sync([&] {
        if (const auto sender = senders_.find(surfaceID); sender != senders_.end()) metrics = sender->second->metrics();
    });
    return metrics;
}

DatagramPacer::Metrics HostConnection::pacerMetrics() {
    DatagramPacer::Metrics metrics;
    peer_->queue().sync([&] {
        DatagramPacer& p = pacer();
        metrics = p.metrics();
        p.resetStackMax();
    });
    return metrics;
}

} // namespace quillmere

#include "QuillmereMac/Sending/MediaSender.h"

#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/MediaHeader.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

namespace quillmere {

namespace {

std::int64_t asCount(std::uint64_t ns) {
    return ns > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(ns);
}

std::int64_t addSaturating(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::int64_t>::max() : sum;
}

} // namespace

std::shared_ptr<MediaSender> MediaSender::make(std::uint32_t surfaceID, SendAdmission admission, ClockFunction clock,
                                               Admits admits) {
    return std::make_shared<MediaSender>(surfaceID, std::move(admission), std::move(clock), std::move(admits));
}

MediaSender::MediaSender(std::uint32_t surfaceID, SendAdmission admission, ClockFunction clock, Admits admits)
    : surfaceID_(surfaceID), admission_(std::move(admission)), clock_(std::move(clock)), admits_(std::move(admits)) {}

std::uint32_t MediaSender::sendOffsetUs(std::uint64_t ageNs) {
    const std::uint64_t us = ageNs / 1000;
    return us > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                          : static_cast<std::uint32_t>(us);
}

SendAdmission::Decision MediaSender::offer(EncodedFrame frame) {
    const SendAdmission::Decision decision = admission_.admit(std::move(frame), clock_());
    if (decision == SendAdmission::Decision::admitted)
        metrics_.framesAdmitted += 1;
    else
        metrics_.framesDropped += 1;
    return decision;
}

std::int64_t MediaSender::send(DatagramPeer& peer, std::int64_t maxDatagramSize, const Via& via) {
    std::int64_t unsendable = 0;
    for (;;) {
        std::optional<EncodedFrame> next = admission_.next(clock_());
        if (!next) return unsendable;
        const EncodedFrame& frame = *next;
        if (!admits_ || !admits_(frame)) {
            // Refused, it never reaches the client (a keyframe made before the
            // client acknowledged its configuration): what follows it cannot
            // be decoded without another.
            admission_.lost(frame);
            metrics_.framesDropped += 1;
            continue;
        }

        const std::int64_t usable = std::min(maxDatagramSize, peer.usableDatagramSize());
        metrics_.lastUsableDatagramSize = usable;
        metrics_.minUsableDatagramSize = std::min(metrics_.minUsableDatagramSize, usable);

        const std::uint64_t now = clock_();
        const std::uint64_t age = now > frame.captureTimeNs ? now - frame.captureTimeNs : 0;
        auto datagrams = MediaFragmenter::fragment(frame, usable, sendOffsetUs(age));
        if (!datagrams) {
            metrics_.framesDropped += 1;
            unsendable += 1;
            // A datagram size below what a fragment needs refuses every frame
            // until it grows: said once, when the refusals begin.
            noteRefusal(usable < MediaHeader::minUsableDatagramSize
                            ? fmt::format("usable datagram size {} is below the {} bytes a fragment needs", usable,
                                          MediaHeader::minUsableDatagramSize)
                            : datagrams.error().description());
            continue;
        }
        refusing_.clear();

        Executor* queue = &peer.queue();
        for (SharedBytes& datagram : *datagrams) {
            metrics_.datagramsSent += 1;
            DatagramPeer::Completion completion = [weak = weak_from_this(), queue](bool sent) {
                if (sent) return;
                if (!weak.lock()) return;
                queue->async([weak] {
                    if (const auto self = weak.lock()) self->metrics_.datagramsRejectedByStack += 1;
                });
            };
            if (via)
                via(std::move(datagram), std::move(completion));
            else
                peer.sendDatagram(std::move(datagram), std::move(completion));
        }

        metrics_.framesSent += 1;
        metrics_.bytesSent += static_cast<std::int64_t>(frame.data.size());
        metrics_.maxSendAgeNs = std::max(metrics_.maxSendAgeNs, asCount(age));
        metrics_.totalSendAgeNs = addSaturating(metrics_.totalSendAgeNs, asCount(age));
    }
}

void MediaSender::noteRefusal(const std::string& reason) {
    if (reason == refusing_) return;
    refusing_ = reason;
    log_.error("frames refused surface=%{public}u: %{public}s", surfaceID_, reason);
}

std::string MediaSender::summary() const {
    const std::int64_t mean = metrics_.framesSent > 0 ? metrics_.totalSendAgeNs / metrics_.framesSent / 1000 : 0;
    const std::int64_t min = metrics_.minUsableDatagramSize == std::numeric_limits<std::int64_t>::max()
                                 ? 0
                                 : metrics_.minUsableDatagramSize;
    return fmt::format("frames sent={} dropped={} datagrams={} rejected={} sendAge mean={}\u00b5s max={}\u00b5s "
                       "usableDatagram last={} min={}",
                       metrics_.framesSent, metrics_.framesDropped, metrics_.datagramsSent,
                       metrics_.datagramsRejectedByStack, mean, metrics_.maxSendAgeNs / 1000,
                       metrics_.lastUsableDatagramSize, min);
}

} // namespace quillmere

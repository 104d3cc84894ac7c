#include "QuillmereWire/FrameAssembler.h"

#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/SequenceNumber.h"

#include <algorithm>

namespace quillmere {

AssemblyLimits::AssemblyLimits(std::int64_t maxFramesInFlight, std::int64_t maxBytes, std::uint64_t maxAgeNs)
    : maxFramesInFlight(std::max<std::int64_t>(maxFramesInFlight, 1)),
      maxBytes(std::max<std::int64_t>(maxBytes, 1)),
      maxAgeNs(maxAgeNs) {}

FrameAssembler::FrameAssembler(std::uint32_t surfaceID, AssemblyLimits limits)
    : surfaceID_(surfaceID), limits_(limits.maxFramesInFlight, limits.maxBytes, limits.maxAgeNs) {}

void FrameAssembler::reject(RejectReason reason, Events& events) {
    ++counters_.rejected;
    events.push_back(AssemblyEvent::rejected(std::move(reason)));
}

// The fragments of one frame mostly arrive one after another.
FrameAssembler::Partials::iterator FrameAssembler::locate(std::uint32_t frameID) {
    if (recent_.valid && recent_.at->first == frameID) return recent_.at;
    auto found = partials_.find(frameID);
    if (found != partials_.end()) {
        recent_.at = found;
        recent_.valid = true;
    }
    return found;
}

void FrameAssembler::forget(Partials::iterator frame) {
    const std::uint32_t frameID = frame->first;
    if (recent_.valid && recent_.at == frame) recent_.valid = false;
    bytesHeld_ -= frame->second.bytes;
    partials_.erase(frame);
    std::erase_if(order_, [&](const Started& started) { return started.frameID == frameID; });
}

void FrameAssembler::drop(std::uint32_t frameID, FrameLossReason reason, Events& events) {
    auto found = locate(frameID);
    if (found == partials_.end()) return;
    const MediaHeader& header = found->second.header;
    const bool reference = !header.flags.contains(MediaHeader::Flags::discardable);
    events.push_back(AssemblyEvent::lost(frameID, header.epoch, reference, reason));
    ++counters_.lost;
    forget(found);
}

// Walks the frames oldest first, so their losses are reported in that order.
template <class Predicate>
void FrameAssembler::dropWhere(Predicate predicate, FrameLossReason reason, Events& events) {
    std::vector<std::uint32_t> doomed;
    for (const Started& started : order_)
        if (predicate(started)) doomed.push_back(started.frameID);
    for (std::uint32_t frameID : doomed) drop(frameID, reason, events);
}

std::vector<AssemblyEvent> FrameAssembler::expire(std::uint64_t nowNs) {
    Events events;
    dropWhere([&](const Started& started) {
        return started.firstSeenNs <= nowNs && nowNs - started.firstSeenNs > limits_.maxAgeNs;
    }, FrameLossReason::expired, events);
    return events;
}

std::vector<AssemblyEvent> FrameAssembler::acceptConfigGeneration(std::uint32_t generation) {
    acceptedConfigGeneration_ = generation;
    return dropPartials(FrameLossReason::superseded, generation);
}

std::vector<AssemblyEvent> FrameAssembler::dropPartials(FrameLossReason reason, std::uint32_t generation) {
    Events events;
    dropWhere([&](const Started& started) {
        return partials_.at(started.frameID).header.configGeneration != generation;
    }, reason, events);
    return events;
}

std::vector<AssemblyEvent> FrameAssembler::dropAll(FrameLossReason reason) {
    Events events;
    dropWhere([](const Started&) { return true; }, reason, events);
    return events;
}

void FrameAssembler::reset() {
    partials_.clear();
    recent_.valid = false;
    order_.clear();
    bytesHeld_ = 0;
    epoch_.reset();
    lastDeliveredFrameID_.reset();
    lastDeliveredEpoch_.reset();
}

std::vector<AssemblyEvent> FrameAssembler::ingest(SharedBytes datagram, std::uint64_t nowNs) {
    ++counters_.datagrams;
    Events events = expire(nowNs);

    auto decoded = MediaDatagram::decode(datagram.view());
    if (!decoded) {
        reject(RejectReason::malformed(decoded.error()), events);
        return events;
    }
    const MediaHeader& header = decoded->header;
    if (header.kind != MediaHeader::Kind::video) {
        reject(RejectReason::malformed(WireError::unknownValue("media.kind", MediaHeader::rawKind(header.kind))),
               events);
        return events;
    }
    if (header.surfaceID != surfaceID_) {
        reject(RejectReason::wrongSurface(), events);
        return events;
    }
    if (!acceptedConfigGeneration_ || header.configGeneration != *acceptedConfigGeneration_) {
        reject(RejectReason::unacceptedConfig(), events);
        return events;
    }
    if (!epoch_) {
        epoch_ = header.epoch;
    } else if (isNewer(*epoch_, header.epoch)) {
        reject(RejectReason::staleEpoch(), events);
        return events;
    } else if (isNewer(header.epoch, *epoch_)) {
        Events superseded = dropAll(FrameLossReason::superseded);
        events.insert(events.end(), std::make_move_iterator(superseded.begin()),
                      std::make_move_iterator(superseded.end()));
        epoch_ = header.epoch;
    }
    if (lastDeliveredFrameID_ && !isNewer(header.frameID, *lastDeliveredFrameID_)) {
        reject(RejectReason::alreadyDelivered(), events);
        return events;
    }
    if (static_cast<std::int64_t>(header.totalLength) > limits_.maxBytes) {
        reject(RejectReason::tooLarge(), events);
        return events;
    }

    const std::uint32_t frameID = header.frameID;
    SharedBytes payload = std::move(datagram).suffix(MediaHeader::headerSize);
    const auto length = static_cast<std::int64_t>(payload.size());

    auto found = locate(frameID);
    if (found != partials_.end()) {
        Partial& partial = found->second;
        const MediaHeader& first = partial.header;
        if (first.fragmentCount != header.fragmentCount || first.totalLength != header.totalLength ||
            first.flags != header.flags || first.epoch != header.epoch) {
            drop(frameID, FrameLossReason::conflict, events);
            return events;
        }
        SharedBytes& slot = partial.fragments[header.fragmentIndex];
        if (!slot.empty()) {
            if (slot == payload) {
                ++counters_.duplicates;
            } else {
                drop(frameID, FrameLossReason::conflict, events);
            }
            return events;
        }
        slot = std::move(payload);
        ++partial.received;
        partial.bytes += length;
    } else {
        if (static_cast<std::int64_t>(partials_.size()) >= limits_.maxFramesInFlight && !order_.empty())
            drop(order_.front().frameID, FrameLossReason::evicted, events);
        Partial partial;
        partial.header = header;
        partial.fragments.resize(header.fragmentCount);
        partial.fragments[header.fragmentIndex] = std::move(payload);
        partial.received = 1;
        partial.bytes = length;
        partial.firstSeenNs = nowNs;
        found = partials_.emplace(frameID, std::move(partial)).first;
        recent_.at = found;
        recent_.valid = true;
        order_.push_back(Started{frameID, nowNs});
    }
    bytesHeld_ += length;

    Partial& partial = found->second;
    if (partial.bytes > static_cast<std::int64_t>(partial.header.totalLength)) {
        drop(frameID, FrameLossReason::conflict, events);
        return events;
    }

    while (bytesHeld_ > limits_.maxBytes) {
        auto victim = std::ranges::find_if(order_, [&](const Started& started) { return started.frameID != frameID; });
        if (victim == order_.end()) break;
        drop(victim->frameID, FrameLossReason::evicted, events);
    }

    if (partial.received == partial.header.fragmentCount) complete(found, nowNs, events);
    return events;
}

void FrameAssembler::complete(Partials::iterator completing, std::uint64_t nowNs, Events& events) {
    const std::uint32_t frameID = completing->first;
    Partial& partial = completing->second;
    const MediaHeader header = partial.header;

    Bytes data;
    data.reserve(header.totalLength);
    const std::size_t chunk = header.fragmentCount >= 2 ? partial.fragments.front().size() : 0;
    for (std::size_t index = 0; index < partial.fragments.size(); ++index) {
        const SharedBytes& fragment = partial.fragments[index];
        const bool last = index + 1 == partial.fragments.size();
        if (fragment.empty() || (!last && fragment.size() != chunk) ||
            data.size() + fragment.size() > header.totalLength) {
            drop(frameID, FrameLossReason::conflict, events);
            return;
        }
        data.insert(data.end(), fragment.data(), fragment.data() + fragment.size());
    }
    if (data.size() != header.totalLength) {
        drop(frameID, FrameLossReason::conflict, events);
        return;
    }
    const std::uint64_t firstSeenNs = partial.firstSeenNs;
    forget(completing);

    dropWhere([&](const Started& other) { return isNewer(frameID, other.frameID); }, FrameLossReason::late, events);

    if (lastDeliveredFrameID_ && frameID != *lastDeliveredFrameID_ + 1 && lastDeliveredEpoch_ == header.epoch) {
        ++counters_.lost;
        events.push_back(AssemblyEvent::lost(*lastDeliveredFrameID_ + 1, header.epoch, true, FrameLossReason::gap));
    }
    lastDeliveredFrameID_ = frameID;
    lastDeliveredEpoch_ = header.epoch;
    ++counters_.completed;

    AssembledFrame frame;
    frame.surfaceID = header.surfaceID;
    frame.epoch = header.epoch;
    frame.frameID = frameID;
    frame.configGeneration = header.configGeneration;
    frame.flags = header.flags;
    frame.captureTimeNs = header.captureTimeNs;
    frame.firstFragmentAtNs = firstSeenNs;
    frame.completedAtNs = nowNs;
    frame.data = std::move(data);
    frame.sendOffsetUs = header.sendOffsetUs;
    events.push_back(AssemblyEvent::complete(std::move(frame)));
}

} // namespace quillmere

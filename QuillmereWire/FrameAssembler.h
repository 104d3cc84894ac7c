#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/MediaHeader.h"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace quillmere {

struct AssemblyLimits {
    std::int64_t maxFramesInFlight = 1;
    // Compared with the 32-bit totalLength of headers.
    std::int64_t maxBytes = 1;
    std::uint64_t maxAgeNs = 0;

    AssemblyLimits() = default;
    // maxFramesInFlight and maxBytes below 1 are raised to 1.
    AssemblyLimits(std::int64_t maxFramesInFlight, std::int64_t maxBytes, std::uint64_t maxAgeNs);

    bool operator==(const AssemblyLimits&) const = default;
};

struct AssemblyCounters {
    std::int64_t datagrams = 0;
    std::int64_t duplicates = 0;
    std::int64_t completed = 0;
    std::int64_t lost = 0;
    std::int64_t rejected = 0;

    bool operator==(const AssemblyCounters&) const = default;
};

// Puts one surface's video frames back together from fragments that arrive
// in any order, duplicated or not at all. Each fragment it holds shares the
// buffer of the datagram it came in, so nothing it keeps depends on the
// caller's memory; a completed frame is copied once into its own buffer.
class FrameAssembler {
public:
    FrameAssembler(std::uint32_t surfaceID, AssemblyLimits limits);

    std::vector<AssemblyEvent> ingest(SharedBytes datagram, std::uint64_t nowNs);
    // Loses every partial frame that waited longer than maxAgeNs.
    std::vector<AssemblyEvent> expire(std::uint64_t nowNs);
    // From now on only this generation is accepted; partial frames of others are superseded.
    std::vector<AssemblyEvent> acceptConfigGeneration(std::uint32_t generation);
    std::vector<AssemblyEvent> dropPartials(FrameLossReason reason, std::uint32_t generation);
    std::vector<AssemblyEvent> dropAll(FrameLossReason reason);
    // Forgets partial frames, the epoch and the delivery history without
    // events; limits, the accepted generation and the counters stay.
    void reset();

    std::uint32_t surfaceID() const { return surfaceID_; }
    const AssemblyLimits& limits() const { return limits_; }
    std::optional<std::uint32_t> epoch() const { return epoch_; }
    std::optional<std::uint32_t> acceptedConfigGeneration() const { return acceptedConfigGeneration_; }
    const AssemblyCounters& counters() const { return counters_; }
    std::optional<std::uint32_t> lastDeliveredFrameID() const { return lastDeliveredFrameID_; }
    std::size_t partialFrameCount() const { return partials_.size(); }
    std::int64_t bytesHeld() const { return bytesHeld_; }

private:
    struct Partial {
        MediaHeader header;
        // By fragment index; payloads are never empty, so an empty entry is a missing fragment.
        std::vector<SharedBytes> fragments;
        std::size_t received = 0;
        std::int64_t bytes = 0;
        std::uint64_t firstSeenNs = 0;
    };

    struct Started {
        std::uint32_t frameID = 0;
        std::uint64_t firstSeenNs = 0;
    };
    using Events = std::vector<AssemblyEvent>;
    using Partials = std::unordered_map<std::uint32_t, Partial>;

    Partials::iterator locate(std::uint32_t frameID);
    void reject(RejectReason reason, Events& events);
    void drop(std::uint32_t frameID, FrameLossReason reason, Events& events);
    template <class Predicate>
    void dropWhere(Predicate predicate, FrameLossReason reason, Events& events);
    void complete(Partials::iterator completing, std::uint64_t nowNs, Events& events);
    void forget(Partials::iterator frame);

    std::uint32_t surfaceID_;
    AssemblyLimits limits_;
    std::optional<std::uint32_t> epoch_;
    std::optional<std::uint32_t> acceptedConfigGeneration_;
    AssemblyCounters counters_;
    // The partial frame touched last, looked at before the map. It points
    // into this assembler's own map, so a copied or moved assembler starts
    // without it.
    struct Recent {
        Partials::iterator at;
        bool valid = false;
        Recent() = default;
        Recent(const Recent&) {}
        Recent& operator=(const Recent&) {
            valid = false;
            return *this;
        }
    };

    Partials partials_;
    Recent recent_;
    // The frames of partials_, oldest first.
    std::vector<Started> order_;
    std::int64_t bytesHeld_ = 0;
    std::optional<std::uint32_t> lastDeliveredFrameID_;
    std::optional<std::uint32_t> lastDeliveredEpoch_;
};

} // namespace quillmere

#pragma once

#include "QuillmereWire/FrameTimingRecord.h"

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmere {

// The most recent frames' timing records, oldest first, with decode stamps
// found by frame identifier. Eviction only advances the head; the evicted
// prefix is cut out in one step once it reaches the capacity, so storage
// holds at most about twice the capacity.
class FrameTimingLog {
public:
    // Capacities below 1 become 1.
    explicit FrameTimingLog(std::int64_t capacity);

    void record(FrameTimingRecord record);
    // Stamps the live record of that frame once; later stamps are ignored.
    void markDecoded(std::uint32_t frameID, std::uint64_t decodedNs);

    std::span<const FrameTimingRecord> records() const;
    // One JSON line per record, each ending in "\n"; empty without records.
    std::string jsonLines() const;

    std::int64_t capacity() const { return capacity_; }
    std::int64_t dropped() const { return dropped_; }

private:
    std::int64_t liveCount() const { return static_cast<std::int64_t>(storage_.size()) - head_; }

    std::int64_t capacity_;
    std::vector<FrameTimingRecord> storage_;
    std::int64_t head_ = 0;
    std::int64_t firstSequence_ = 0;
    std::unordered_map<std::uint32_t, std::int64_t> sequenceOf_;
    std::int64_t dropped_ = 0;
};

} // namespace quillmere

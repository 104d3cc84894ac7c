#include "QuillmereWire/FrameTimingLog.h"

#include <algorithm>

namespace quillmere {

FrameTimingLog::FrameTimingLog(std::int64_t capacity) : capacity_(std::max<std::int64_t>(capacity, 1)) {}

void FrameTimingLog::record(FrameTimingRecord record) {
    if (liveCount() >= capacity_) {
        const std::uint32_t evictedFrame = storage_[static_cast<std::size_t>(head_)].frameID;
        // A later record of the same frame identifier keeps its entry.
        auto entry = sequenceOf_.find(evictedFrame);
        if (entry != sequenceOf_.end() && entry->second == firstSequence_) sequenceOf_.erase(entry);
        const std::int64_t oldHead = head_;
        ++head_;
        ++firstSequence_;
        ++dropped_;
        if (oldHead >= capacity_) {
            storage_.erase(storage_.begin(), storage_.begin() + head_);
            head_ = 0;
        }
    }
    sequenceOf_[record.frameID] = firstSequence_ + liveCount();
    storage_.push_back(std::move(record));
}

void FrameTimingLog::markDecoded(std::uint32_t frameID, std::uint64_t decodedNs) {
    const auto entry = sequenceOf_.find(frameID);
    if (entry == sequenceOf_.end()) return;
    const std::int64_t index = head_ + entry->second - firstSequence_;
    if (index < head_ || index >= static_cast<std::int64_t>(storage_.size())) return;
    FrameTimingRecord& record = storage_[static_cast<std::size_t>(index)];
    if (record.decodedNs) return;
    record.decodedNs = decodedNs;
}

std::span<const FrameTimingRecord> FrameTimingLog::records() const {
    return std::span<const FrameTimingRecord>(storage_).subspan(static_cast<std::size_t>(head_));
}

std::string FrameTimingLog::jsonLines() const {
    std::string out;
    for (const FrameTimingRecord& record : records()) {
        out += record.jsonLine();
        out += '\n';
    }
    return out;
}

} // namespace quillmere

#include "QuillmereMacCore/AudioChunker.h"

#include "QuillmereMacCore/Saturating.h"

#include <algorithm>

namespace quillmere {

AudioChunker::AudioChunker(std::int64_t framesPerChunk, std::int64_t channels, std::int64_t maxBacklogChunks)
    : framesPerChunk_(std::max<std::int64_t>(framesPerChunk, 1)),
      channels_(std::max<std::int64_t>(channels, 1)),
      maxBacklogChunks_(std::max<std::int64_t>(maxBacklogChunks, 1)) {}

std::vector<std::vector<float>> AudioChunker::push(std::span<const float> samples) {
    // Saturated so that absurd sizes mean "never full" rather than overflow.
    const std::int64_t chunkSamples = saturating::multiply(framesPerChunk_, channels_);
    const auto chunkSize = static_cast<std::uint64_t>(chunkSamples);
    const auto limit = static_cast<std::uint64_t>(saturating::multiply(chunkSamples, maxBacklogChunks_));

    // Only the newest `limit` samples of pending + samples survive; skip the
    // rest without copying it in first.
    const std::uint64_t total = pending_.size() + samples.size();
    std::uint64_t excess = total > limit ? total - limit : 0;
    droppedSamples_ += static_cast<std::int64_t>(excess);
    const std::uint64_t fromPending = std::min<std::uint64_t>(excess, pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(fromPending));
    excess -= fromPending;
    pending_.insert(pending_.end(), samples.begin() + static_cast<std::ptrdiff_t>(excess), samples.end());

    std::vector<std::vector<float>> chunks;
    std::size_t taken = 0;
    while (pending_.size() - taken >= chunkSize) {
        const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(taken);
        chunks.emplace_back(first, first + static_cast<std::ptrdiff_t>(chunkSize));
        taken += static_cast<std::size_t>(chunkSize);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
    return chunks;
}

} // namespace quillmere

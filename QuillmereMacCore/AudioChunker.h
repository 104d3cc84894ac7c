#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quillmere {

// Cuts captured audio of any buffer length into the fixed chunks the encoder
// takes. When the encoder falls behind, the oldest samples are dropped so the
// backlog never exceeds maxBacklogChunks chunks.
class AudioChunker {
public:
    // Each argument below 1 is raised to 1.
    AudioChunker(std::int64_t framesPerChunk, std::int64_t channels, std::int64_t maxBacklogChunks);

    // Interleaved samples in; whole chunks out, oldest first.
    std::vector<std::vector<float>> push(std::span<const float> samples);

    std::int64_t pendingSampleCount() const { return static_cast<std::int64_t>(pending_.size()); }
    std::int64_t framesPerChunk() const { return framesPerChunk_; }
    std::int64_t channels() const { return channels_; }
    std::int64_t maxBacklogChunks() const { return maxBacklogChunks_; }
    std::int64_t droppedSamples() const { return droppedSamples_; }

private:
    std::int64_t framesPerChunk_;
    std::int64_t channels_;
    std::int64_t maxBacklogChunks_;
    std::vector<float> pending_;
    std::int64_t droppedSamples_ = 0;
};

} // namespace quillmere

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// How the samples of an audio sample buffer are laid out.
struct AudioStreamFormat {
    double sampleRate = 48000;
    std::int32_t channels = 2;
    std::int32_t bitsPerChannel = 32;
    bool isFloat = true;
    // One buffer per channel instead of one interleaved buffer.
    bool isNonInterleaved = false;

    bool operator==(const AudioStreamFormat&) const = default;
};

// What an audio capture stream delivers: frames of sound in one or more
// buffers of raw bytes, as the format says, with the time of the first frame.
struct AudioSampleBuffer {
    AudioStreamFormat format;
    std::int64_t frames = 0;
    std::vector<std::vector<std::uint8_t>> buffers;
    // On the raw uptime clock; none when the stream could not tell.
    std::optional<std::uint64_t> presentationTimeNs;
};

} // namespace quillmere

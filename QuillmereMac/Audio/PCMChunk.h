#pragma once

#include <cstdint>
#include <vector>

namespace quillmere {

// Sound handed from a source to its consumer: interleaved 32-bit float
// samples (frame 0 channel 0, frame 0 channel 1, ...).
struct PCMChunk {
    std::vector<float> samples;
    std::int64_t channels = 2;
    // When the first frame was heard, on the raw uptime clock.
    std::uint64_t hostTimeNs = 0;
    // When the chunk was made, on the raw uptime clock; lateness is measured
    // from here.
    std::uint64_t arrivalNs = 0;

    bool operator==(const PCMChunk&) const = default;
};

} // namespace quillmere

#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace quillmere::testing {

// The strength of one frequency in the first channel of interleaved
// samples (Goertzel), as an amplitude: about 0.25 for the tone players' sine,
// near 0 for a frequency that is not there.
inline double toneAmplitude(std::span<const float> interleaved, std::int64_t channels, double hz, double rate = 48000) {
    const std::int64_t frames = static_cast<std::int64_t>(interleaved.size()) / channels;
    if (frames == 0) return 0;
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / rate);
    double previous = 0;
    double beforePrevious = 0;
    for (std::int64_t i = 0; i < frames; ++i) {
        const double current = interleaved[static_cast<std::size_t>(i * channels)] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(frames);
}

} // namespace quillmere::testing

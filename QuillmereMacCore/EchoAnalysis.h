#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::EchoAnalysis {

struct Result {
    double peakLagMs = 0.0;
    // Strength of the repetition relative to the signal, between -120 and 0.
    double peakDB = 0.0;

    bool hasEcho() const { return peakDB > -40.0; }
    bool operator==(const Result&) const = default;
};

// Short decaying clicks of alternating polarity every intervalMs, written
// only where a whole click fits. Mono.
std::vector<float> clickTrack(std::int64_t sampleRate, std::int64_t clickSamples, double seconds, double intervalMs);

// The delay at which a mono recording repeats itself and how strongly, from
// the autocorrelation of its onset envelope (blocks of hop samples). None
// when the recording shows no usable repetition.
std::optional<Result> analyze(std::span<const float> samples, std::int64_t sampleRate, std::int64_t hop,
                              double minLagMs, double maxLagMs);

} // namespace quillmere::EchoAnalysis

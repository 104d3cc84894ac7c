#include "QuillmereMacCore/EchoAnalysis.h"

#include "QuillmereMacCore/Saturating.h"

#include <algorithm>
#include <cmath>

namespace quillmere::EchoAnalysis {

namespace {

constexpr float clickAmplitude = 0.8f;
constexpr std::size_t minimumEnvelope = 9;
// About -30 dB below the loudest block.
constexpr double peakRelativeThreshold = 0.0316;
constexpr double ratioFloor = 1e-12;

std::vector<double> envelope(std::span<const float> samples, std::size_t hop) {
    std::vector<double> values;
    values.reserve(samples.size() / hop + 1);
    for (std::size_t start = 0; start < samples.size(); start += hop) {
        const std::size_t end = std::min(samples.size(), start + hop);
        double peak = 0.0;
        for (std::size_t i = start; i < end; ++i) {
            // NaN never compares greater, so it is left out; in the envelope
            // it would break the ordering the threshold's sort relies on.
            const double magnitude = std::fabs(static_cast<double>(samples[i]));
            if (magnitude > peak) peak = magnitude;
        }
        values.push_back(peak);
    }
    return values;
}

} // namespace

std::vector<float> clickTrack(std::int64_t sampleRate, std::int64_t clickSamples, double seconds, double intervalMs) {
    const std::int64_t total = std::max<std::int64_t>(0, saturating::truncatedI64(seconds * static_cast<double>(sampleRate)));
    // An interval under one sample would never move on to the next click.
    const std::int64_t period =
        std::max<std::int64_t>(1, saturating::truncatedI64(intervalMs / 1000.0 * static_cast<double>(sampleRate)));

    clickSamples = std::max<std::int64_t>(clickSamples, 0);

    std::vector<float> track(static_cast<std::size_t>(total), 0.0f);
    if (clickSamples >= total) return track;

    float polarity = 1.0f;
    for (std::int64_t start = 0; start < total - clickSamples; start += period) {
        for (std::int64_t j = 0; j < clickSamples; ++j) {
            const float decay = 1.0f - static_cast<float>(j) / static_cast<float>(clickSamples);
            track[static_cast<std::size_t>(start + j)] = (polarity * clickAmplitude) * decay;
        }
        polarity = -polarity;
        if (start > total - period) break;
    }
    return track;
}

std::optional<Result> analyze(std::span<const float> samples, std::int64_t sampleRate, std::int64_t hop,
                              double minLagMs, double maxLagMs) {
    hop = std::max<std::int64_t>(hop, 1);
    if (!std::isfinite(minLagMs) || !std::isfinite(maxLagMs)) return std::nullopt;

    const std::vector<double> env = envelope(samples, static_cast<std::size_t>(hop));
    if (env.size() < minimumEnvelope) return std::nullopt;

    std::vector<double> sorted = env;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double threshold = std::max(median, peakRelativeThreshold * sorted.back());

    std::vector<double> onset(env.size());
    double energy = 0.0;
    for (std::size_t i = 0; i < env.size(); ++i) {
        onset[i] = std::max(env[i] - threshold, 0.0);
        energy += onset[i] * onset[i];
    }
    if (!(energy > 0.0)) return std::nullopt;

    const double envelopeRate = static_cast<double>(sampleRate) / static_cast<double>(hop);
    const std::int64_t count = static_cast<std::int64_t>(env.size());
    const std::int64_t shortest = std::max<std::int64_t>(1, saturating::truncatedI64(minLagMs / 1000.0 * envelopeRate));
    const std::int64_t longest = std::min<std::int64_t>(count - 1, saturating::truncatedI64(maxLagMs / 1000.0 * envelopeRate));
    if (longest < shortest) return std::nullopt;

    std::int64_t bestLag = shortest;
    double best = -1.0;
    for (std::int64_t lag = shortest; lag <= longest; ++lag) {
        double correlation = 0.0;
        for (std::int64_t i = 0; i + lag < count; ++i) {
            correlation += onset[static_cast<std::size_t>(i)] * onset[static_cast<std::size_t>(i + lag)];
        }
        // Strictly greater: on a tie the shorter lag stays.
        if (correlation > best) {
            best = correlation;
            bestLag = lag;
        }
    }

    Result result;
    result.peakLagMs = static_cast<double>(bestLag) / envelopeRate * 1000.0;
    result.peakDB = 10.0 * std::log10(std::max(best / energy, ratioFloor));
    return result;
}

} // namespace quillmere::EchoAnalysis

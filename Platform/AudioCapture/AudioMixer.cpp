#include "Platform/AudioCapture/AudioMixer.h"

#include <algorithm>

namespace quillmere {

AudioMixer::AudioMixer(std::int32_t channels, std::int64_t maxLagFrames)
    : channels_(std::max<std::int32_t>(channels, 1)), maxLagFrames_(std::max<std::int64_t>(maxLagFrames, 0)) {}

void AudioMixer::push(std::uint32_t input, std::span<const float> samples) {
    const std::size_t whole = samples.size() - samples.size() % static_cast<std::size_t>(channels_);
    auto& pending = inputs_[input];
    pending.insert(pending.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(whole));
}

void AudioMixer::remove(std::uint32_t input) { inputs_.erase(input); }

std::vector<float> AudioMixer::pull() {
    if (inputs_.empty()) return {};
    std::int64_t fullest = 0;
    for (const auto& [input, samples] : inputs_) fullest = std::max(fullest, frames(samples));
    const std::int64_t floor = fullest - maxLagFrames_;
    for (auto& [input, samples] : inputs_) {
        if (frames(samples) < floor) samples.resize(static_cast<std::size_t>(floor * channels_), 0.0F);
    }
    std::int64_t ready = fullest;
    for (const auto& [input, samples] : inputs_) ready = std::min(ready, frames(samples));
    if (ready <= 0) return {};

    const auto count = static_cast<std::size_t>(ready * channels_);
    std::vector<float> mixed;
    for (auto& [input, samples] : inputs_) {
        if (mixed.empty()) {
            mixed.assign(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(count));
        } else {
            for (std::size_t i = 0; i < count; ++i) mixed[i] += samples[i];
        }
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(count));
    }
    return mixed;
}

} // namespace quillmere

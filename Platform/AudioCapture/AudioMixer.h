#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace quillmere {

// Sums several inputs that arrive at their own pace into one signal: a frame
// goes out once every input has it. An input that falls more than maxLag
// frames behind the fullest one (paused, or not yet started) is taken as
// silent for the difference, so it cannot hold the others back for longer.
class AudioMixer {
public:
    AudioMixer(std::int32_t channels, std::int64_t maxLagFrames);

    // Interleaved samples of one input; a partial frame at the end is dropped.
    void push(std::uint32_t input, std::span<const float> samples);
    // The input is gone, with whatever it still held.
    void remove(std::uint32_t input);
    // Every frame now mixed, interleaved; empty when none is.
    std::vector<float> pull();

    std::size_t inputCount() const { return inputs_.size(); }

private:
    std::int64_t frames(const std::vector<float>& samples) const {
        return static_cast<std::int64_t>(samples.size()) / channels_;
    }

    std::int32_t channels_;
    std::int64_t maxLagFrames_;
    std::map<std::uint32_t, std::vector<float>> inputs_;
};

} // namespace quillmere

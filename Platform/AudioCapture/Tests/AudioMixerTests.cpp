#include "Platform/AudioCapture/AudioMixer.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

// Two stereo inputs, a lag allowance of 4 frames.
struct MixCase {
    const char* name;
    std::vector<float> first;
    std::vector<float> second;
    std::vector<float> mixed;
};

class AudioMixerCases : public ::testing::TestWithParam<MixCase> {};

TEST_P(AudioMixerCases, MixesWhatEveryInputHas) {
    AudioMixer mixer(2, 4);
    mixer.push(1, GetParam().first);
    mixer.push(2, GetParam().second);
    EXPECT_EQ(mixer.pull(), GetParam().mixed);
}

INSTANTIATE_TEST_SUITE_P(
    Mixer, AudioMixerCases,
    ::testing::Values(
        MixCase{"sums_the_frames_both_have", {1, 2, 3, 4}, {10, 20, 30, 40, 50, 60}, {11, 22, 33, 44}},
        MixCase{"waits_for_an_input_within_the_lag", {1, 1, 1, 1, 1, 1}, {}, {}},
        // Six frames ahead of an empty input: the two beyond the allowance
        // go out over silence.
        MixCase{"takes_a_late_input_as_silent_beyond_the_lag",
                {1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6},
                {},
                {1, 1, 2, 2}},
        MixCase{"drops_a_partial_frame", {1, 2, 3}, {1, 1}, {2, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioMixer, AnInputThatGoesAwayNoLongerHoldsTheOthersBack) {
    AudioMixer mixer(2, 100);
    mixer.push(1, std::vector<float>{1, 1, 2, 2});
    mixer.push(2, std::vector<float>{});
    EXPECT_TRUE(mixer.pull().empty());
    mixer.remove(2);
    EXPECT_EQ(mixer.pull(), (std::vector<float>{1, 1, 2, 2}));
    EXPECT_EQ(mixer.inputCount(), 1u);
}

} // namespace
} // namespace quillmere

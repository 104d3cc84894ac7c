#include "Platform/AudioCapture/AudioMixer.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

// Two stereo inputs with a lag allowance of 4 frames.
TEST(AudioMixer, MixesWhatEveryInputHasAndTakesALaggingInputAsSilent) {
    AudioMixer mixer(2, 4);
    mixer.push(1, std::vector<float>{1, 2, 3, 4, 5});
    mixer.push(2, std::vector<float>{10, 20, 30, 40, 50, 60});
    // The partial frame of the first input is dropped.
    EXPECT_EQ(mixer.pull(), (std::vector<float>{11, 22, 33, 44}));
    mixer.push(1, std::vector<float>(10, 1.0F));
    EXPECT_EQ(mixer.pull(), (std::vector<float>{51, 61})) << "within the allowance, the other is waited for";
    mixer.push(1, std::vector<float>(4, 2.0F));
    EXPECT_EQ(mixer.pull(), (std::vector<float>{1, 1, 1, 1})) << "beyond it, the other is silent";
    // An input that goes away holds nothing back any more.
    mixer.remove(2);
    EXPECT_EQ(mixer.pull().size(), 8u);
    EXPECT_EQ(mixer.inputCount(), 1u);
}

} // namespace
} // namespace quillmere

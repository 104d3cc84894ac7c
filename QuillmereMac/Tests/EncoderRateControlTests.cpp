#include "QuillmereMac/Encoder/EncoderRateControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quillmere {
namespace {

constexpr int fps = 60;
constexpr int screen = 8160; // macroblocks of 1080p

// An encoder whose frames cost bitsAtZero per coded macroblock at quantizer
// 0, halving every 6 steps (keyframes five times as much), at 60 fps.
struct Scene {
    double bitsAtZero;
    int coded;
    bool keyframe = false;
};

struct Outcome {
    std::vector<double> bits;
    std::vector<int> quantizers;
};

Outcome play(EncoderRateControl& rate, const std::vector<Scene>& scenes) {
    Outcome outcome;
    for (const Scene& scene : scenes) {
        const int quantizer = rate.quantizer(scene.coded, scene.keyframe);
        const double bits = scene.bitsAtZero * (scene.keyframe ? 5 : 1) * scene.coded * std::exp2(-quantizer / 6.0);
        rate.encoded(static_cast<std::int64_t>(bits / 8), quantizer, scene.coded, scene.keyframe);
        outcome.bits.push_back(bits);
        outcome.quantizers.push_back(quantizer);
    }
    return outcome;
}

std::vector<Scene> repeated(Scene scene, int frames) { return std::vector<Scene>(static_cast<std::size_t>(frames), scene); }

double meanBits(const std::vector<double>& bits, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += bits[i];
    return sum / static_cast<double>(to - from);
}

TEST(EncoderRateControl, HoldsTheRateAndBoundsEachFrame) {
    struct Case {
        const char* what;
        std::int64_t bitsPerSecond;
        std::vector<Scene> scenes;
        // Over the last second: the mean frame as a share of the budget,
        // and the largest frame as a multiple of it (bits unspent while
        // nothing changed may be spent within a quarter of a second).
        double lowestShare, highestShare, largestFrame;
    };
    auto then = [](std::vector<Scene> first, const std::vector<Scene>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const Case cases[] = {
        {"full motion far above the model's first guess", 8'000'000, repeated({3000, screen}, 180), 0.9, 1.1, 1.5},
        {"cheap content far below it", 8'000'000, repeated({300, screen}, 180), 0.9, 1.1, 1.5},
        {"a keyframe is paid back", 4'000'000,
         then(repeated({1000, screen}, 60), then({{1000, screen, true}}, repeated({1000, screen}, 59))), 0.7, 1.1, 4.5},
        {"a whole new screen after small changes", 8'000'000,
         then(repeated({1000, 40}, 120), repeated({1000, screen}, 60)), 0.7, 1.3, 8},
        {"unchanged frames keep the quantizer", 8'000'000,
         then(repeated({1000, screen}, 60), then(repeated({1000, 0}, 60), repeated({1000, screen}, 60))), 0.85, 1.3, 2.5},
    };
    for (const Case& c : cases) {
        EncoderRateControl rate(c.bitsPerSecond, fps, true);
        const Outcome outcome = play(rate, c.scenes);
        const double budget = static_cast<double>(c.bitsPerSecond) / fps;
        const std::size_t end = outcome.bits.size();
        const double share = meanBits(outcome.bits, end - fps, end) / budget;
        EXPECT_GE(share, c.lowestShare) << c.what;
        EXPECT_LE(share, c.highestShare) << c.what;
        const double largest = *std::max_element(outcome.bits.end() - fps, outcome.bits.end());
        EXPECT_LE(largest / budget, c.largestFrame) << c.what;
    }
}

TEST(EncoderRateControl, ALowerRateLowersTheFramesWithinAQuarterSecond) {
    EncoderRateControl rate(8'000'000, fps, true);
    play(rate, repeated({300, screen}, 60));
    rate.setBitrate(2'000'000);
    const Outcome after = play(rate, repeated({300, screen}, 30));
    EXPECT_LE(meanBits(after.bits, 15, 30), 1.15 * 2'000'000 / fps);
}

} // namespace
} // namespace quillmere

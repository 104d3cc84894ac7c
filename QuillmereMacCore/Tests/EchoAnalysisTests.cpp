#include "QuillmereMacCore/EchoAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quillmere {
namespace {

TEST(ClickTrack, HostTrackHasFourAlternatingClicks) {
    const auto track = EchoAnalysis::clickTrack(48000, 48, 2.0, 500.0);
    ASSERT_EQ(track.size(), 96000u);
    EXPECT_EQ(track[0], 0.8f);
    EXPECT_EQ(track[1], 0.8f * (1.0f - 1.0f / 48.0f));
    EXPECT_NE(track[47], 0.0f);
    EXPECT_EQ(track[48], 0.0f);
    EXPECT_EQ(track[24000], -0.8f);
    EXPECT_EQ(track[48000], 0.8f);
    EXPECT_EQ(track[72000], -0.8f);
    int nonZero = 0;
    for (float v : track) nonZero += v != 0.0f ? 1 : 0;
    EXPECT_EQ(nonZero, 4 * 48);
}

TEST(ClickTrack, WritesOnlyClicksThatFitWholly) {
    EXPECT_EQ(EchoAnalysis::clickTrack(48000, 48, 0.001, 500.0), std::vector<float>(48, 0.0f));
    // 100 samples, clicks of 10 every 45: at 0 and 45; one at 90 would end at 100.
    const auto track = EchoAnalysis::clickTrack(1000, 10, 0.1, 45.0);
    EXPECT_EQ(track[45], -0.8f);
    EXPECT_EQ(track[90], 0.0f);
}

TEST(ClickTrack, DegenerateIntervalAndLengthsEndQuickly) {
    const auto track = EchoAnalysis::clickTrack(1000, 4, 0.01, 0.0);
    ASSERT_EQ(track.size(), 10u);
    EXPECT_NE(track[5], 0.0f);
    EXPECT_TRUE(EchoAnalysis::clickTrack(1000, 4, -1.0, 10.0).empty());
    EXPECT_TRUE(EchoAnalysis::clickTrack(1000, 4, std::nan(""), 10.0).empty());
}

std::vector<float> silenceWithBursts(std::size_t blocks, std::size_t hop, std::initializer_list<std::size_t> at) {
    std::vector<float> samples(blocks * hop, 0.0f);
    for (std::size_t block : at) {
        for (std::size_t i = 0; i < hop; ++i) samples[block * hop + i] = (i % 2 == 0) ? 0.5f : -0.5f;
    }
    return samples;
}

TEST(EchoAnalysis, TooShortOrSilentGivesNothing) {
    EXPECT_EQ(EchoAnalysis::analyze(std::vector<float>(8 * 100, 0.5f), 48000, 100, 1, 1000), std::nullopt);
    EXPECT_EQ(EchoAnalysis::analyze(std::vector<float>(100 * 100, 0.0f), 48000, 100, 1, 1000), std::nullopt);
    EXPECT_EQ(EchoAnalysis::analyze(silenceWithBursts(100, 100, {3}), 48000, 100, 1, std::nan("")), std::nullopt);
}

TEST(EchoAnalysis, SingleBurstHasNoRepetition) {
    const auto result = EchoAnalysis::analyze(silenceWithBursts(100, 480, {10}), 48000, 480, 20.0, 500.0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->peakLagMs, 20.0);
    EXPECT_EQ(result->peakDB, -120.0);
    EXPECT_FALSE(result->hasEcho());
}

TEST(EchoAnalysis, TwoEqualBurstsAreAnEchoAtTheirDistance) {
    const auto result = EchoAnalysis::analyze(silenceWithBursts(100, 480, {10, 35}), 48000, 480, 20.0, 500.0);
    ASSERT_TRUE(result);
    EXPECT_DOUBLE_EQ(result->peakLagMs, 25.0 * 480 / 48000 * 1000);
    EXPECT_NEAR(result->peakDB, 10.0 * std::log10(0.5), 1e-9);
    EXPECT_TRUE(result->hasEcho());
}

TEST(EchoAnalysis, LagOutsideTheRangeIsNotFound) {
    // 25 blocks apart is 250 ms; the search stops at 200 ms.
    const auto result = EchoAnalysis::analyze(silenceWithBursts(100, 480, {10, 35}), 48000, 480, 20.0, 200.0);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->peakDB, -120.0);
    EXPECT_EQ(EchoAnalysis::analyze(silenceWithBursts(100, 480, {10}), 48000, 480, 300.0, 200.0), std::nullopt);
}

TEST(EchoAnalysis, NaNSamplesDoNotBreakTheAnalysis) {
    auto samples = silenceWithBursts(100, 480, {10, 35});
    samples[5] = std::nanf("");
    samples[60 * 480] = std::nanf("");
    const auto result = EchoAnalysis::analyze(samples, 48000, 480, 20.0, 500.0);
    ASSERT_TRUE(result);
    EXPECT_DOUBLE_EQ(result->peakLagMs, 250.0);
}

} // namespace
} // namespace quillmere

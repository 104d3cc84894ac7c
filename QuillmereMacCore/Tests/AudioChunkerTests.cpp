#include "QuillmereMacCore/AudioChunker.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

namespace quillmere {
namespace {

std::vector<float> ramp(std::size_t count, float first = 0.0f) {
    std::vector<float> samples(count);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

TEST(AudioChunker, HandsOutWholeChunksOnly) {
    AudioChunker chunker(480, 2, 10);
    EXPECT_TRUE(chunker.push(ramp(959)).empty());
    EXPECT_EQ(chunker.pendingSampleCount(), 959);
    const auto chunks = chunker.push(ramp(1, 959));
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], ramp(960));
    EXPECT_EQ(chunker.pendingSampleCount(), 0);
    EXPECT_TRUE(chunker.push({}).empty());
}

TEST(AudioChunker, DropsTheOldestBeyondTheBacklog) {
    AudioChunker chunker(480, 2, 10);
    const auto chunks = chunker.push(ramp(12000));
    ASSERT_EQ(chunks.size(), 10u);
    EXPECT_EQ(chunker.droppedSamples(), 2400);
    EXPECT_EQ(chunks.front().front(), 2400.0f);
    EXPECT_EQ(chunks.back().back(), 11999.0f);
}

TEST(AudioChunker, TrimsAcrossWhatWasAlreadyPending) {
    AudioChunker chunker(2, 1, 2);
    chunker.push(ramp(1, 100));
    const auto chunks = chunker.push(ramp(6));
    // 7 samples waiting, 4 kept: the pending one and the first two new ones go.
    EXPECT_EQ(chunker.droppedSamples(), 3);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], (std::vector<float>{2, 3}));
    EXPECT_EQ(chunks[1], (std::vector<float>{4, 5}));
}

TEST(AudioChunker, ArgumentsBelowOneBecomeOne) {
    AudioChunker chunker(0, -1, 0);
    EXPECT_EQ(chunker.framesPerChunk(), 1);
    EXPECT_EQ(chunker.channels(), 1);
    EXPECT_EQ(chunker.maxBacklogChunks(), 1);
    const auto chunks = chunker.push(ramp(5));
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], std::vector<float>{4});
    EXPECT_EQ(chunker.droppedSamples(), 4);
}

TEST(AudioChunker, HugeSizesDoNotOverflow) {
    AudioChunker chunker(INT64_MAX, 2, INT64_MAX);
    EXPECT_TRUE(chunker.push(ramp(100)).empty());
    EXPECT_EQ(chunker.pendingSampleCount(), 100);
    EXPECT_EQ(chunker.droppedSamples(), 0);
}

TEST(AudioChunker, KeepsTheNewestSamplesInOrder) {
    // At most 6 million samples: floats still count them exactly.
    std::mt19937 random(17);
    std::uniform_int_distribution<std::size_t> length(0, 3000);
    AudioChunker chunker(48, 2, 4);
    float next = 0.0f;
    std::int64_t pushed = 0;
    std::int64_t handedOut = 0;
    float lastOut = -1.0f;
    for (int i = 0; i < 2000; ++i) {
        const auto samples = ramp(length(random), next);
        next += static_cast<float>(samples.size());
        pushed += static_cast<std::int64_t>(samples.size());
        const auto chunks = chunker.push(samples);
        ASSERT_LE(chunks.size(), 4u);
        for (const auto& chunk : chunks) {
            ASSERT_EQ(chunk.size(), 96u);
            for (float v : chunk) {
                ASSERT_GT(v, lastOut);
                lastOut = v;
            }
            handedOut += 96;
        }
        ASSERT_LT(chunker.pendingSampleCount(), 96);
        ASSERT_EQ(pushed, handedOut + chunker.droppedSamples() + chunker.pendingSampleCount());
    }
}

} // namespace
} // namespace quillmere

#include "QuillmereMac/Encoder/EncoderThreading.h"

#include <algorithm>
#include <cstdint>

namespace quillmere {

namespace {

// One slice thread per this many pixels a second: three at 1080p60, where
// two to four gave the same latency and four cost more.
constexpr std::int64_t pixelsPerSliceThread = 48'000'000;
// Past this, slices get too thin to pay for their wake-ups even at 4K.
constexpr int maximumSliceThreads = 8;
// Rate control prices each frame from a quarter-size copy before any slice
// starts. Frames larger than this share that analysis among the slice
// threads: on one it held up a 2160p60 frame by 2-4 ms (13 ms a frame
// with it shared against 15-17 ms, six cores). At 1080p60 sharing it
// cut the median by about 1 ms but cost 0.1-0.2 dB of PSNR and a fifth
// more CPU a frame: each thread prices its own band.
constexpr std::int64_t pixelsForSharedAnalysis = 4'000'000;

} // namespace

EncoderThreading EncoderThreading::choose(int usableProcessors, int width, int height, int fps) {
    const std::int64_t pixelsPerSecond =
        static_cast<std::int64_t>(std::max(width, 0)) * std::max(height, 0) * std::max(fps, 1);
    const std::int64_t wanted = (pixelsPerSecond + pixelsPerSliceThread - 1) / pixelsPerSliceThread;
    const int ceiling = std::clamp(usableProcessors, 1, maximumSliceThreads);
    EncoderThreading threads;
    threads.sliceThreads = static_cast<int>(std::clamp<std::int64_t>(wanted, 1, ceiling));
    const std::int64_t framePixels = static_cast<std::int64_t>(std::max(width, 0)) * std::max(height, 0);
    threads.lookaheadThreads = framePixels > pixelsForSharedAnalysis ? threads.sliceThreads : 1;
    return threads;
}

} // namespace quillmere

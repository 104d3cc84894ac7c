#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// The quantizer of each frame for a bit rate, chosen before the frame is
// encoded from what earlier frames cost. x264's own rate control prices each
// frame on a quarter-size copy first (a copy, a scaling and a motion search
// per frame: a quarter of the encoder's CPU at 2160p and 3-4 ms of each
// frame's latency); this model only keeps, per coded macroblock, the bits a
// frame cost at its quantizer (bits halve every 6 steps), apart for
// keyframes, and a buffer of the bits sent beyond the rate, drained over a
// quarter of a second (two seconds without low latency).
class EncoderRateControl {
public:
    static constexpr int lowestQuantizer = 10;
    static constexpr int highestQuantizer = 51;

    EncoderRateControl(std::int64_t bitsPerSecond, int fps, bool lowLatency);

    void setBitrate(std::int64_t bitsPerSecond);
    // For a frame with this many macroblocks to code (the others unchanged).
    int quantizer(int codedMacroblocks, bool keyframe) const;
    void encoded(std::int64_t bytes, int quantizer, int codedMacroblocks, bool keyframe);

    std::int64_t bitsPerFrame() const { return bitsPerFrame_; }
    double bufferedBits() const { return buffered_; }

private:
    double targetBits(bool keyframe) const;

    const int fps_;
    const bool lowLatency_;
    std::int64_t bitsPerFrame_ = 0;
    double buffered_ = 0;
    // Bits per coded macroblock at quantizer 0's scale.
    double predictedCost_;
    double keyframeCost_;
    // None before the first frame.
    std::optional<int> lastQuantizer_;
};

} // namespace quillmere

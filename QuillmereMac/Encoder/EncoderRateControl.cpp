#include "QuillmereMac/Encoder/EncoderRateControl.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

// Bits per coded macroblock at quantizer 30 to start from: a busy desktop's
// P and I frames at 1080p. Corrected by the first frames.
constexpr double startingCost = 60;
constexpr double startingKeyframeCost = 400;
constexpr int startingQuantizer = 30;
// How much of a new frame's cost the model takes: it follows content that
// changes quickly without swinging on one odd frame.
constexpr double learning = 0.5;
// A quantizer falls by at most this many steps a frame: small changes make
// cheap frames, and a whole new screen after them must not come out huge.
constexpr int largestFall = 3;

double scaleOf(int quantizer) { return std::exp2(static_cast<double>(quantizer) / 6.0); }

} // namespace

EncoderRateControl::EncoderRateControl(std::int64_t bitsPerSecond, int fps, bool lowLatency)
    : fps_(std::max(fps, 1)),
      lowLatency_(lowLatency),
      predictedCost_(startingCost * scaleOf(startingQuantizer)),
      keyframeCost_(startingKeyframeCost * scaleOf(startingQuantizer)) {
    setBitrate(bitsPerSecond);
}

void EncoderRateControl::setBitrate(std::int64_t bitsPerSecond) {
    bitsPerFrame_ = std::max<std::int64_t>(bitsPerSecond / fps_, 1);
}

double EncoderRateControl::targetBits(bool keyframe) const {
    const double perFrame = static_cast<double>(bitsPerFrame_);
    const double drainFrames = static_cast<double>(fps_) * (lowLatency_ ? 0.25 : 2.0);
    const double target = perFrame - buffered_ / drainFrames;
    // A keyframe may take what a few frames would (x264's buffer lets it too).
    if (keyframe) return std::max(target, 4 * perFrame);
    return std::clamp(target, perFrame / 8, 4 * perFrame);
}

int EncoderRateControl::quantizer(int codedMacroblocks, bool keyframe) const {
    if (codedMacroblocks <= 0) return lastQuantizer_.value_or(startingQuantizer);
    // The first frame is always a keyframe.
    keyframe = keyframe || !lastQuantizer_;
    const double cost = (keyframe ? keyframeCost_ : predictedCost_) * codedMacroblocks;
    const int wanted = static_cast<int>(std::lround(6.0 * std::log2(cost / targetBits(keyframe))));
    const int floor = keyframe ? lowestQuantizer : std::max(lowestQuantizer, *lastQuantizer_ - largestFall);
    return std::clamp(wanted, floor, highestQuantizer);
}

void EncoderRateControl::encoded(std::int64_t bytes, int quantizer, int codedMacroblocks, bool keyframe) {
    const double bits = static_cast<double>(bytes) * 8;
    const double perFrame = static_cast<double>(bitsPerFrame_);
    // Unspent bits are kept for a quarter of a second's worth at most.
    buffered_ = std::max(buffered_ + bits - perFrame, -perFrame * fps_ / 4);
    if (codedMacroblocks > 0) {
        const double cost = bits * scaleOf(quantizer) / codedMacroblocks;
        double& model = keyframe ? keyframeCost_ : predictedCost_;
        model += learning * (cost - model);
        lastQuantizer_ = quantizer;
    }
}

} // namespace quillmere

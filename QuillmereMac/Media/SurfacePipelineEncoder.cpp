// SurfacePipeline's encoder side: encoders made by generation, and encoded
// units turned into stream configurations and EncodedFrames for the
// connection.

#include "QuillmereMac/Media/SurfacePipeline.h"

#include <algorithm>

namespace quillmere {

namespace {

std::uint16_t wireSide(int side) { return static_cast<std::uint16_t>(std::clamp(side, 0, 65535)); }

std::int64_t asCount(std::uint64_t value) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, static_cast<std::uint64_t>(INT64_MAX)));
}

} // namespace

bool SurfacePipeline::makeEncoder(int width, int height) {
    retireEncoder();
    ++generation_;
    raster_ = {width, height};

    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = static_cast<int>(fps_);
    config.bitrateKbps = bitrateKbps_;
    config.maxKeyframeIntervalSeconds = 30.0;
    config.maxInFlight = 2;
    config.codec = EncoderConfig::Codec::h264;
    config.lowLatencyRateControl = !normalRateControl_();

    auto made = encoderMaker_(config, [weak = weak_from_this(), queue = queue_,
                                       generation = generation_](VideoEncoder::Result result) {
        // On the encoder's thread: hop, never touch the pipeline here.
        queue->async([weak, result = std::move(result), generation]() mutable {
            if (const auto self = weak.lock()) self->handleOutput(std::move(result), generation);
        });
    });
    if (!made) {
        log_.error("encoder unavailable: %{public}s", made.error().description());
        encoder_.reset();
        connection_->endSurface(surfaceID_);
        return false;
    }
    encoder_ = std::move(*made);
    keyframeRequested_ = true;
    return true;
}

void SurfacePipeline::handleOutput(VideoEncoder::Result result, std::uint64_t generation) {
    if (stopped_ || generation != generation_) {
        ++stats_.staleOutputs;
        return;
    }
    if (!result) {
        gate_.noteOutput(false);
        markKeyframeRequested();
        forgetRemembered();
        return;
    }

    EncodedAccessUnit& unit = *result;
    gate_.noteOutput(unit.refinable);
    scheduleRefinement();
    ++stats_.encoded;
    const std::int64_t latency =
        unit.encodedAtNs >= unit.captureTimeNs ? asCount(unit.encodedAtNs - unit.captureTimeNs) : 0;
    stats_.maxEncodeLatencyNs = std::max(stats_.maxEncodeLatencyNs, latency);
    stats_.totalEncodeLatencyNs += latency;
    const auto size = static_cast<std::int64_t>(unit.data.size());
    stats_.encodedBytes += size;
    stats_.maxFrameBytes = std::max(stats_.maxFrameBytes, size);
    if (unit.isKeyframe) stats_.maxKeyframeBytes = std::max(stats_.maxKeyframeBytes, size);
    if (unit.submittedAtNs != 0 && unit.submittedAtNs <= unit.encodedAtNs) {
        stats_.encoderNs += asCount(unit.encodedAtNs - unit.submittedAtNs);
        ++stats_.encoderSamples;
        const std::uint64_t at = now();
        stats_.outputWaitNs += at >= unit.encodedAtNs ? asCount(at - unit.encodedAtNs) : 0;
    }

    if (unit.isKeyframe) {
        ++stats_.keyframes;
        if (unit.parameterSets && numbering_.announce(*unit.parameterSets)) {
            ++stats_.configs;
            StreamConfig config;
            config.surfaceID = surfaceID_;
            config.configGeneration = numbering_.configGeneration();
            config.codec = VideoCodec::h264;
            config.width = wireSide(raster_.width);
            config.height = wireSide(raster_.height);
            config.fps = static_cast<std::uint16_t>(std::clamp<std::int64_t>(fps_, 0, 65535));
            config.bitrateKbps = bitrateKbps_;
            config.parameterSets = *unit.parameterSets;
            connection_->announceStreamConfig(std::move(config));
        }
    }

    if (!sending_) return;
    const std::optional<FrameNumbering::Stamp> stamp = numbering_.next(unit.isKeyframe);
    if (!stamp) return;
    ++stats_.sent;
    EncodedFrame frame;
    frame.surfaceID = surfaceID_;
    frame.frameID = stamp->frameID;
    frame.configGeneration = stamp->configGeneration;
    frame.flags = stamp->flags;
    frame.captureTimeNs = unit.captureTimeNs;
    frame.data = std::move(unit.data);
    connection_->sendFrame(std::move(frame));
}

} // namespace quillmere

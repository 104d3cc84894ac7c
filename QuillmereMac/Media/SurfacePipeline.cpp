// SurfacePipeline: making it, attaching its source, its settings, stopping
// it and reading its figures. The frame decision and the encoder's side live
// in their own files.

#include "QuillmereMac/Media/SurfacePipeline.h"

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Capture/ResizableCaptureSource.h"

#include <algorithm>
#include <string>
#include <utility>

namespace quillmere {

std::shared_ptr<SurfacePipeline> SurfacePipeline::make(std::uint32_t surfaceID,
                                                       std::shared_ptr<MediaConnection> connection,
                                                       CaptureChoice choice, Environment environment) {
    return std::shared_ptr<SurfacePipeline>(
        new SurfacePipeline(surfaceID, std::move(connection), choice, std::move(environment)));
}

namespace {

std::shared_ptr<Executor> queueFor(std::uint32_t surfaceID, std::shared_ptr<Executor> given) {
    if (given) return given;
    return std::make_shared<SerialQueue>(SurfacePipeline::queueLabelPrefix + std::to_string(surfaceID));
}

// Up to this many pixels a second a frame's encode takes a small part of its
// interval (about 5 ms of 16.7 at 1080p60): the pipeline's queue encodes it,
// which spares two hand-overs between threads per frame. Larger frames get
// an encoder thread of their own, so that the next frame's comparison
// overlaps this one's encode.
constexpr std::int64_t pixelsEncodedOnQueue = 1920LL * 1080 * 60;

SurfacePipeline::EncoderMaker encoderMakerFor(SurfacePipeline::EncoderMaker given, std::shared_ptr<Executor> queue) {
    if (given) return given;
    return [queue = std::move(queue)](EncoderConfig config, VideoEncoder::Output output) {
        const std::int64_t pixelsPerSecond = static_cast<std::int64_t>(config.width) * config.height * config.fps;
        const bool onQueue = pixelsPerSecond <= pixelsEncodedOnQueue;
        return VideoEncoder::make(config, std::move(output), onQueue ? queue : nullptr);
    };
}

std::function<bool()> rateControlReaderFor(std::function<bool()> given) {
    if (given) return given;
    return [] { return Defaults::standard().boolForKey(SurfacePipeline::normalRateControlKey); };
}

} // namespace

SurfacePipeline::SurfacePipeline(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> connection,
                                 CaptureChoice choice, Environment environment)
    : surfaceID_(surfaceID),
      choice_(choice),
      connection_(std::move(connection)),
      queue_(queueFor(surfaceID, std::move(environment.queue))),
      encoderMaker_(encoderMakerFor(std::move(environment.makeEncoder), queue_)),
      normalRateControl_(rateControlReaderFor(std::move(environment.normalRateControl))),
      keyframeRefreshDelayNs_(environment.keyframeRefreshDelayNs) {
    const std::optional<Capabilities> capabilities = connection_ ? connection_->capabilitiesCopy() : std::nullopt;
    if (capabilities) fps_ = std::clamp<std::int64_t>(capabilities->maxFPS, 1, 120);
}

SurfacePipeline::~SurfacePipeline() = default;

bool SurfacePipeline::attach(std::shared_ptr<CaptureSource> source) {
    if (stopped_) return false;
    source_ = std::move(source);
    return true;
}

CaptureEventHandler SurfacePipeline::eventHandler() {
    // The capture queue never takes the pipeline itself: the hand-off and the
    // queue are enough, and a pipeline released there would be destroyed on
    // the capture queue.
    return [weak = weak_from_this(), handoff = handoff_, queue = queue_](CaptureEvent event) {
        if (weak.expired()) return;
        if (const CapturedFrame* frame = event.capturedFrame()) {
            FrameHandoff::Offer offer = handoff->offer(*frame);
            if (offer.waiter) offer.waiter();
            queue->async([weak] {
                if (const auto self = weak.lock()) self->processNextFrame();
            });
        } else if (const CaptureStopReason* reason = event.stopReason()) {
            queue->async([weak, reason = *reason] {
                if (const auto self = weak.lock()) self->captureStopped(reason);
            });
        }
    };
}

void SurfacePipeline::captureStopped(const CaptureStopReason& reason) {
    if (stopped_) return;
    log_.info("capture stopped: %{public}s", reason.description());
    if (reason.kind() == CaptureStopReason::Kind::interrupted && captureInterrupted_) {
        captureInterrupted_(surfaceID_);
        return;
    }
    connection_->endSurface(surfaceID_);
}

void SurfacePipeline::applySourceRate() {
    auto* resizable = dynamic_cast<ResizableCaptureSource*>(source_.get());
    if (resizable == nullptr) return;
    resizable->setMaxFPS(static_cast<int>(gate_.sourceRate(fps_, tierFPS_)));
}

void SurfacePipeline::setPaused(bool paused) {
    gate_.setPaused(paused);
    applySourceRate();
    scheduleCatchUp();
}

void SurfacePipeline::setSending(bool sending) {
    sending_ = sending;
    if (sending) {
        numbering_.beginSending();
        markKeyframeRequested();
    }
}

void SurfacePipeline::setBitrate(std::uint32_t kbps) {
    bitrateKbps_ = kbps;
    if (encoder_) encoder_->setBitrate(kbps);
}

void SurfacePipeline::setTier(std::int64_t fps, std::uint32_t bitrateKbps) {
    const std::int64_t tier = std::min(fps_, fps);
    gate_.setTierInterval(1'000'000'000ULL / static_cast<std::uint64_t>(std::max<std::int64_t>(tier, 1)));
    tierFPS_ = tier;
    setBitrate(bitrateKbps);
    applySourceRate();
    scheduleCatchUp();
}

void SurfacePipeline::resize(RequestedBox box) {
    auto* resizable = dynamic_cast<ResizableCaptureSource*>(source_.get());
    if (resizable == nullptr) return;
    const auto side = [](std::int64_t value) { return static_cast<int>(std::clamp<std::int64_t>(value, 0, 65535)); };
    resizable->resize(side(box.width), side(box.height));
}

void SurfacePipeline::noteInput(std::uint64_t t) {
    if (gate_.noteInput(t)) applySourceRate();
}

void SurfacePipeline::requestKeyframe() {
    queue_->async([weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->markKeyframeRequested();
    });
}

std::shared_ptr<CaptureSource> SurfacePipeline::stop() {
    if (stopped_) return nullptr;
    stopped_ = true;
    ++generation_;
    handoff_->close();
    lastFrame_.reset();
    retireEncoder();
    return std::exchange(source_, nullptr);
}

void SurfacePipeline::retireEncoder() {
    if (!encoder_) return;
    // Its late outputs carry an old generation and are dropped.
    encoder_->invalidate();
    refusedByRetired_ += encoder_->counters().refusedSettings;
    encoder_.reset();
}

SurfacePipeline::PerfSnapshot SurfacePipeline::perfSnapshot() {
    PerfSnapshot snapshot;
    snapshot.stats = stats_;
    snapshot.stats.encoderRefusals = refusedByRetired_ + (encoder_ ? encoder_->counters().refusedSettings : 0);
    snapshot.width = raster_.width;
    snapshot.height = raster_.height;
    const std::uint64_t interval = gate_.tierIntervalNs();
    snapshot.fps = interval != 0 ? static_cast<std::int64_t>(1'000'000'000ULL / interval) : fps_;
    snapshot.bitrateKbps = bitrateKbps_;
    stats_.maxFrameBytes = 0;
    stats_.maxKeyframeBytes = 0;
    return snapshot;
}

std::optional<double> SurfacePipeline::dirtyFraction(const CapturedFrame& frame) {
    if (!frame.dirtyRects || frame.width < 1 || frame.height < 1) return std::nullopt;
    double area = 0;
    for (const Rect& rect : *frame.dirtyRects) area += rect.width * rect.height;
    return area / (static_cast<double>(frame.width) * static_cast<double>(frame.height));
}

} // namespace quillmere

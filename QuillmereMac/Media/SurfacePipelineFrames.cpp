// SurfacePipeline's frames: each taken frame goes through the gate (and the
// comparison it asks for) and, when it lets it through, to the encoder.

#include "QuillmereMac/Media/SurfacePipeline.h"

#include "Platform/Dispatch/Clock.h"

#include <algorithm>

namespace quillmere {

namespace {

// A later time minus an earlier one, 0 when the "later" one is not.
std::uint64_t ageOf(std::uint64_t t, std::uint64_t since) { return t >= since ? t - since : 0; }

} // namespace

void SurfacePipeline::processNextFrame() {
    std::optional<CapturedFrame> taken = handoff_->take();
    if (!taken) return;
    // Whatever returns below releases the frame's pixels with it.
    const CapturedFrame frame = std::move(*taken);
    if (stopped_) return;
    ++framesTaken_;
    lastFrame_ = frame;
    // What control points at follows the content, whether or not the raster
    // changes with it.
    if (frame.content) {
        if (content_ && *content_ != *frame.content && rasterChanged_) rasterChanged_(surfaceID_);
        content_ = frame.content;
    }

    const std::uint64_t t = frame.captureTimeNs;
    ++stats_.captured;
    stats_.pickupNs += static_cast<std::int64_t>(ageOf(now(), t));
    ++stats_.pickups;
    dirtySinceRemembered_.merge(frame.dirtyRects);
    dirtySinceEncoded_.merge(frame.dirtyRects);

    decide(frame, gate_.admit({t, dirtyFraction(frame), frame.pixelBuffer != nullptr, keyframeRequested_}), t);
}

void SurfacePipeline::decide(const CapturedFrame& frame, FrameGate::Decision decision, std::uint64_t lookedAtNs) {
    if (decision.quietChanged) applySourceRate();
    if (decision.action == FrameGate::Action::compare) decision = compare(frame, lookedAtNs);
    count(decision);
    if (decision.action != FrameGate::Action::encode) {
        scheduleCatchUp();
        return;
    }
    if (decision.reportContentChange) connection_->noteContentChanged(surfaceID_);
    encode(frame, VideoEncoder::Purpose::content, lookedAtNs);
}

FrameGate::Decision SurfacePipeline::compare(const CapturedFrame& frame, std::uint64_t lookedAtNs) {
    const std::uint64_t started = Clock::nowNs();
    const bool changed = changes_.compare(*frame.pixelBuffer, dirtySinceRemembered_.detectorRects());
    stats_.compareNs += static_cast<std::int64_t>(ageOf(Clock::nowNs(), started));
    ++stats_.compares;
    if (!changed) dirtySinceRemembered_ = DirtyArea::rects({});
    const bool encoderCurrent = encoder_ && raster_ == Raster{frame.width, frame.height};
    return gate_.compared(lookedAtNs, changed, keyframeRequested_, encoderCurrent);
}

void SurfacePipeline::count(const FrameGate::Decision& decision) {
    switch (decision.reason) {
    case FrameGate::Reason::quiet: ++stats_.quietSkipped; break;
    case FrameGate::Reason::tier: ++stats_.tierSkipped; break;
    case FrameGate::Reason::unchanged: ++stats_.unchanged; break;
    case FrameGate::Reason::thinned: ++stats_.comparesSkipped; break;
    default: break;
    }
}

void SurfacePipeline::markKeyframeRequested() {
    keyframeRequested_ = true;
    scheduleKeyframeRefresh();
}

// A capture source sends frames only when something changes: with a still
// picture a wanted keyframe would wait for ever. Unless a frame comes first,
// the newest one is encoded again, stamped now (it still shows the screen).
void SurfacePipeline::scheduleKeyframeRefresh() {
    if (refreshScheduled_ || stopped_) return;
    refreshScheduled_ = true;
    queue_->asyncAfter(keyframeRefreshDelayNs_, [weak = weak_from_this(), taken = framesTaken_] {
        if (const auto self = weak.lock()) self->refreshKeyframe(taken);
    });
}

void SurfacePipeline::refreshKeyframe(std::uint64_t takenBefore) {
    refreshScheduled_ = false;
    if (stopped_ || gate_.paused() || !sending_ || !keyframeRequested_) return;
    if (framesTaken_ != takenBefore || !lastFrame_ || !lastFrame_->pixelBuffer || !encoder_) {
        // Frames are coming (or none came yet): look again later.
        scheduleKeyframeRefresh();
        return;
    }
    CapturedFrame frame = *lastFrame_;
    frame.captureTimeNs = now();
    frame.dirtyRects.reset();
    encode(frame, VideoEncoder::Purpose::content, frame.captureTimeNs);
    if (keyframeRequested_) scheduleKeyframeRefresh();
}

void SurfacePipeline::scheduleRefinement() {
    if (stopped_ || !sending_ || !encoder_ || !lastFrame_ || !lastFrame_->pixelBuffer) return;
    if (const std::optional<std::uint64_t> due = gate_.refinementDue(keyframeRequested_))
        armTimer(refinementTimerAt_, *due, &SurfacePipeline::refinementTimer);
}

void SurfacePipeline::armTimer(std::optional<std::uint64_t>& armedAt, std::uint64_t due,
                               void (SurfacePipeline::*fired)(std::uint64_t)) {
    // An earlier timer looks again when it fires.
    if (armedAt && *armedAt <= due) return;
    armedAt = due;
    const std::uint64_t t = now();
    queue_->asyncAfter(due > t ? due - t : 0, [weak = weak_from_this(), fired, due] {
        if (const auto self = weak.lock()) (*self.*fired)(due);
    });
}

void SurfacePipeline::refinementTimer(std::uint64_t at) {
    if (refinementTimerAt_ == at) refinementTimerAt_.reset();
    if (stopped_ || !sending_ || !encoder_ || !lastFrame_ || !lastFrame_->pixelBuffer) return;
    if (raster_ != Raster{lastFrame_->width, lastFrame_->height}) return;
    if (gate_.refine(now(), keyframeRequested_).action == FrameGate::Action::encode) {
        // A change taken but paced away goes as content, with the time it
        // was taken; the same picture again is stamped now, as it still
        // shows the screen.
        CapturedFrame frame = *lastFrame_;
        const bool unchanged = !dirtySinceEncoded_.isAll() && dirtySinceEncoded_.rectangles().empty();
        const std::uint64_t t = now();
        if (unchanged) frame.captureTimeNs = t;
        encode(frame, unchanged ? VideoEncoder::Purpose::refinement : VideoEncoder::Purpose::content, t);
    }
    scheduleRefinement();
}

void SurfacePipeline::scheduleCatchUp() {
    if (stopped_) return;
    if (const std::optional<std::uint64_t> due = gate_.heldBackDue())
        armTimer(catchUpTimerAt_, *due, &SurfacePipeline::catchUpTimer);
}

void SurfacePipeline::catchUpTimer(std::uint64_t at) {
    if (catchUpTimerAt_ == at) catchUpTimerAt_.reset();
    if (stopped_ || !lastFrame_ || !lastFrame_->pixelBuffer) return;
    // Paced as looked at now; sent with the time it was taken, as the
    // viewer shows and times it as that moment's picture.
    const std::uint64_t t = now();
    decide(*lastFrame_, gate_.catchUp(t), t);
}

void SurfacePipeline::forgetRemembered() {
    changes_.forget();
    dirtySinceRemembered_ = DirtyArea::all();
}

void SurfacePipeline::encode(const CapturedFrame& frame, VideoEncoder::Purpose purpose, std::uint64_t lookedAtNs) {
    const bool refinement = purpose == VideoEncoder::Purpose::refinement;
    if (!refinement) gate_.noteEncoded(lookedAtNs);
    if (!encoder_) {
        if (!makeEncoder(frame.width, frame.height)) return;
    } else if (raster_ != Raster{frame.width, frame.height}) {
        if (!makeEncoder(frame.width, frame.height)) return;
        if (rasterChanged_) rasterChanged_(surfaceID_);
    }

    const bool force = keyframeRequested_;
    const VideoEncoder::Submission result = encoder_->encode(frame, force, &dirtySinceEncoded_, purpose);
    switch (result.kind) {
    case VideoEncoder::Submission::Kind::submitted:
        if (force) keyframeRequested_ = false;
        stats_.macroblocks += static_cast<std::int64_t>((frame.width + 15) / 16) * ((frame.height + 15) / 16);
        stats_.constantMacroblocks += result.constantMacroblocks;
        dirtySinceEncoded_ = DirtyArea::rects({});
        if (refinement) {
            // The picture the change detector remembers.
            ++stats_.refinements;
        } else if (gate_.nextSkipsCompare()) {
            // The next frame will not be compared: remembering this one
            // would be wasted copying.
            forgetRemembered();
        } else {
            const std::uint64_t started = Clock::nowNs();
            changes_.remember(*frame.pixelBuffer, dirtySinceRemembered_.detectorRects());
            dirtySinceRemembered_ = DirtyArea::rects({});
            stats_.rememberNs += static_cast<std::int64_t>(ageOf(Clock::nowNs(), started));
            ++stats_.remembers;
        }
        break;
    case VideoEncoder::Submission::Kind::busy:
        ++stats_.encoderDrops;
        forgetRemembered();
        break;
    case VideoEncoder::Submission::Kind::invalidated:
    case VideoEncoder::Submission::Kind::failed:
        markKeyframeRequested();
        forgetRemembered();
        break;
    }
}

} // namespace quillmere

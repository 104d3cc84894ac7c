// SurfacePipeline's per-frame decision: which captured frames reach the
// encoder. Frames a client would not see change (paused, quiet, paced away
// by the surface's tier, identical to the last one remembered) cost a look
// and nothing more.

#include "QuillmereMac/Media/SurfacePipeline.h"

#include "Platform/Dispatch/Clock.h"

#include <algorithm>

namespace quillmere {

namespace {

// A later time minus an earlier one, 0 when the "later" one is not.
std::uint64_t ageOf(std::uint64_t t, std::uint64_t since) { return t >= since ? t - since : 0; }

} // namespace

std::uint64_t SurfacePipeline::pacingReference() const {
    if (!lastEncodedCaptureNs_) return lastCheckedNs_;
    return std::max(lastCheckedNs_, *lastEncodedCaptureNs_);
}

void SurfacePipeline::processNextFrame() {
    std::optional<CapturedFrame> taken = handoff_->take();
    if (!taken) return;
    // Whatever returns below releases the frame's pixels with it.
    const CapturedFrame frame = std::move(*taken);
    if (stopped_) return;
    ++framesTaken_;
    lastFrame_ = frame;

    const std::uint64_t t = frame.captureTimeNs;
    ++stats_.captured;
    stats_.pickupNs += static_cast<std::int64_t>(ageOf(now(), t));
    ++stats_.pickups;
    dirtySinceRemembered_.merge(frame.dirtyRects);
    if (paused_) return;

    if (!passesQuietGate(frame)) return;
    if (!passesTierPacing(t)) return;
    if (!frame.pixelBuffer) return;

    bool changed = true;
    if (compareSkip_.changedInARow >= compareRunLength && compareSkip_.sinceCheck + 1 < compareEvery) {
        ++compareSkip_.sinceCheck;
        ++stats_.comparesSkipped;
    } else {
        compareSkip_.sinceCheck = 0;
        const std::uint64_t started = Clock::nowNs();
        changed = changes_.compare(*frame.pixelBuffer, dirtySinceRemembered_.detectorRects());
        stats_.compareNs += static_cast<std::int64_t>(ageOf(Clock::nowNs(), started));
        ++stats_.compares;
        if (!changed) {
            dirtySinceRemembered_ = DirtyArea::rects({});
            compareSkip_.changedInARow = 0;
            if (raster_ == Raster{frame.width, frame.height} && !keyframeRequested_ && encoder_) {
                ++stats_.unchanged;
                lastCheckedNs_ = t;
                return;
            }
        } else {
            ++compareSkip_.changedInARow;
        }
    }

    // Only changed content re-ranks the surface, at most once a second.
    if (changed && t - lastContentReportNs_ > contentReportGapNs) {
        lastContentReportNs_ = t;
        connection_->noteContentChanged(surfaceID_);
    }
    encode(frame);
}

bool SurfacePipeline::passesQuietGate(const CapturedFrame& frame) {
    const std::uint64_t t = frame.captureTimeNs;
    const bool wasQuiet = quiet_.isQuiet;
    const std::optional<double> fraction = dirtyFraction(frame);
    if (!fraction || *fraction >= dirtyFractionThreshold) {
        quiet_.tinySince.reset();
        quiet_.isQuiet = false;
        if (wasQuiet) applySourceRate();
        return true;
    }

    if (!quiet_.tinySince) quiet_.tinySince = t;
    // Both ages saturate: a frame stamped before the run began, or before the
    // last input, is not quiet, where a wrapped difference would call it so.
    quiet_.isQuiet = ageOf(t, *quiet_.tinySince) > quietAfterNs && ageOf(t, lastInputNs_) > quietInputAgeNs;
    if (quiet_.isQuiet != wasQuiet) applySourceRate();
    if (quiet_.isQuiet && !keyframeRequested_) {
        const std::uint64_t reference = pacingReference();
        if (reference != 0 && t - reference <= quietFrameGapNs) {
            ++stats_.quietSkipped;
            return false;
        }
    }
    return true;
}

bool SurfacePipeline::passesTierPacing(std::uint64_t t) {
    const std::uint64_t interval = tierIntervalNs_;
    const std::uint64_t reference = pacingReference();
    if (interval == 0 || keyframeRequested_ || reference == 0) return true;
    // Wrapping on purpose: a frame stamped before the reference is far
    // "after" it and goes on.
    const std::uint64_t elapsed = t - reference;
    if (elapsed < interval - interval / 4) {
        ++stats_.tierSkipped;
        return false;
    }
    return true;
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
    if (stopped_ || paused_ || !sending_ || !keyframeRequested_) return;
    if (framesTaken_ != takenBefore || !lastFrame_ || !lastFrame_->pixelBuffer || !encoder_) {
        // Frames are coming (or none came yet): look again later.
        scheduleKeyframeRefresh();
        return;
    }
    CapturedFrame frame = *lastFrame_;
    frame.captureTimeNs = now();
    frame.dirtyRects.reset();
    encode(frame);
    if (keyframeRequested_) scheduleKeyframeRefresh();
}

void SurfacePipeline::forgetRemembered() {
    changes_ = FrameChangeDetector();
    dirtySinceRemembered_ = DirtyArea::all();
}

void SurfacePipeline::encode(const CapturedFrame& frame) {
    lastEncodedCaptureNs_ = frame.captureTimeNs;
    if (!encoder_) {
        if (!makeEncoder(frame.width, frame.height)) return;
    } else if (raster_ != Raster{frame.width, frame.height}) {
        if (!makeEncoder(frame.width, frame.height)) return;
        if (rasterChanged_) rasterChanged_(surfaceID_);
    }

    const bool force = keyframeRequested_;
    const VideoEncoder::Submission result = encoder_->encode(frame, force);
    switch (result.kind) {
    case VideoEncoder::Submission::Kind::submitted:
        if (force) keyframeRequested_ = false;
        if (compareSkip_.changedInARow >= compareRunLength && compareSkip_.sinceCheck + 1 < compareEvery) {
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

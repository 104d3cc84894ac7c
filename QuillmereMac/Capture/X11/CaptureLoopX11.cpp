#include "QuillmereMac/Capture/X11/CaptureLoopX11.h"

#include "Platform/ScreenCapture/XcbConnection.h"
#include "QuillmereMac/Capture/CaptureEpochTracker.h"
#include "QuillmereMac/Capture/RasterPlacement.h"

#include <algorithm>

namespace quillmere {

namespace {

std::optional<ScreenRect> intersection(const ScreenRect& a, int width, int height) {
    const int left = std::max(a.x, 0);
    const int top = std::max(a.y, 0);
    const int right = std::min(a.x + a.width, width);
    const int bottom = std::min(a.y + a.height, height);
    if (right <= left || bottom <= top) return std::nullopt;
    return ScreenRect{left, top, right - left, bottom - top};
}

} // namespace

CaptureLoopX11::CaptureLoopX11(XcbConnection& connection, CaptureTargetX11& target,
                               ScreenCaptureStreamConfiguration configuration,
                               std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> sampleQueue)
    : connection_(connection),
      target_(target),
      configuration_(configuration),
      output_(std::move(output)),
      sampleQueue_(std::move(sampleQueue)),
      cursor_(connection, target.root()) {
    connection_.flush();
}

void CaptureLoopX11::setConfiguration(const ScreenCaptureStreamConfiguration& configuration) {
    if (configuration.width != configuration_.width || configuration.height != configuration_.height ||
        configuration.showsCursor != configuration_.showsCursor ||
        configuration.scalesToFit != configuration_.scalesToFit) {
        wholeFrameDue_ = true;
    }
    configuration_ = configuration;
}

bool CaptureLoopX11::drainEvents(bool readSocket) {
    bool any = false;
    xcb_connection_t* c = connection_.get();
    while (xcb_generic_event_t* event = readSocket ? xcb_poll_for_event(c) : xcb_poll_for_queued_event(c)) {
        any = true;
        target_.handleEvent(*event);
        cursor_.handleEvent(*event);
        std::free(event);
    }
    return any;
}

std::optional<std::uint64_t> CaptureLoopX11::tick(std::uint64_t now) {
    if (connection_.hasError()) {
        if (auto output = output_.lock()) {
            output->didStopWithError(
                ScreenCaptureError::make(ScreenCaptureError::connectionInterrupted, "the X connection broke"));
        }
        return std::nullopt;
    }
    const std::uint64_t interval = std::max<std::uint64_t>(configuration_.minimumFrameIntervalNs, 1);
    if (now >= lastRecheckNs_ + quietIntervalNs) {
        target_.recheck();
        lastRecheckNs_ = now;
    }
    switch (target_.state()) {
    case CaptureTargetX11::State::destroyed:
        deliverStatus(CaptureEpochTracker::statusStopped);
        return std::nullopt;
    case CaptureTargetX11::State::gone:
        if (auto output = output_.lock()) {
            output->didStopWithError(
                ScreenCaptureError::make(ScreenCaptureError::noCaptureSource, "the display went away"));
        }
        return std::nullopt;
    case CaptureTargetX11::State::suspended:
        if (now >= lastSampleNs_ + quietIntervalNs) {
            deliverStatus(CaptureEpochTracker::statusSuspended);
            lastSampleNs_ = now;
        }
        return std::min(lastSampleNs_, lastRecheckNs_) + quietIntervalNs;
    case CaptureTargetX11::State::live:
        break;
    }

    bool wanted = wholeFrameDue_ || target_.damaged();
    if (!wanted && configuration_.showsCursor && now >= nextCursorPollNs_) {
        cursor_.request(target_.pointerWindow());
        connection_.flush();
        cursor_.collect();
        nextCursorPollNs_ = now + interval;
        wanted = cursorChanged();
    }
    if (wanted) {
        if (now < lastFrameNs_ + interval) return lastFrameNs_ + interval;
        if (framesInFlight() >= std::max(configuration_.queueDepth, 1)) {
            // Every buffer is still out: try again one interval on.
            lastFrameNs_ = now;
            return now + interval;
        }
        captureFrame(now);
        return target_.state() == CaptureTargetX11::State::live ? now + interval : now;
    }
    if (now >= lastSampleNs_ + quietIntervalNs) {
        deliverStatus(CaptureEpochTracker::statusIdle);
        lastSampleNs_ = now;
    }
    std::uint64_t next = std::min(lastSampleNs_, lastRecheckNs_) + quietIntervalNs;
    if (configuration_.showsCursor) next = std::min(next, nextCursorPollNs_);
    return next;
}

std::optional<ScreenRect> CaptureLoopX11::visibleCursor() const {
    const auto placed = cursor_.placement(target_.pointerOriginX(), target_.pointerOriginY());
    if (!placed) return std::nullopt;
    return intersection(*placed, target_.width(), target_.height());
}

bool CaptureLoopX11::cursorChanged() {
    const auto visible = visibleCursor();
    if (visible != drawnCursor_) return true;
    return visible && cursor_.serial() != drawnCursorSerial_;
}

int CaptureLoopX11::framesInFlight() const {
    if (!pool_) return 0;
    return static_cast<int>(pool_->allocatedCount() - pool_->freeCount());
}

void CaptureLoopX11::captureFrame(std::uint64_t now) {
    const std::size_t bytes = static_cast<std::size_t>(target_.width()) * target_.height() * 4;
    if (!segment_ || segment_->size() < bytes) {
        segment_.reset();
        auto segment = ShmSegmentX11::make(connection_, bytes);
        if (!segment) {
            if (auto output = output_.lock()) output->didStopWithError(segment.error());
            return;
        }
        segment_ = std::move(*segment);
    }
    target_.requestGrab(*segment_);
    if (configuration_.showsCursor) cursor_.request(target_.pointerWindow());
    connection_.flush();
    auto grab = target_.collectGrab();
    if (configuration_.showsCursor) cursor_.collect();
    lastFrameNs_ = now;
    if (!grab) {
        // The damage taken with it is lost: the next frame tells everything.
        wholeFrameDue_ = true;
        return;
    }

    std::vector<ScreenRect> dirty = std::move(grab->damage);
    bool whole = wholeFrameDue_ || grab->reshaped;
    if (drawnCursor_) dirty.push_back(*drawnCursor_);
    drawnCursor_.reset();
    if (configuration_.showsCursor) {
        const auto placed = cursor_.placement(target_.pointerOriginX(), target_.pointerOriginY());
        if (const auto visible = visibleCursor(); placed && visible) {
            cursor_.draw(grab->image, *placed);
            dirty.push_back(*visible);
            drawnCursor_ = visible;
            drawnCursorSerial_ = cursor_.serial();
        }
    }

    const auto placement = RasterPlacement::make(grab->image.width, grab->image.height, configuration_.width,
                                                 configuration_.height, configuration_.scalesToFit);
    if (!placement) return;
    if (!pool_ || pool_->width() != configuration_.width || pool_->height() != configuration_.height) {
        auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, configuration_.width, configuration_.height,
                                          std::max(configuration_.queueDepth, 1));
        if (!pool) {
            if (auto output = output_.lock()) {
                output->didStopWithError(ScreenCaptureError::make(ScreenCaptureError::internalError,
                                                                  "no pixel buffers for the raster"));
            }
            return;
        }
        pool_ = std::move(*pool);
        whole = true;
    }
    auto buffer = pool_->createPixelBuffer();
    if (!buffer) return;
    const BgraImage image{grab->image.pixels, grab->image.bytesPerRow, grab->image.width, grab->image.height};
    if (!writer_.write(image, *placement, **buffer)) return;

    ScreenCaptureSample sample;
    sample.status = CaptureEpochTracker::statusComplete;
    sample.pixelBuffer = std::move(*buffer);
    sample.presentationTimeNs = now;
    sample.contentRect = Rect{0, 0, static_cast<double>(grab->image.width), static_cast<double>(grab->image.height)};
    if (!whole) {
        std::vector<Rect> rects;
        rects.reserve(dirty.size());
        for (const ScreenRect& rect : dirty) {
            const Rect mapped = placement->map(rect.x, rect.y, rect.width, rect.height);
            if (!mapped.isEmpty()) rects.push_back(mapped);
        }
        sample.dirtyRects = std::move(rects);
    }
    wholeFrameDue_ = false;
    lastSampleNs_ = now;
    deliver(std::move(sample));
}

void CaptureLoopX11::deliverStatus(std::int64_t status) {
    ScreenCaptureSample sample;
    sample.status = status;
    deliver(std::move(sample));
}

void CaptureLoopX11::deliver(ScreenCaptureSample sample) {
    sampleQueue_->async([output = output_, sample = std::move(sample)]() mutable {
        if (auto alive = output.lock()) alive->didOutputSample(std::move(sample));
    });
}

} // namespace quillmere

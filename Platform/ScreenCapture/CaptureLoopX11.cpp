#include "Platform/ScreenCapture/CaptureLoopX11.h"

#include "Platform/ScreenCapture/FrameDeadline.h"
#include "Platform/X11/XcbConnection.h"

#include <algorithm>

namespace quillmere {

CaptureLoopX11::CaptureLoopX11(XcbConnection& connection, CaptureTargetX11& target,
                               ScreenCaptureStreamConfiguration configuration,
                               std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> sampleQueue)
    : connection_(connection),
      target_(target),
      configuration_(configuration),
      output_(std::move(output)),
      sampleQueue_(std::move(sampleQueue)),
      grabber_(connection, target) {
    connection_.flush();
}

void CaptureLoopX11::setConfiguration(const ScreenCaptureStreamConfiguration& configuration) {
    if (configuration.width != configuration_.width || configuration.height != configuration_.height ||
        configuration.showsCursor != configuration_.showsCursor ||
        configuration.scalesToFit != configuration_.scalesToFit) {
        wholeFrameDue_ = true;
    }
    // A faster pace starts a new grid now rather than after the old, longer interval.
    if (configuration.minimumFrameIntervalNs < configuration_.minimumFrameIntervalNs) {
        frameDueNs_ = 0;
        notBeforeNs_ = 0;
    }
    configuration_ = configuration;
}

bool CaptureLoopX11::drainEvents(bool readSocket) {
    bool any = false;
    xcb_connection_t* c = connection_.get();
    while (xcb_generic_event_t* event = readSocket ? xcb_poll_for_event(c) : xcb_poll_for_queued_event(c)) {
        any = true;
        target_.handleEvent(*event);
        grabber_.handleEvent(*event);
        std::free(event);
    }
    return any;
}

std::optional<std::uint64_t> CaptureLoopX11::tick(std::uint64_t now) {
    waitsForFrameDeadline_ = false;
    if (ended_) return std::nullopt;
    if (connection_.hasError()) {
        stopWith(ScreenCaptureError::make(ScreenCaptureError::connectionInterrupted, "the X connection broke"));
        return std::nullopt;
    }
    const std::uint64_t interval = std::max<std::uint64_t>(configuration_.minimumFrameIntervalNs, 1);
    if (now >= lastRecheckNs_ + quietIntervalNs) {
        target_.recheck();
        lastRecheckNs_ = now;
    }
    switch (target_.state()) {
    case CaptureTargetX11::State::destroyed:
        deliverStatus(ScreenCaptureFrameStatus::stopped);
        ended_ = true;
        return std::nullopt;
    case CaptureTargetX11::State::gone:
        stopWith(ScreenCaptureError::make(ScreenCaptureError::noCaptureSource, "the display went away"));
        return std::nullopt;
    case CaptureTargetX11::State::suspended:
        wantedSinceNs_ = 0;
        if (now >= lastSampleNs_ + quietIntervalNs) {
            deliverStatus(ScreenCaptureFrameStatus::suspended);
            lastSampleNs_ = now;
        }
        return std::min(lastSampleNs_, lastRecheckNs_) + quietIntervalNs;
    case CaptureTargetX11::State::live:
        break;
    }
    // A frame of the new size with the old margin, or of a size the window
    // manager passes through, would give the stream a shape the window
    // never had: no frame until the margin came and the window stood still
    // a moment. Their events wake this thread.
    if (target_.reshaping()) {
        if (reshapingSinceNs_ == 0) reshapingSinceNs_ = now;
        if (target_.shapeChanges() != shapeChangesSeen_) {
            shapeChangesSeen_ = target_.shapeChanges();
            stillSinceNs_ = now;
        }
        const std::uint64_t limit = reshapingSinceNs_ + marginWaitNs;
        const std::uint64_t settled = target_.awaitsMargin() ? limit : std::min(limit, stillSinceNs_ + stillNs);
        if (now < settled) return settled;
        target_.reshaped();
    }
    reshapingSinceNs_ = 0;

    bool wanted = wholeFrameDue_ || target_.damaged();
    if (!wanted && configuration_.showsCursor && now >= nextCursorPollNs_) {
        nextCursorPollNs_ = now + interval;
        wanted = grabber_.cursorMoved();
    }
    if (wanted) {
        if (wantedSinceNs_ == 0) wantedSinceNs_ = now;
        const std::uint64_t deadline = std::max(frameDueNs_, notBeforeNs_);
        if (now < deadline) {
            waitsForFrameDeadline_ = true;
            return deadline;
        }
        // The frame's time is when it fell due (its deadline, or the change
        // that came after it), not when this thread got round to it: a late
        // wake counts in the frame's latency.
        const std::uint64_t due = std::max(deadline, wantedSinceNs_);
        frameDueNs_ = FrameDeadline::next(frameDueNs_, interval, now);
        // With every buffer still out, try again one interval on.
        if (grabber_.framesInFlight() < std::max(configuration_.queueDepth, 1)) captureFrame(now, due);
        if (ended_) return std::nullopt;
        // Damage before the next deadline is taken at it, not sooner.
        waitsForFrameDeadline_ = target_.state() == CaptureTargetX11::State::live;
        return waitsForFrameDeadline_ ? std::max(frameDueNs_, notBeforeNs_) : now;
    }
    if (now >= lastSampleNs_ + quietIntervalNs) {
        deliverStatus(ScreenCaptureFrameStatus::idle);
        lastSampleNs_ = now;
    }
    std::uint64_t next = std::min(lastSampleNs_, lastRecheckNs_) + quietIntervalNs;
    if (configuration_.showsCursor) next = std::min(next, nextCursorPollNs_);
    return next;
}

void CaptureLoopX11::captureFrame(std::uint64_t now, std::uint64_t due) {
    auto sample = grabber_.grab(configuration_, wholeFrameDue_, due);
    if (!sample) {
        stopWith(sample.error());
        return;
    }
    if (!*sample) {
        // The damage taken with the failed grab is lost: the next frame tells everything.
        wholeFrameDue_ = true;
        return;
    }
    wholeFrameDue_ = false;
    wantedSinceNs_ = 0;
    lastSampleNs_ = now;
    notBeforeNs_ = FrameDeadline::notBefore(due, std::max<std::uint64_t>(configuration_.minimumFrameIntervalNs, 1));
    deliver(std::move(**sample));
}

void CaptureLoopX11::stopWith(ScreenCaptureError error) {
    ended_ = true;
    if (auto output = output_.lock()) output->didStopWithError(std::move(error));
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

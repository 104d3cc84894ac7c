#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/ScreenCapture/FrameGrabberX11.h"
#include "Platform/ScreenCapture/ScreenCaptureStream.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace quillmere {

class XcbConnection;

// The pace of one X11 capture stream: a frame when damage (or the cursor) says
// something changed, at the next deadline of a grid of frame intervals and
// never sooner than three quarters of one after the last frame's time; an
// idle or suspended sample when nothing happens for a while; the stopped
// sample or the stream's stop when the content goes away.
class CaptureLoopX11 {
public:
    // Quiet streams still report this often, so consumers see they are alive.
    static constexpr std::uint64_t quietIntervalNs = 250'000'000;
    // How long a window's new size waits for the margin its client says goes
    // with it; a client slower than this is taken with its old margin first.
    static constexpr std::uint64_t marginWaitNs = 150'000'000;
    // How long the window then stands still before it is taken.
    static constexpr std::uint64_t stillNs = 30'000'000;

    CaptureLoopX11(XcbConnection& connection, CaptureTargetX11& target, ScreenCaptureStreamConfiguration configuration,
                   std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> sampleQueue);

    void setConfiguration(const ScreenCaptureStreamConfiguration& configuration);
    // Hands every event the connection has read to the target and the cursor;
    // false when there was none.
    bool drainEvents(bool readSocket);
    // Does what is due; returns when to run next (absolute, on the raw uptime
    // clock), or nothing once the stream has ended.
    std::optional<std::uint64_t> tick(std::uint64_t now);
    // True when the time tick() returned last is the next frame's deadline:
    // events read before then change nothing, as they are read at it.
    bool waitsForFrameDeadline() const { return waitsForFrameDeadline_; }

private:
    // Stamped due, the time the frame fell due (at most now).
    void captureFrame(std::uint64_t now, std::uint64_t due);
    void stopWith(ScreenCaptureError error);
    void deliver(ScreenCaptureSample sample);
    void deliverStatus(std::int64_t status);

    XcbConnection& connection_;
    CaptureTargetX11& target_;
    ScreenCaptureStreamConfiguration configuration_;
    std::weak_ptr<ScreenCaptureStreamOutput> output_;
    std::shared_ptr<Executor> sampleQueue_;
    FrameGrabberX11 grabber_;

    // The next frame tells everything (first frame, new raster, lost damage).
    bool wholeFrameDue_ = true;
    bool ended_ = false;
    // When the next frame may be taken, on a grid of frame intervals.
    std::uint64_t frameDueNs_ = 0;
    // And not before this, after a frame taken late (FrameDeadline::notBefore).
    std::uint64_t notBeforeNs_ = 0;
    // When the frame now wanted (for damage, the cursor or a whole frame)
    // was first seen to be; 0 when none is.
    std::uint64_t wantedSinceNs_ = 0;
    // When the target's reshaping began, and its shape last changed; 0 when
    // it does not reshape.
    std::uint64_t reshapingSinceNs_ = 0;
    std::uint64_t stillSinceNs_ = 0;
    std::uint64_t shapeChangesSeen_ = 0;
    std::uint64_t lastSampleNs_ = 0;
    std::uint64_t lastRecheckNs_ = 0;
    std::uint64_t nextCursorPollNs_ = 0;
    bool waitsForFrameDeadline_ = false;
};

} // namespace quillmere

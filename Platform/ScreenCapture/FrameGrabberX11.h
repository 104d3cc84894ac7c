#pragma once

#include "Platform/PixelBuffer/PixelBufferPool.h"
#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/ScreenCapture/CursorX11.h"
#include "Platform/ScreenCapture/DamageHistory.h"
#include "Platform/ScreenCapture/RasterWriter.h"
#include "Platform/ScreenCapture/ScreenCaptureStream.h"
#include "Platform/ScreenCapture/ShmSegmentX11.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class XcbConnection;

// One frame of a capture target, asked for in one round trip (damage, image
// and pointer together), converted to B, G, R, X where the target's pixels
// are of another layout, with the cursor drawn in when wanted, written into a
// pooled NV12 buffer at the configured raster.
class FrameGrabberX11 {
public:
    FrameGrabberX11(XcbConnection& connection, CaptureTargetX11& target);

    // A complete sample; nothing when the content could not be read this
    // time (its damage is then lost: the next frame should be whole); an
    // error when capture cannot go on. whole leaves the dirty rectangles out.
    // The sample carries captureTimeNs as its presentation time.
    std::expected<std::optional<ScreenCaptureSample>, ScreenCaptureError> grab(
        const ScreenCaptureStreamConfiguration& configuration, bool whole, std::uint64_t captureTimeNs);

    // Asks where the pointer is: true when the drawn cursor would change.
    bool cursorMoved();
    // Buffers of the pool still held by consumers.
    int framesInFlight() const;

    void handleEvent(const xcb_generic_event_t& event) { cursor_.handleEvent(event); }

private:
    std::optional<ScreenRect> visibleCursor() const;
    // The raw image's areas (all of it when none are given) converted into
    // the kept copy, which the server never writes, through the colours when
    // there are any; the copy.
    ScreenImage converted(const ScreenImage& raw, const std::vector<ScreenRect>* areas, const ColourMapX11* colours);

    XcbConnection& connection_;
    CaptureTargetX11& target_;
    CursorX11 cursor_;
    RasterWriter writer_;
    DamageHistory history_;
    std::optional<RasterPlacement> placement_;
    std::unique_ptr<ShmSegmentX11> segment_;
    std::shared_ptr<PixelBufferPool> pool_;
    std::vector<std::uint8_t> converted_;
    int convertedWidth_ = 0;
    int convertedHeight_ = 0;
    std::optional<ScreenRect> drawnCursor_;
    std::uint32_t drawnCursorSerial_ = 0;
};

} // namespace quillmere

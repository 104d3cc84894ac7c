#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereMac/Geometry/Rect.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// One captured frame. It holds a reference to its pixels; copying the frame
// copies the reference, not the pixels.
struct CapturedFrame {
    PixelBufferRef pixelBuffer;
    // On the raw uptime clock.
    std::uint64_t captureTimeNs = 0;
    std::uint32_t captureEpoch = 0;
    int width = 0;
    int height = 0;
    // The source's running frame number.
    std::uint64_t sequence = 0;
    // What changed since the previous frame, in the buffer's pixels: absent
    // means unknown (take everything as changed), empty means nothing changed.
    std::optional<std::vector<Rect>> dirtyRects;
    // The size of what the frame shows, as the source measures it: a window
    // reshaped within the same raster changes it alone.
    std::optional<Rect> content;
};

} // namespace quillmere

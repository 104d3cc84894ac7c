#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereMac/Geometry/Rect.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// One delivery of a capture stream. Every field but the buffer is an
// attachment the stream may leave out; the source copes with any of them
// missing.
struct ScreenCaptureSample {
    // Frame statuses: 0 complete, 1 idle, 2 blank, 3 suspended, 4 started, 5 stopped.
    std::optional<std::int64_t> status;
    // Present on complete samples.
    PixelBufferRef pixelBuffer;
    // When the content was grabbed, on the raw uptime clock.
    std::optional<std::uint64_t> presentationTimeNs;
    // What changed since the previous sample, in the buffer's pixels.
    std::optional<std::vector<Rect>> dirtyRects;
    // The captured content's own size (its aspect is what refits follow).
    std::optional<Rect> contentRect;
};

} // namespace quillmere

#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "Platform/WindowList/ShareableContent.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// The status a capture stream gives each sample.
struct ScreenCaptureFrameStatus {
    static constexpr std::int64_t complete = 0;
    static constexpr std::int64_t idle = 1;
    static constexpr std::int64_t blank = 2;
    static constexpr std::int64_t suspended = 3;
    static constexpr std::int64_t started = 4;
    static constexpr std::int64_t stopped = 5;
};

// One delivery of a capture stream. Every field but the buffer is an
// attachment the stream may leave out; the source copes with any of them
// missing.
struct ScreenCaptureSample {
    // A ScreenCaptureFrameStatus.
    std::optional<std::int64_t> status;
    // Present on complete samples.
    PixelBufferRef pixelBuffer;
    // When the content was grabbed, on the raw uptime clock.
    std::optional<std::uint64_t> presentationTimeNs;
    // What changed since the previous sample, in the buffer's pixels.
    std::optional<std::vector<ScreenRect>> dirtyRects;
    // The captured content's own size (its aspect is what refits follow).
    std::optional<ScreenRect> contentRect;
};

} // namespace quillmere

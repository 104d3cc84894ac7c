#pragma once

#include "Platform/ScreenCapture/CursorImageX11.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// The system's current cursor as the watcher sees it: an image with a size
// in points and in pixels, and a hot spot in points.
struct SystemCursor {
    double pointWidth = 0;
    double pointHeight = 0;
    std::int32_t pixelWidth = 0;
    std::int32_t pixelHeight = 0;
    double hotSpotX = 0;
    double hotSpotY = 0;
    // Premultiplied ARGB, one word per pixel, rows top to bottom.
    std::vector<std::uint32_t> argb;

    // Points are pixels on X11.
    static SystemCursor fromX11(const CursorImage& image);

    // Tells cursors apart within one run: covers the pixel size, the hot
    // spot and the pixels. None for a cursor without an image.
    std::optional<std::uint64_t> identityKey() const;
    // The shape message: the image as a PNG (straight alpha) of at most
    // 60,000 bytes, its height in points (1 to 256), the hot spot in image
    // pixels. None when any of it cannot be had.
    std::optional<CursorShape> shape() const;

    bool hasImage() const {
        return pixelWidth > 0 && pixelHeight > 0 &&
               argb.size() >= static_cast<std::size_t>(pixelWidth) * static_cast<std::size_t>(pixelHeight);
    }
};

} // namespace quillmere

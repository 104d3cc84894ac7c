#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereMac/Geometry/Rect.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// Tells whether a frame's pixels differ from the last frame remembered, so
// that unchanged frames need not be encoded. Whatever it cannot inspect
// counts as changed. Used on one queue only.
class FrameChangeDetector {
public:
    // rects: the accumulated dirty area, or nothing when all of it may have
    // changed. The rectangles are trusted: pixels outside them are not read.
    bool compare(PixelBuffer& pixelBuffer, const std::optional<std::vector<Rect>>& rects);
    // Takes the buffer (or only the given regions of it, when the raster is
    // unchanged) as the new reference.
    void remember(PixelBuffer& pixelBuffer, const std::optional<std::vector<Rect>>& rects);

    // Nothing remembered: the next frame is a change. The memory stays for
    // the next frame remembered.
    void forget();

    // The remembered frame: one tightly packed byte list per plane.
    const std::vector<std::vector<std::uint8_t>>& planes() const { return planes_; }
    // [pixel format, width, height] of the remembered frame; empty at first.
    const std::vector<std::int64_t>& shape() const { return shape_; }
    // Comparisons settled by the spot rows.
    std::int64_t spotHits() const { return spotHits_; }

private:
    struct Layout {
        const std::uint8_t* base = nullptr;
        std::int64_t rows = 0;
        std::int64_t stride = 0;
        std::int64_t rowBytes = 0;
        std::int64_t columns = 0;
    };
    // The bytes of one plane's region, in both frames.
    struct Span {
        std::int64_t x0 = 0;
        std::int64_t x1 = 0;
        std::int64_t y0 = 0;
        std::int64_t y1 = 0;
    };

    static std::vector<Layout> planeLayouts(const PixelBuffer& pixelBuffer);
    static std::vector<std::int64_t> shapeOf(const PixelBuffer& pixelBuffer);
    static std::optional<Span> region(const Rect& rect, const Layout& layout, int width, int height);
    // Whether the remembered plane has exactly this layout's rows and row bytes.
    bool fits(std::size_t plane, const Layout& layout) const;
    bool rowDiffers(std::size_t plane, const Layout& layout, std::int64_t row) const;
    bool compareWhole(const std::vector<Layout>& layouts);
    bool compareRegions(const PixelBuffer& pixelBuffer, const std::vector<Layout>& layouts,
                        const std::vector<Rect>& rects) const;

    std::vector<std::vector<std::uint8_t>> planes_;
    std::vector<std::vector<std::uint8_t>> spare_; // planes forgotten, kept for the next copy
    std::vector<std::int64_t> shape_;
    std::int64_t spotHits_ = 0;
};

} // namespace quillmere

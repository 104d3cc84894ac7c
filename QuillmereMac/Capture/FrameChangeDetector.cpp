#include "QuillmereMac/Capture/FrameChangeDetector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quillmere {
namespace {

// Unlocks on every way out of a compare or remember.
class ReadLock {
public:
    explicit ReadLock(PixelBuffer& buffer)
        : buffer_(buffer), locked_(buffer.lockBaseAddress(PixelBuffer::Lock::readOnly) == PixelBufferStatus::success) {}
    ~ReadLock() {
        if (locked_) buffer_.unlockBaseAddress(PixelBuffer::Lock::readOnly);
    }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;
    bool locked() const { return locked_; }

private:
    PixelBuffer& buffer_;
    bool locked_;
};

constexpr std::int64_t spotStart = 8;
constexpr std::int64_t spotStep = 16;

} // namespace

std::vector<FrameChangeDetector::Layout> FrameChangeDetector::planeLayouts(const PixelBuffer& buffer) {
    // Bytes per column come from the pixel format where it is known: taken
    // from the stride, they would vary with the row padding, and a frame of
    // the same size but another stride would then compare more bytes per row
    // than were remembered.
    auto layout = [&](const std::uint8_t* base, std::int64_t columns, std::int64_t rows, std::int64_t stride,
                      std::size_t plane) {
        std::int64_t perColumn = PixelBuffer::bytesPerColumn(buffer.pixelFormat(), plane);
        if (perColumn < 1) perColumn = columns >= 1 ? stride / columns : 0;
        Layout result;
        result.base = base;
        result.rows = std::max<std::int64_t>(rows, 0);
        result.stride = stride;
        result.columns = std::max<std::int64_t>(columns, 0);
        result.rowBytes = std::min(result.columns * std::max<std::int64_t>(perColumn, 1), stride);
        return result;
    };

    std::vector<Layout> layouts;
    if (!buffer.isPlanar()) {
        layouts.push_back(layout(buffer.baseAddress(), buffer.width(), buffer.height(),
                                 static_cast<std::int64_t>(buffer.bytesPerRow()), 0));
        return layouts;
    }
    for (std::size_t plane = 0; plane < buffer.planeCount(); ++plane) {
        layouts.push_back(layout(buffer.planeBaseAddress(plane), buffer.planeWidth(plane), buffer.planeHeight(plane),
                                 static_cast<std::int64_t>(buffer.planeBytesPerRow(plane)), plane));
    }
    return layouts;
}

std::vector<std::int64_t> FrameChangeDetector::shapeOf(const PixelBuffer& buffer) {
    return {static_cast<std::int64_t>(buffer.pixelFormat()), buffer.width(), buffer.height()};
}

std::optional<FrameChangeDetector::Span> FrameChangeDetector::region(const Rect& rect, const Layout& layout, int width,
                                                                     int height) {
    if (rect.isEmpty()) return std::nullopt;
    const double columns = static_cast<double>(layout.columns);
    const double rows = static_cast<double>(layout.rows);
    const double xScale = columns / width;
    const double yScale = rows / height;
    const double left = std::floor(rect.minX() * xScale);
    const double right = std::ceil(rect.maxX() * xScale);
    const double top = std::floor(rect.minY() * yScale);
    const double bottom = std::ceil(rect.maxY() * yScale);
    if (!std::isfinite(left) || !std::isfinite(right) || !std::isfinite(top) || !std::isfinite(bottom))
        return std::nullopt;
    const double x0 = std::clamp(left, 0.0, columns);
    const double x1 = std::max(std::min(right, columns), x0);
    const double y0 = std::clamp(top, 0.0, rows);
    const double y1 = std::max(std::min(bottom, rows), y0);
    return Span{static_cast<std::int64_t>(x0), static_cast<std::int64_t>(x1), static_cast<std::int64_t>(y0),
                static_cast<std::int64_t>(y1)};
}

bool FrameChangeDetector::fits(std::size_t plane, const Layout& layout) const {
    return plane < planes_.size() &&
           static_cast<std::int64_t>(planes_[plane].size()) == layout.rows * layout.rowBytes;
}

bool FrameChangeDetector::rowDiffers(std::size_t plane, const Layout& layout, std::int64_t row) const {
    return std::memcmp(layout.base + row * layout.stride, planes_[plane].data() + row * layout.rowBytes,
                       static_cast<std::size_t>(layout.rowBytes)) != 0;
}

bool FrameChangeDetector::compare(PixelBuffer& buffer, const std::optional<std::vector<Rect>>& rects) {
    if (planes_.empty()) return true;
    if (shapeOf(buffer) != shape_) return true;
    if (rects && rects->empty()) return false;
    ReadLock lock(buffer);
    if (!lock.locked()) return true;
    if (!rects) return compareWhole(planeLayouts(buffer));
    if (buffer.width() < 1 || buffer.height() < 1) return false;
    return compareRegions(buffer, planeLayouts(buffer), *rects);
}

bool FrameChangeDetector::compareWhole(const std::vector<Layout>& layouts) {
    if (layouts.empty()) return false;
    for (std::size_t plane = 0; plane < layouts.size(); ++plane) {
        const Layout& layout = layouts[plane];
        if (layout.base == nullptr || !fits(plane, layout)) return true;
        // A plane without rows has nothing to compare (and no row -1 to read).
        if (layout.rows < 1 || layout.rowBytes < 1) continue;
        for (std::int64_t row = std::min(spotStart, layout.rows - 1); row < layout.rows; row += spotStep) {
            if (rowDiffers(plane, layout, row)) {
                ++spotHits_;
                return true;
            }
        }
    }
    for (std::size_t plane = 0; plane < layouts.size(); ++plane) {
        if (layouts[plane].rowBytes < 1) continue;
        for (std::int64_t row = 0; row < layouts[plane].rows; ++row) {
            if (rowDiffers(plane, layouts[plane], row)) return true;
        }
    }
    return false;
}

bool FrameChangeDetector::compareRegions(const PixelBuffer& buffer, const std::vector<Layout>& layouts,
                                         const std::vector<Rect>& rects) const {
    for (std::size_t plane = 0; plane < layouts.size(); ++plane) {
        const Layout& layout = layouts[plane];
        if (layout.base == nullptr || layout.columns < 1) continue;
        if (!fits(plane, layout)) return true;
        const std::int64_t perColumn = layout.rowBytes / layout.columns;
        for (const Rect& rect : rects) {
            const auto span = region(rect, layout, buffer.width(), buffer.height());
            if (!span || span->x1 <= span->x0) continue;
            const std::int64_t offset = span->x0 * perColumn;
            const auto length = static_cast<std::size_t>((span->x1 - span->x0) * perColumn);
            for (std::int64_t row = span->y0; row < span->y1; ++row) {
                if (std::memcmp(layout.base + row * layout.stride + offset,
                                planes_[plane].data() + row * layout.rowBytes + offset, length) != 0)
                    return true;
            }
        }
    }
    return false;
}

void FrameChangeDetector::remember(PixelBuffer& buffer, const std::optional<std::vector<Rect>>& rects) {
    ReadLock lock(buffer);
    if (!lock.locked()) {
        forget();
        return;
    }
    const auto layouts = planeLayouts(buffer);

    bool partial = rects && !planes_.empty() && shapeOf(buffer) == shape_;
    // Regions can only be patched into planes of the same layout.
    for (std::size_t plane = 0; partial && plane < layouts.size(); ++plane) {
        if (layouts[plane].base != nullptr && !fits(plane, layouts[plane])) partial = false;
    }
    if (partial) {
        if (buffer.width() < 1 || buffer.height() < 1) return;
        for (std::size_t plane = 0; plane < layouts.size(); ++plane) {
            const Layout& layout = layouts[plane];
            if (layout.base == nullptr || layout.columns < 1) continue;
            const std::int64_t perColumn = layout.rowBytes / layout.columns;
            for (const Rect& rect : *rects) {
                const auto span = region(rect, layout, buffer.width(), buffer.height());
                if (!span || span->x1 <= span->x0 || span->y1 <= span->y0) continue;
                const std::int64_t offset = span->x0 * perColumn;
                const auto length = static_cast<std::size_t>((span->x1 - span->x0) * perColumn);
                for (std::int64_t row = span->y0; row < span->y1; ++row) {
                    std::memcpy(planes_[plane].data() + row * layout.rowBytes + offset,
                                layout.base + row * layout.stride + offset, length);
                }
            }
        }
        return;
    }

    for (const Layout& layout : layouts) {
        if (layout.base == nullptr) {
            forget();
            return;
        }
    }
    // The planes of the frame remembered or forgotten last, reused in order:
    // a frame's worth allocated anew at each copy would fault its pages in again.
    std::vector<std::vector<std::uint8_t>> copied = planes_.empty() ? std::move(spare_) : std::move(planes_);
    planes_.clear();
    spare_.clear();
    copied.resize(layouts.size());
    for (std::size_t plane = 0; plane < layouts.size(); ++plane) {
        const Layout& layout = layouts[plane];
        copied[plane].resize(static_cast<std::size_t>(layout.rows * layout.rowBytes));
        for (std::int64_t row = 0; layout.rowBytes > 0 && row < layout.rows; ++row) {
            std::memcpy(copied[plane].data() + row * layout.rowBytes, layout.base + row * layout.stride,
                        static_cast<std::size_t>(layout.rowBytes));
        }
    }
    planes_ = std::move(copied);
    shape_ = shapeOf(buffer);
}

void FrameChangeDetector::forget() {
    if (!planes_.empty()) spare_ = std::move(planes_);
    planes_.clear();
    shape_.clear();
}

} // namespace quillmere

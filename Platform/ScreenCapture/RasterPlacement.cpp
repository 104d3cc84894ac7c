#include "Platform/ScreenCapture/RasterPlacement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace quillmere {

namespace {

int evenAtLeastTwo(long long value) {
    value -= value % 2;
    return static_cast<int>(std::max<long long>(value, 2));
}

} // namespace

std::optional<RasterPlacement> RasterPlacement::make(int contentWidth, int contentHeight, int rasterWidth,
                                                     int rasterHeight, bool scalesToFit) {
    if (contentWidth < 1 || contentHeight < 1 || rasterWidth < 1 || rasterHeight < 1) return std::nullopt;
    RasterPlacement placement{contentWidth, contentHeight, rasterWidth, rasterHeight, 0, 0, 0, 0};
    if (!scalesToFit) {
        placement.width = std::min(contentWidth, rasterWidth);
        placement.height = std::min(contentHeight, rasterHeight);
        return placement;
    }
    const long long cw = contentWidth;
    const long long ch = contentHeight;
    // A raster of the content's shape but for one side rounded to even (as
    // stream sizes are) is filled: stretched by under two pixels rather than
    // left with a dark band of a row or two.
    if (std::llabs(cw * rasterHeight - ch * rasterWidth) < 2 * std::max(cw, ch)) {
        placement.width = rasterWidth;
        placement.height = rasterHeight;
        return placement;
    }
    long long width = rasterWidth;
    long long height = rasterHeight;
    if (cw * rasterHeight > ch * rasterWidth) {
        height = (ch * rasterWidth + cw / 2) / cw;
    } else if (cw * rasterHeight < ch * rasterWidth) {
        width = (cw * rasterHeight + ch / 2) / ch;
    }
    // Keep the full side when the raster itself is odd; trim the other to even.
    placement.width = width == rasterWidth ? rasterWidth : std::min(evenAtLeastTwo(width), rasterWidth);
    placement.height = height == rasterHeight ? rasterHeight : std::min(evenAtLeastTwo(height), rasterHeight);
    placement.x = ((rasterWidth - placement.width) / 2) & ~1;
    placement.y = ((rasterHeight - placement.height) / 2) & ~1;
    return placement;
}

ScreenRect RasterPlacement::map(int sourceX, int sourceY, int sourceWidth, int sourceHeight) const {
    const double sx = static_cast<double>(width) / contentWidth;
    const double sy = static_cast<double>(height) / contentHeight;
    const double grow = scales() ? 1.0 : 0.0;
    double left = std::floor(sourceX * sx - grow);
    double top = std::floor(sourceY * sy - grow);
    double right = std::ceil((static_cast<double>(sourceX) + sourceWidth) * sx + grow);
    double bottom = std::ceil((static_cast<double>(sourceY) + sourceHeight) * sy + grow);
    left = std::clamp(left, 0.0, static_cast<double>(width));
    right = std::clamp(right, left, static_cast<double>(width));
    top = std::clamp(top, 0.0, static_cast<double>(height));
    bottom = std::clamp(bottom, top, static_cast<double>(height));
    return {x + static_cast<int>(left), y + static_cast<int>(top), static_cast<int>(right - left),
            static_cast<int>(bottom - top)};
}

} // namespace quillmere

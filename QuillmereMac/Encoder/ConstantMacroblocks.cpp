#include "QuillmereMac/Encoder/ConstantMacroblocks.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

std::vector<std::uint8_t> ConstantMacroblocks::outside(const DirtyArea& changed, int width, int height) {
    if (changed.isAll() || width < 1 || height < 1) return {};
    constexpr int side = 16;
    const int columns = (width + side - 1) / side;
    const int rows = (height + side - 1) / side;
    std::vector<std::uint8_t> map(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), 1);
    for (const Rect& rect : changed.rectangles()) {
        if (rect.isEmpty()) continue;
        // Outward to whole pixels, then to whole macroblocks; rather one too many.
        const double left = std::clamp(std::floor(rect.minX()), 0.0, static_cast<double>(width));
        const double right = std::clamp(std::ceil(rect.maxX()), 0.0, static_cast<double>(width));
        const double top = std::clamp(std::floor(rect.minY()), 0.0, static_cast<double>(height));
        const double bottom = std::clamp(std::ceil(rect.maxY()), 0.0, static_cast<double>(height));
        if (right <= left || bottom <= top) continue;
        const int firstColumn = static_cast<int>(left) / side;
        const int lastColumn = (static_cast<int>(right) - 1) / side;
        const int firstRow = static_cast<int>(top) / side;
        const int lastRow = (static_cast<int>(bottom) - 1) / side;
        for (int row = firstRow; row <= lastRow; ++row) {
            std::fill_n(map.begin() + row * columns + firstColumn, lastColumn - firstColumn + 1, std::uint8_t{0});
        }
    }
    return map;
}

} // namespace quillmere

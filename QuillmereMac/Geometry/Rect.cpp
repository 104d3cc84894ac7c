#include "QuillmereMac/Geometry/Rect.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

bool Rect::isNull() const { return std::isinf(x) || std::isinf(y); }

bool Rect::isEmpty() const { return isNull() || width == 0 || height == 0; }

double Rect::minX() const { return width < 0 ? x + width : x; }
double Rect::maxX() const { return width < 0 ? x : x + width; }
double Rect::minY() const { return height < 0 ? y + height : y; }
double Rect::maxY() const { return height < 0 ? y : y + height; }

Rect Rect::united(const Rect& other) const {
    if (isNull()) return other;
    if (other.isNull()) return *this;
    const double left = std::min(minX(), other.minX());
    const double top = std::min(minY(), other.minY());
    const double right = std::max(maxX(), other.maxX());
    const double bottom = std::max(maxY(), other.maxY());
    return {left, top, right - left, bottom - top};
}

} // namespace quillmere

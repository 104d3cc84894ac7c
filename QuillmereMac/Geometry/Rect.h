#pragma once

#include <limits>

namespace quillmere {

// A rectangle in pixel coordinates, with the null rectangle (no position at
// all) kept apart from an empty one (a position but no area). A negative width
// or height spans to the left or upwards; the edges below account for it.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    static Rect null() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        return {inf, inf, 0, 0};
    }

    bool isNull() const;
    // Null, or without area.
    bool isEmpty() const;

    double minX() const;
    double maxX() const;
    double minY() const;
    double maxY() const;

    // The smallest rectangle holding both; a null side gives the other.
    Rect united(const Rect& other) const;

    bool operator==(const Rect&) const = default;
};

} // namespace quillmere

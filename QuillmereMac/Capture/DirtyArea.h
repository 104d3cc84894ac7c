#pragma once

#include "QuillmereMac/Geometry/Rect.h"

#include <optional>
#include <vector>

namespace quillmere {

// The area dirtied since a remembered frame: a list of rectangles, or all of
// it. The list never holds more than 64 rectangles.
class DirtyArea {
public:
    static constexpr std::size_t maximumRectangles = 64;

    static DirtyArea all() { return DirtyArea(true, {}); }
    static DirtyArea rects(std::vector<Rect> rects) { return DirtyArea(false, std::move(rects)); }

    bool isAll() const { return all_; }
    // Empty for all.
    const std::vector<Rect>& rectangles() const { return rects_; }
    // What a change detector is given: the list, or nothing for all.
    std::optional<std::vector<Rect>> detectorRects() const;

    // Folds one frame's dirty rectangles in; absent means the whole frame.
    void merge(const std::optional<std::vector<Rect>>& rects);

    bool operator==(const DirtyArea&) const = default;

private:
    DirtyArea(bool all, std::vector<Rect> rects) : all_(all), rects_(std::move(rects)) {}

    bool all_;
    std::vector<Rect> rects_;
};

} // namespace quillmere

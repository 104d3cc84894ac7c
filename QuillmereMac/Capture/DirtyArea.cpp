#include "QuillmereMac/Capture/DirtyArea.h"

namespace quillmere {

std::optional<std::vector<Rect>> DirtyArea::detectorRects() const {
    if (all_) return std::nullopt;
    return rects_;
}

void DirtyArea::merge(const std::optional<std::vector<Rect>>& rects) {
    if (all_) return;
    if (!rects) {
        all_ = true;
        rects_.clear();
        return;
    }
    for (const Rect& rect : *rects) {
        if (!rect.isEmpty()) rects_.push_back(rect);
    }
    if (rects_.size() > maximumRectangles) {
        Rect bounds = Rect::null();
        for (const Rect& rect : rects_) bounds = bounds.united(rect);
        rects_.assign(1, bounds);
    }
}

} // namespace quillmere

#include "Platform/ScreenCapture/DamageHistory.h"

#include <algorithm>

namespace quillmere {

namespace {

bool overlap(const ScreenRect& a, const ScreenRect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

ScreenRect bounds(const ScreenRect& a, const ScreenRect& b) {
    const int left = std::min(a.x, b.x);
    const int top = std::min(a.y, b.y);
    return {left, top, std::max(a.x + a.width, b.x + b.width) - left, std::max(a.y + a.height, b.y + b.height) - top};
}

// Overlapping areas become their bounding box, until none overlap: the same
// change seen by several frames is converted once.
void mergeOverlapping(std::vector<ScreenRect>& areas) {
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < areas.size() && !merged; ++i) {
            for (std::size_t j = i + 1; j < areas.size(); ++j) {
                if (!overlap(areas[i], areas[j])) continue;
                areas[i] = bounds(areas[i], areas[j]);
                areas.erase(areas.begin() + static_cast<std::ptrdiff_t>(j));
                merged = true;
                break;
            }
        }
    }
}

} // namespace

std::optional<std::vector<ScreenRect>> DamageHistory::areasToWrite(
    const void* buffer, const std::optional<std::vector<ScreenRect>>& changes) const {
    if (!changes) return std::nullopt;
    const auto found = writtenAt_.find(buffer);
    if (found == writtenAt_.end()) return std::nullopt;
    const std::uint64_t missed = frames_ - found->second;
    if (missed > changes_.size()) return std::nullopt;
    std::vector<ScreenRect> areas = *changes;
    for (std::size_t i = changes_.size() - missed; i < changes_.size(); ++i) {
        if (!changes_[i]) return std::nullopt;
        areas.insert(areas.end(), changes_[i]->begin(), changes_[i]->end());
    }
    if (areas.size() > maximumAreas) return std::nullopt;
    mergeOverlapping(areas);
    return areas;
}

void DamageHistory::written(const void* buffer, std::optional<std::vector<ScreenRect>> changes) {
    changes_.push_back(std::move(changes));
    if (changes_.size() > depth) changes_.pop_front();
    writtenAt_[buffer] = ++frames_;
}

void DamageHistory::forget() {
    changes_.clear();
    writtenAt_.clear();
}

} // namespace quillmere

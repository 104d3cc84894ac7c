#include "Platform/ScreenCapture/DamageHistory.h"

namespace quillmere {

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

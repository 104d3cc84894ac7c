#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace quillmere {

// What changed in the content since each pooled buffer was last written, so
// that a buffer coming back round is brought up to date by converting only
// those areas. A frame whose changes are unknown (nothing, below) makes every
// buffer written before it whole again.
class DamageHistory {
public:
    // Frames remembered; a buffer older than that is written whole.
    static constexpr std::size_t depth = 8;
    // Past this many areas one whole write is cheaper than their seams.
    static constexpr std::size_t maximumAreas = 64;

    // The areas to write into buffer for a frame with these changes, none
    // overlapping another, or nothing for all of it. The buffer is only
    // named, never read.
    std::optional<std::vector<ScreenRect>> areasToWrite(const void* buffer,
                                                        const std::optional<std::vector<ScreenRect>>& changes) const;
    // The frame was written into buffer.
    void written(const void* buffer, std::optional<std::vector<ScreenRect>> changes);
    // Buffers may have been replaced: none is trusted any more.
    void forget();

private:
    std::uint64_t frames_ = 0;
    // The changes of frames frames_ - size + 1 .. frames_, oldest first.
    std::deque<std::optional<std::vector<ScreenRect>>> changes_;
    std::map<const void*, std::uint64_t> writtenAt_;
};

} // namespace quillmere

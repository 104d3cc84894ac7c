#pragma once

#include "QuillmereMac/Capture/DirtyArea.h"

#include <cstdint>
#include <vector>

namespace quillmere {

// Which 16x16 macroblocks of a width x height frame lie wholly outside the
// area that changed: one byte per macroblock in raster order, 1 for constant.
// Empty when the whole frame may have changed.
struct ConstantMacroblocks {
    static std::vector<std::uint8_t> outside(const DirtyArea& changed, int width, int height);
};

} // namespace quillmere

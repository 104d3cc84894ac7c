#pragma once

#include "Platform/WindowList/ShareableContent.h"

#include <optional>

namespace quillmere {

// Where captured content lands in the output raster: scaled to fit keeping
// its aspect and centred (bars where the shapes differ, the raster filled
// where they differ by an even side's rounding), or 1:1 from the top left
// and cropped. Positions and sizes of the placed area are even so that it
// starts and ends on whole 4:2:0 chroma samples.
struct RasterPlacement {
    int contentWidth = 0;
    int contentHeight = 0;
    int rasterWidth = 0;
    int rasterHeight = 0;
    // The placed content, in raster pixels.
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    // Nothing when a side of either is below 1.
    static std::optional<RasterPlacement> make(int contentWidth, int contentHeight, int rasterWidth,
                                               int rasterHeight, bool scalesToFit);

    bool scales() const { return width != contentWidth || height != contentHeight; }
    bool fillsRaster() const { return x == 0 && y == 0 && width == rasterWidth && height == rasterHeight; }

    // A rectangle of content pixels as the raster pixels it touches: rounded
    // outwards (and grown by one pixel when scaled, for the filter's reach),
    // clipped to the placed area. Empty when it falls outside.
    ScreenRect map(int sourceX, int sourceY, int sourceWidth, int sourceHeight) const;

    bool operator==(const RasterPlacement&) const = default;
};

} // namespace quillmere

#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "Platform/ScreenCapture/BandWorkers.h"
#include "Platform/ScreenCapture/RasterPlacement.h"
#include "Platform/WindowList/ShareableContent.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmere {

// 32-bit pixels in memory order B, G, R, X (what X servers hand out at depth
// 24 and 32).
struct BgraImage {
    const std::uint8_t* pixels = nullptr;
    std::size_t bytesPerRow = 0;
    int width = 0;
    int height = 0;
};

// Writes captured pixels into an NV12 video-range buffer in BT.709 (what the
// encoder signals), scaled to their placement, with black bars around it.
class RasterWriter {
public:
    // Large pictures are converted in up to maximumBands bands at once, one
    // thread each: a 4K frame on one thread alone takes a good part of a
    // 60 fps frame interval.
    explicit RasterWriter(int maximumBands = 1);

    // Bands worth waking a thread for, at most maximum.
    static int bandsFor(int width, int height, int maximum);

    // False when the buffer is not NV12 of the placement's raster or cannot
    // be locked. With changed areas (content pixels) the buffer is taken to
    // hold the picture as it was before them, and only they are converted
    // again (unless the picture is scaled).
    bool write(const BgraImage& image, const RasterPlacement& placement, PixelBuffer& buffer,
               const std::vector<ScreenRect>* changed = nullptr);

    // The threads the bands run on, for other work on the same pictures.
    BandWorkers& bands() { return bands_; }

    // The conversion itself, for a width x height area; odd sizes repeat the
    // last column or row for chroma.
    static void convert(const std::uint8_t* bgra, std::size_t bgraStride, int width, int height, std::uint8_t* luma,
                        std::size_t lumaStride, std::uint8_t* chroma, std::size_t chromaStride);

private:
    std::vector<std::uint8_t> scaled_;
    BandWorkers bands_;
};

} // namespace quillmere

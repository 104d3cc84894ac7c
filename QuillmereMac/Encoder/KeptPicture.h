#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"

#include <cstdint>
#include <vector>

namespace quillmere {

// A copy of the picture last handed to an encoder, so that macroblocks in a
// damaged area whose pixels did not change can be proved constant. Damage is
// coarse (whole windows or columns redrawn with mostly the same pixels); a
// compare of a block costs far less than the encoder's analysis of it.
class KeptPicture {
public:
    static constexpr int macroblockSide = 16;

    // map: one byte per macroblock in raster order, 1 for constant, as the
    // encoder is told; empty when all of the frame may have changed. Marks
    // constant the blocks not yet so whose pixels equal the kept picture's and
    // keeps the frame's pixels as the new picture. The blocks already marked
    // are trusted to equal it. Returns the blocks it marked. The frame must
    // stay unwritten during the call.
    int keep(const PixelBuffer& frame, std::vector<std::uint8_t>& map);
    void forget();

private:
    // One plane of a frame, and what of it one macroblock covers.
    struct Plane {
        const std::uint8_t* base = nullptr;
        std::size_t stride = 0;
        int rows = 0;
        int rowBytes = 0;
        int blockRows = 0;
        int blockBytes = 0;
    };

    static std::vector<Plane> planesOf(const PixelBuffer& frame);
    bool fits(const PixelBuffer& frame, const std::vector<Plane>& planes) const;
    void copyWhole(const PixelBuffer& frame, const std::vector<Plane>& planes);
    // One line of a plane across a row of macroblocks: marks in differs the
    // blocks (not constant) whose line differs and copies in the lines of
    // those found differing.
    static void compareLine(const Plane& plane, std::vector<std::uint8_t>& kept, int line,
                            const std::uint8_t* constant, std::vector<std::uint8_t>& differs);

    std::uint32_t pixelFormat_ = 0;
    int width_ = 0;
    int height_ = 0;
    // Tightly packed rows, one list per plane; empty while nothing is kept.
    std::vector<std::vector<std::uint8_t>> planes_;
    // The last frame came whole: a whole copy of the next whole one would
    // likely go unused (a source without damage), so none is kept.
    bool lastWhole_ = false;
};

} // namespace quillmere

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere {

// How sharp the decoder's picture is, macroblock by macroblock: the
// quantizer each one was last coded at. A still picture is refined at
// falling quantizers down to a floor; the encoder skips what already is as
// fine as a refinement's quantizer. Each still spell (from the last new
// content on) may spend on refinements two seconds of the rate: a high rate
// refines to the floor, a low one stops about where a keyframe given that
// much would be. The encoder may code some rows coarser than the frame's
// quantizer when its buffer runs short, and they cannot be told apart: so a
// refinement at the floor that still cost bits asks for one more, and the
// picture is settled only when one comes out (nearly) empty.
class RefinementLadder {
public:
    static constexpr int coarsest = 51;
    // What a still spell may spend on refinements, in seconds of the rate.
    static constexpr std::int64_t spellSeconds = 2;

    RefinementLadder(std::size_t macroblocks, int floor, std::int64_t bitsPerSecond);

    void setBitrate(std::int64_t bitsPerSecond) { spellBudgetBits_ = spellSeconds * bitsPerSecond; }

    // A frame came out at this quantizer. constantMacroblocks as the encoder
    // was told (empty: every one coded); a refinement codes only what was
    // coarser than its quantizer.
    void coded(bool keyframe, bool refinement, std::span<const std::uint8_t> constantMacroblocks, int quantizer,
               std::size_t bytes);
    // A frame the encoder refused or lost: nothing is known any more.
    void forget();

    // Whether a refinement would sharpen the picture.
    bool refinable() const;

private:
    void recount();

    std::vector<std::uint8_t> quantizers_;
    const int floor_;
    // At most this many bytes a frame codes nothing.
    const std::size_t emptyBytes_;
    int coarsest_ = coarsest;
    bool confirm_ = false;
    std::int64_t spellBudgetBits_;
    std::int64_t spentBits_ = 0;
};

} // namespace quillmere

#include "QuillmereMac/Encoder/RefinementLadder.h"

#include <algorithm>

namespace quillmere {

RefinementLadder::RefinementLadder(std::size_t macroblocks, int floor, std::int64_t bitsPerSecond)
    : quantizers_(macroblocks, static_cast<std::uint8_t>(coarsest)),
      floor_(floor),
      // Slice headers and runs of skipped macroblocks.
      emptyBytes_(64 + macroblocks / 64),
      spellBudgetBits_(spellSeconds * bitsPerSecond) {}

void RefinementLadder::coded(bool keyframe, bool refinement, std::span<const std::uint8_t> constantMacroblocks,
                             int quantizer, std::size_t bytes) {
    const auto q = static_cast<std::uint8_t>(std::clamp(quantizer, 0, coarsest));
    const bool mapped = !keyframe && constantMacroblocks.size() == quantizers_.size();
    for (std::size_t i = 0; i < quantizers_.size(); ++i) {
        if (mapped && constantMacroblocks[i] != 0) {
            // Skipped, unless coarser than a refinement's quantizer.
            if (refinement) quantizers_[i] = std::min(quantizers_[i], q);
        } else {
            quantizers_[i] = q;
        }
    }
    recount();
    if (refinement) {
        confirm_ = quantizer <= floor_ && bytes > emptyBytes_;
        spentBits_ += static_cast<std::int64_t>(bytes) * 8;
    } else {
        // New content at the floor is as fine as a refinement would make it.
        confirm_ = false;
        spentBits_ = 0;
    }
}

void RefinementLadder::forget() {
    std::fill(quantizers_.begin(), quantizers_.end(), static_cast<std::uint8_t>(coarsest));
    coarsest_ = coarsest;
    confirm_ = false;
    spentBits_ = 0;
}

void RefinementLadder::recount() {
    coarsest_ = quantizers_.empty() ? 0 : *std::max_element(quantizers_.begin(), quantizers_.end());
}

bool RefinementLadder::refinable() const {
    return (coarsest_ > floor_ || confirm_) && spentBits_ < spellBudgetBits_;
}

} // namespace quillmere

#include "QuillmereViewer/TestPatternCheck.h"

#include "QuillmereWire/SequenceNumber.h"

#include <fmt/format.h>

#include <algorithm>

namespace quillmere {
namespace {

// Video-range black is 16 and white 235: the middle tells them apart even
// after lossy coding.
constexpr std::uint8_t whiteAbove = 125;

} // namespace

std::uint32_t TestPatternCheck::read(const DecodedPicture& picture) {
    const int width = picture.width();
    const int height = picture.height();
    if (width <= 0 || height <= 0) return 0;
    const int cell = width < 96 ? 2 : width / 32;
    // The middle row of the strip, away from the edge the codec blurs.
    const int row = std::max(0, height - (cell + 1) / 2);
    std::uint32_t number = 0;
    for (int bit = 0; bit < 32 && bit * cell < width; ++bit) {
        const int x = std::min(bit * cell + cell / 2, width - 1);
        if (picture.luma(x, row) > whiteAbove) number |= 1u << bit;
    }
    return number;
}

bool TestPatternCheck::check(const DecodedPicture& picture) { return check(read(picture)); }

bool TestPatternCheck::check(std::uint32_t number) {
    ++checked_;
    if (!first_) first_ = number;
    if (last_ && !isNewer(number, *last_)) {
        ++mismatches_;
        if (!firstMismatch_) firstMismatch_ = fmt::format("frame {} after {}", number, *last_);
        return false;
    }
    if (last_) skipped_ += static_cast<std::uint32_t>(number - *last_) - 1;
    last_ = number;
    return true;
}

} // namespace quillmere

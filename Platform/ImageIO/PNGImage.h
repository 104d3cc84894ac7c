#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

// An 8-bit RGBA picture (straight alpha, rows top to bottom) and its PNG
// form, through libpng.
struct PNGImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    // width × height × 4 bytes: R, G, B, A.
    std::vector<std::uint8_t> rgba;

    // None for an empty picture or pixels that do not match its size.
    std::optional<std::vector<std::uint8_t>> encode() const;
    // None for anything that is not a whole PNG, or one over 16384 pixels
    // a side.
    static std::optional<PNGImage> decode(std::span<const std::uint8_t> png);

    bool operator==(const PNGImage&) const = default;
};

} // namespace quillmere

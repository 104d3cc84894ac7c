#pragma once

#include <cstdint>

namespace quillmere {

// Wrap-around order of 32-bit sequence numbers (frames, epochs, generations):
// a is newer than b when a - b, read as a signed 32-bit number, is positive.
// At a distance of exactly 2^31 neither is newer.
constexpr bool isNewer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

} // namespace quillmere

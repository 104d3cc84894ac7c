#pragma once

#include <cstdint>

namespace quillmere {

// Frame numbers, epochs, generations and request identifiers are 32-bit
// counters that wrap. a is newer than b when a - b, taken modulo 2^32 and
// read as signed, is positive: 0 follows 0xFFFFFFFF, an equal number is not
// newer, and two numbers exactly 2^31 apart are neither newer nor older.
constexpr bool isNewer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

} // namespace quillmere

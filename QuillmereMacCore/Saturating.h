#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quillmere::saturating {

// Truncation toward zero that cannot leave the target range: a value out of
// range (or NaN) would otherwise make the conversion undefined.
inline std::uint32_t truncatedU32(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(value);
}

inline std::int64_t truncatedI64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

inline std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

inline std::int64_t multiply(std::int64_t a, std::int64_t b) {
    std::int64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::int64_t>::max();
    return product;
}

} // namespace quillmere::saturating

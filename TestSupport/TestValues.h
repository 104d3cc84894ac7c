#pragma once

// Small values every test writes the same way.

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <initializer_list>

namespace quillmere::testing {

// Nanoseconds, for times kept as counts of the uptime clock.
inline constexpr std::uint64_t ms = 1'000'000;
inline constexpr std::uint64_t second = 1'000'000'000;

inline Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

} // namespace quillmere::testing

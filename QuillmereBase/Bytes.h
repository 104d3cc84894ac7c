#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quillmere {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView viewOf(const Bytes& bytes) { return ByteView(bytes.data(), bytes.size()); }

} // namespace quillmere

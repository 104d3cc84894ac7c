#pragma once

#include <cstdint>

namespace quillmere {

enum class SurfaceTier : std::uint8_t { focused, secondary, idle };

// What one scheduled surface gets of the session's frame rate and bandwidth.
struct SurfaceAllocation {
    SurfaceTier tier = SurfaceTier::secondary;
    std::int64_t fps = 0;
    std::uint32_t bitrateKbps = 0;

    bool operator==(const SurfaceAllocation&) const = default;
};

} // namespace quillmere

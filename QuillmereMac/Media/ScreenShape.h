#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere {

// The main display's shape a client may ask for: standard, 3440 x 1440 or
// 5120 x 1440.
enum class ScreenShape : std::uint8_t { standard = 0, wide = 1, ultrawide = 2 };

constexpr std::optional<ScreenShape> screenShapeFromRaw(std::uint8_t raw) {
    if (raw > 2) return std::nullopt;
    return static_cast<ScreenShape>(raw);
}

constexpr std::string_view screenShapeName(ScreenShape shape) {
    switch (shape) {
    case ScreenShape::standard: return "standard";
    case ScreenShape::wide: return "wide";
    case ScreenShape::ultrawide: return "ultrawide";
    }
    return "standard";
}

} // namespace quillmere

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

constexpr ScreenShape allScreenShapes[] = {ScreenShape::standard, ScreenShape::wide, ScreenShape::ultrawide};

// How logs and display names call a shape.
constexpr std::string_view screenShapeLabel(ScreenShape shape) {
    switch (shape) {
    case ScreenShape::standard: return "Standard";
    case ScreenShape::wide: return "Wide 21:9";
    case ScreenShape::ultrawide: return "Ultrawide 32:9";
    }
    return "Standard";
}

// The virtual display a wide shape is laid out on, at 60 Hz; nothing for
// the standard shape, which is the real displays'.
struct ScreenShapePixels {
    std::int64_t width = 0;
    std::int64_t height = 0;
};
constexpr std::optional<ScreenShapePixels> screenShapePixels(ScreenShape shape) {
    switch (shape) {
    case ScreenShape::standard: return std::nullopt;
    case ScreenShape::wide: return ScreenShapePixels{3440, 1440};
    case ScreenShape::ultrawide: return ScreenShapePixels{5120, 1440};
    }
    return std::nullopt;
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

#include "QuillmereMac/Cursor/SystemCursor.h"

#include "Platform/ImageIO/PNGImage.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quillmere {

namespace {

// FNV-1a over the words fed in.
class Hasher {
public:
    void add(std::uint64_t word) {
        for (int i = 0; i < 8; ++i) {
            value_ ^= (word >> (8 * i)) & 0xFF;
            value_ *= 0x100000001B3ULL;
        }
    }
    std::uint64_t value() const { return value_; }

private:
    std::uint64_t value_ = 0xCBF29CE484222325ULL;
};

std::uint64_t bitsOf(double value) { return std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value); }

// Rounds half away from zero into 0...65535; what is not a number is 0.
std::uint16_t clampedPixel(double value) {
    if (!std::isfinite(value)) return value > 0 ? 65535 : 0;
    return static_cast<std::uint16_t>(std::clamp(std::round(value), 0.0, 65535.0));
}

std::uint8_t straight(std::uint32_t premultiplied, std::uint32_t alpha) {
    if (alpha == 0) return 0;
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (premultiplied * 255 + alpha / 2) / alpha));
}

} // namespace

SystemCursor SystemCursor::fromX11(const CursorImage& image) {
    SystemCursor cursor;
    cursor.pointWidth = image.width;
    cursor.pointHeight = image.height;
    cursor.pixelWidth = image.width;
    cursor.pixelHeight = image.height;
    cursor.hotSpotX = image.hotX;
    cursor.hotSpotY = image.hotY;
    cursor.argb = image.argb;
    return cursor;
}

std::optional<std::uint64_t> SystemCursor::identityKey() const {
    if (!(pointWidth > 0) || !hasImage()) return std::nullopt;
    Hasher hasher;
    hasher.add(static_cast<std::uint64_t>(pixelWidth));
    hasher.add(static_cast<std::uint64_t>(pixelHeight));
    hasher.add(bitsOf(hotSpotX));
    hasher.add(bitsOf(hotSpotY));
    for (const std::uint32_t pixel : argb) hasher.add(pixel);
    return hasher.value();
}

std::optional<CursorShape> SystemCursor::shape() const {
    if (!(pointWidth > 0) || !(pointHeight > 0) || !hasImage()) return std::nullopt;
    PNGImage image{pixelWidth, pixelHeight, {}};
    const std::size_t pixels = static_cast<std::size_t>(pixelWidth) * static_cast<std::size_t>(pixelHeight);
    image.rgba.reserve(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint32_t word = argb[i];
        const std::uint32_t alpha = word >> 24;
        image.rgba.push_back(straight((word >> 16) & 0xFF, alpha));
        image.rgba.push_back(straight((word >> 8) & 0xFF, alpha));
        image.rgba.push_back(straight(word & 0xFF, alpha));
        image.rgba.push_back(static_cast<std::uint8_t>(alpha));
    }
    auto png = image.encode();
    if (!png || png->empty() || png->size() > CursorShape::maxPNGBytes) return std::nullopt;

    const double roundedHeight = std::round(pointHeight);
    if (roundedHeight < 1 || roundedHeight > CursorShape::maxPointHeight) return std::nullopt;
    const double scale = static_cast<double>(pixelHeight) / pointHeight;
    CursorShape shape;
    shape.hotspotX = clampedPixel(scale * hotSpotX);
    shape.hotspotY = clampedPixel(scale * hotSpotY);
    shape.pointHeight = static_cast<std::uint16_t>(roundedHeight);
    shape.png = std::move(*png);
    return shape;
}

} // namespace quillmere

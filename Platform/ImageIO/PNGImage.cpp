#include "Platform/ImageIO/PNGImage.h"

#include <png.h>

#include <cstring>

namespace quillmere {

namespace {

// Larger pictures are refused before their pixels are allocated.
constexpr png_uint_32 maxSide = 16384;

png_image header(std::int32_t width, std::int32_t height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    return image;
}

} // namespace

std::optional<std::vector<std::uint8_t>> PNGImage::encode() const {
    if (width <= 0 || height <= 0 || rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4)
        return std::nullopt;
    png_image image = header(width, height);
    png_alloc_size_t size = 0;
    // The first call measures, the second writes.
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr) || size == 0) {
        png_image_free(&image);
        return std::nullopt;
    }
    std::vector<std::uint8_t> png(size);
    image = header(width, height);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    png.resize(size);
    return png;
}

std::optional<PNGImage> PNGImage::decode(std::span<const std::uint8_t> png) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png.empty() || !png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
    if (image.width > maxSide || image.height > maxSide) {
        png_image_free(&image);
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    PNGImage decoded;
    decoded.width = static_cast<std::int32_t>(image.width);
    decoded.height = static_cast<std::int32_t>(image.height);
    decoded.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return decoded;
}

} // namespace quillmere

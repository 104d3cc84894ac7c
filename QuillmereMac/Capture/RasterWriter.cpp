#include "QuillmereMac/Capture/RasterWriter.h"

#include <libyuv/scale_argb.h>

#include <cstring>

namespace quillmere {

namespace {

// BT.709, video range, in 1/32768: Y = 16 + 219/255 (0.2126 R + 0.7152 G + 0.0722 B),
// Cb and Cr = 128 + 224/255 of the scaled colour differences. Each chroma row
// sums to 0 so that greys carry no colour.
constexpr std::int32_t yR = 5983, yG = 20127, yB = 2032;
constexpr std::int32_t uR = -3298, uG = -11094, uB = 14392;
constexpr std::int32_t vR = 14392, vG = -13072, vB = -1320;
constexpr std::int32_t lumaBias = (16 << 15) + (1 << 14);
constexpr std::int32_t chromaBias = (128 << 17) + (1 << 16);

constexpr std::uint8_t blackLuma = 16;
constexpr std::uint8_t noColour = 128;

void lumaRow(const std::uint8_t* __restrict bgra, std::uint8_t* __restrict luma, int width) {
    for (int i = 0; i < width; ++i) {
        const std::int32_t b = bgra[4 * i];
        const std::int32_t g = bgra[4 * i + 1];
        const std::int32_t r = bgra[4 * i + 2];
        luma[i] = static_cast<std::uint8_t>((yR * r + yG * g + yB * b + lumaBias) >> 15);
    }
}

// One row of CbCr pairs from two rows of pixels (the same row twice at the
// bottom of an odd height).
void chromaRow(const std::uint8_t* __restrict top, const std::uint8_t* __restrict bottom,
               std::uint8_t* __restrict chroma, int width) {
    const int pairs = width / 2;
    for (int i = 0; i < pairs; ++i) {
        const int p = 8 * i;
        const std::int32_t b = top[p] + top[p + 4] + bottom[p] + bottom[p + 4];
        const std::int32_t g = top[p + 1] + top[p + 5] + bottom[p + 1] + bottom[p + 5];
        const std::int32_t r = top[p + 2] + top[p + 6] + bottom[p + 2] + bottom[p + 6];
        chroma[2 * i] = static_cast<std::uint8_t>((uR * r + uG * g + uB * b + chromaBias) >> 17);
        chroma[2 * i + 1] = static_cast<std::uint8_t>((vR * r + vG * g + vB * b + chromaBias) >> 17);
    }
    if (width % 2 != 0) {
        const int p = 4 * (width - 1);
        const std::int32_t b = 2 * (top[p] + bottom[p]);
        const std::int32_t g = 2 * (top[p + 1] + bottom[p + 1]);
        const std::int32_t r = 2 * (top[p + 2] + bottom[p + 2]);
        chroma[2 * pairs] = static_cast<std::uint8_t>((uR * r + uG * g + uB * b + chromaBias) >> 17);
        chroma[2 * pairs + 1] = static_cast<std::uint8_t>((vR * r + vG * g + vB * b + chromaBias) >> 17);
    }
}

void fillLuma(std::uint8_t* plane, std::size_t stride, int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return;
    for (int row = y; row < y + height; ++row) std::memset(plane + row * stride + x, blackLuma, width);
}

// x, width in pixels; y, height in chroma rows.
void fillChroma(std::uint8_t* plane, std::size_t stride, int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return;
    const int begin = x / 2 * 2;
    const int end = (x + width + 1) / 2 * 2;
    for (int row = y; row < y + height; ++row) std::memset(plane + row * stride + begin, noColour, end - begin);
}

} // namespace

void RasterWriter::convert(const std::uint8_t* bgra, std::size_t bgraStride, int width, int height,
                           std::uint8_t* luma, std::size_t lumaStride, std::uint8_t* chroma,
                           std::size_t chromaStride) {
    for (int row = 0; row < height; row += 2) {
        const std::uint8_t* top = bgra + row * bgraStride;
        const bool pair = row + 1 < height;
        const std::uint8_t* bottom = pair ? top + bgraStride : top;
        lumaRow(top, luma + row * lumaStride, width);
        if (pair) lumaRow(bottom, luma + (row + 1) * lumaStride, width);
        chromaRow(top, bottom, chroma + (row / 2) * chromaStride, width);
    }
}

bool RasterWriter::write(const BgraImage& image, const RasterPlacement& placement, PixelBuffer& buffer) {
    if (buffer.pixelFormat() != PixelFormat::nv12VideoRange || buffer.width() != placement.rasterWidth ||
        buffer.height() != placement.rasterHeight || image.width < placement.contentWidth ||
        image.height < placement.contentHeight) {
        return false;
    }
    if (buffer.lockBaseAddress(PixelBuffer::Lock::readWrite) != PixelBufferStatus::success) return false;
    std::uint8_t* luma = buffer.planeBaseAddress(0);
    std::uint8_t* chroma = buffer.planeBaseAddress(1);
    const std::size_t lumaStride = buffer.planeBytesPerRow(0);
    const std::size_t chromaStride = buffer.planeBytesPerRow(1);

    const std::uint8_t* source = image.pixels;
    std::size_t sourceStride = image.bytesPerRow;
    if (placement.scales()) {
        scaled_.resize(static_cast<std::size_t>(placement.width) * placement.height * 4);
        libyuv::ARGBScale(image.pixels, static_cast<int>(image.bytesPerRow), placement.contentWidth,
                          placement.contentHeight, scaled_.data(), placement.width * 4, placement.width,
                          placement.height, libyuv::kFilterBilinear);
        source = scaled_.data();
        sourceStride = static_cast<std::size_t>(placement.width) * 4;
    }
    convert(source, sourceStride, placement.width, placement.height,
            luma + static_cast<std::size_t>(placement.y) * lumaStride + placement.x, lumaStride,
            chroma + static_cast<std::size_t>(placement.y / 2) * chromaStride + placement.x, chromaStride);

    if (!placement.fillsRaster()) {
        const int rasterW = placement.rasterWidth;
        const int rasterH = placement.rasterHeight;
        const int right = placement.x + placement.width;
        const int bottom = placement.y + placement.height;
        fillLuma(luma, lumaStride, 0, 0, rasterW, placement.y);
        fillLuma(luma, lumaStride, 0, bottom, rasterW, rasterH - bottom);
        fillLuma(luma, lumaStride, 0, placement.y, placement.x, placement.height);
        fillLuma(luma, lumaStride, right, placement.y, rasterW - right, placement.height);
        const int chromaRows = (rasterH + 1) / 2;
        const int placedTop = placement.y / 2;
        const int placedBottom = (bottom + 1) / 2;
        fillChroma(chroma, chromaStride, 0, 0, rasterW, placedTop);
        fillChroma(chroma, chromaStride, 0, placedBottom, rasterW, chromaRows - placedBottom);
        fillChroma(chroma, chromaStride, 0, placedTop, placement.x, placedBottom - placedTop);
        fillChroma(chroma, chromaStride, right, placedTop, rasterW - right, placedBottom - placedTop);
    }
    buffer.unlockBaseAddress(PixelBuffer::Lock::readWrite);
    return true;
}

} // namespace quillmere

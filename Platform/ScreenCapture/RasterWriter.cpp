#include "Platform/ScreenCapture/RasterWriter.h"

#include <libyuv/scale_argb.h>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
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

void lumaPixels(const std::uint8_t* bgra, std::uint8_t* luma, int begin, int end) {
    for (int i = begin; i < end; ++i) {
        const std::int32_t b = bgra[4 * i];
        const std::int32_t g = bgra[4 * i + 1];
        const std::int32_t r = bgra[4 * i + 2];
        luma[i] = static_cast<std::uint8_t>((yR * r + yG * g + yB * b + lumaBias) >> 15);
    }
}

// Chroma pairs [begin, end) from two rows (the same row twice at the bottom of
// an odd height); a last odd column pairs with itself.
void chromaPairs(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma, int begin, int end,
                 int width) {
    for (int i = begin; i < end; ++i) {
        const int p = 8 * i;
        const int q = 2 * i + 1 < width ? p + 4 : p;
        const std::int32_t b = top[p] + top[q] + bottom[p] + bottom[q];
        const std::int32_t g = top[p + 1] + top[q + 1] + bottom[p + 1] + bottom[q + 1];
        const std::int32_t r = top[p + 2] + top[q + 2] + bottom[p + 2] + bottom[q + 2];
        chroma[2 * i] = static_cast<std::uint8_t>((uR * r + uG * g + uB * b + chromaBias) >> 17);
        chroma[2 * i + 1] = static_cast<std::uint8_t>((vR * r + vG * g + vB * b + chromaBias) >> 17);
    }
}

#if defined(__SSE2__)

// The same arithmetic as the scalar loops, bit for bit, 16 pixels (or 8
// chroma pairs) at a time: pmaddwd takes each pixel's B, G, R, X as 16-bit
// lanes against the coefficients.
inline __m128i sumPairs(__m128i a, __m128i b) {
    const __m128 fa = _mm_castsi128_ps(a);
    const __m128 fb = _mm_castsi128_ps(b);
    return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                         _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Four pixels (16 bytes) to four 32-bit dot products with the coefficients.
inline __m128i dot4(__m128i pixels, __m128i coefficients) {
    const __m128i zero = _mm_setzero_si128();
    return sumPairs(_mm_madd_epi16(_mm_unpacklo_epi8(pixels, zero), coefficients),
                    _mm_madd_epi16(_mm_unpackhi_epi8(pixels, zero), coefficients));
}

int lumaVector(const std::uint8_t* bgra, std::uint8_t* luma, int width) {
    const __m128i coefficients = _mm_setr_epi16(yB, yG, yR, 0, yB, yG, yR, 0);
    const __m128i bias = _mm_set1_epi32(lumaBias);
    int i = 0;
    for (; i + 16 <= width; i += 16) {
        __m128i sums[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgra + 4 * (i + 4 * k)));
            sums[k] = _mm_srai_epi32(_mm_add_epi32(dot4(pixels, coefficients), bias), 15);
        }
        const __m128i low = _mm_packs_epi32(sums[0], sums[1]);
        const __m128i high = _mm_packs_epi32(sums[2], sums[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + i), _mm_packus_epi16(low, high));
    }
    return i;
}

// Four pixels of two rows to two pairs' B, G, R, X sums as 16-bit lanes.
inline __m128i pairSums(const std::uint8_t* top, const std::uint8_t* bottom) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom));
    const __m128i low = _mm_add_epi16(_mm_unpacklo_epi8(t, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i high = _mm_add_epi16(_mm_unpackhi_epi8(t, zero), _mm_unpackhi_epi8(b, zero));
    return _mm_add_epi16(_mm_unpacklo_epi64(low, high), _mm_unpackhi_epi64(low, high));
}

int chromaVector(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma, int width) {
    const __m128i uCoefficients = _mm_setr_epi16(uB, uG, uR, 0, uB, uG, uR, 0);
    const __m128i vCoefficients = _mm_setr_epi16(vB, vG, vR, 0, vB, vG, vR, 0);
    const __m128i bias = _mm_set1_epi32(chromaBias);
    int pair = 0;
    // Eight pixels (four pairs) of each row per step.
    for (; 2 * pair + 8 <= width; pair += 4) {
        const __m128i first = pairSums(top + 8 * pair, bottom + 8 * pair);
        const __m128i second = pairSums(top + 8 * pair + 16, bottom + 8 * pair + 16);
        const __m128i u = _mm_srai_epi32(
            _mm_add_epi32(sumPairs(_mm_madd_epi16(first, uCoefficients), _mm_madd_epi16(second, uCoefficients)), bias),
            17);
        const __m128i v = _mm_srai_epi32(
            _mm_add_epi32(sumPairs(_mm_madd_epi16(first, vCoefficients), _mm_madd_epi16(second, vCoefficients)), bias),
            17);
        const __m128i interleaved = _mm_packs_epi32(_mm_unpacklo_epi32(u, v), _mm_unpackhi_epi32(u, v));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(chroma + 2 * pair), _mm_packus_epi16(interleaved, interleaved));
    }
    return pair;
}

// Twice the width where the processor has AVX2. The 256-bit instructions work
// on two 128-bit lanes apart, so each result is put back in pixel order by a
// final cross-lane permutation.
#define QUILLMERE_AVX2 __attribute__((target("avx2")))

QUILLMERE_AVX2 inline __m256i sumPairs256(__m256i a, __m256i b) {
    const __m256 fa = _mm256_castsi256_ps(a);
    const __m256 fb = _mm256_castsi256_ps(b);
    return _mm256_add_epi32(_mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0))),
                            _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1))));
}

QUILLMERE_AVX2 inline __m256i dot8(__m256i pixels, __m256i coefficients) {
    const __m256i zero = _mm256_setzero_si256();
    return sumPairs256(_mm256_madd_epi16(_mm256_unpacklo_epi8(pixels, zero), coefficients),
                       _mm256_madd_epi16(_mm256_unpackhi_epi8(pixels, zero), coefficients));
}

QUILLMERE_AVX2 int lumaVector256(const std::uint8_t* bgra, std::uint8_t* luma, int width) {
    const __m256i coefficients = _mm256_setr_epi16(yB, yG, yR, 0, yB, yG, yR, 0, yB, yG, yR, 0, yB, yG, yR, 0);
    const __m256i bias = _mm256_set1_epi32(lumaBias);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int i = 0;
    for (; i + 32 <= width; i += 32) {
        __m256i sums[4];
        for (int k = 0; k < 4; ++k) {
            const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra + 4 * (i + 8 * k)));
            sums[k] = _mm256_srai_epi32(_mm256_add_epi32(dot8(pixels, coefficients), bias), 15);
        }
        const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(sums[0], sums[1]),
                                                   _mm256_packs_epi32(sums[2], sums[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma + i), _mm256_permutevar8x32_epi32(packed, order));
    }
    return i;
}

QUILLMERE_AVX2 inline __m256i pairSums256(const std::uint8_t* top, const std::uint8_t* bottom) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom));
    const __m256i low = _mm256_add_epi16(_mm256_unpacklo_epi8(t, zero), _mm256_unpacklo_epi8(b, zero));
    const __m256i high = _mm256_add_epi16(_mm256_unpackhi_epi8(t, zero), _mm256_unpackhi_epi8(b, zero));
    return _mm256_add_epi16(_mm256_unpacklo_epi64(low, high), _mm256_unpackhi_epi64(low, high));
}

QUILLMERE_AVX2 int chromaVector256(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma,
                                   int width) {
    const __m256i uCoefficients = _mm256_setr_epi16(uB, uG, uR, 0, uB, uG, uR, 0, uB, uG, uR, 0, uB, uG, uR, 0);
    const __m256i vCoefficients = _mm256_setr_epi16(vB, vG, vR, 0, vB, vG, vR, 0, vB, vG, vR, 0, vB, vG, vR, 0);
    const __m256i bias = _mm256_set1_epi32(chromaBias);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int pair = 0;
    // Sixteen pixels (eight pairs) of each row per step.
    for (; 2 * pair + 16 <= width; pair += 8) {
        const __m256i first = pairSums256(top + 8 * pair, bottom + 8 * pair);
        const __m256i second = pairSums256(top + 8 * pair + 32, bottom + 8 * pair + 32);
        const __m256i u = _mm256_srai_epi32(
            _mm256_add_epi32(
                sumPairs256(_mm256_madd_epi16(first, uCoefficients), _mm256_madd_epi16(second, uCoefficients)), bias),
            17);
        const __m256i v = _mm256_srai_epi32(
            _mm256_add_epi32(
                sumPairs256(_mm256_madd_epi16(first, vCoefficients), _mm256_madd_epi16(second, vCoefficients)), bias),
            17);
        const __m256i interleaved = _mm256_packs_epi32(_mm256_unpacklo_epi32(u, v), _mm256_unpackhi_epi32(u, v));
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(interleaved, interleaved), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + 2 * pair), _mm256_castsi256_si128(packed));
    }
    return pair;
}

bool hasAvx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, int width) {
    int done = hasAvx2() ? lumaVector256(bgra, luma, width) : 0;
    done += lumaVector(bgra + 4 * done, luma + done, width - done);
    lumaPixels(bgra, luma, done, width);
}

void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma, int width) {
    int done = hasAvx2() ? chromaVector256(top, bottom, chroma, width) : 0;
    done += chromaVector(top + 8 * done, bottom + 8 * done, chroma + 2 * done, width - 2 * done);
    chromaPairs(top, bottom, chroma, done, (width + 1) / 2, width);
}

#else

void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, int width) { lumaPixels(bgra, luma, 0, width); }

void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma, int width) {
    chromaPairs(top, bottom, chroma, 0, (width + 1) / 2, width);
}

#endif

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

RasterWriter::RasterWriter(int maximumBands) : bands_(maximumBands) {}

int RasterWriter::bandsFor(int width, int height, int maximum) {
    // A few hundred microseconds of conversion per band (more under memory
    // pressure): fewer pixels are not worth a wake-up.
    constexpr std::int64_t pixelsPerBand = 512 * 1024;
    const std::int64_t pixels = static_cast<std::int64_t>(std::max(width, 0)) * std::max(height, 0);
    return static_cast<int>(std::clamp<std::int64_t>(pixels / pixelsPerBand, 1, std::max(maximum, 1)));
}

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

bool RasterWriter::write(const BgraImage& image, const RasterPlacement& placement, PixelBuffer& buffer,
                         const std::vector<ScreenRect>* changed) {
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
    std::uint8_t* placedLuma = luma + static_cast<std::size_t>(placement.y) * lumaStride + placement.x;
    std::uint8_t* placedChroma = chroma + static_cast<std::size_t>(placement.y / 2) * chromaStride + placement.x;
    // One area of the placed picture, its corners on whole chroma samples.
    const auto convertArea = [&](const ScreenRect& area) {
        const int left = std::max(area.x, 0) / 2 * 2;
        const int top = std::max(area.y, 0) / 2 * 2;
        const int right = std::min((area.x + area.width + 1) / 2 * 2, placement.width);
        const int bottom = std::min((area.y + area.height + 1) / 2 * 2, placement.height);
        if (right <= left || bottom <= top) return;
        const int bands = bandsFor(right - left, bottom - top, bands_.maximumBands());
        // Whole chroma rows per band: an even number of picture rows.
        const int bandRows = ((bottom - top + bands - 1) / bands + 1) / 2 * 2;
        bands_.run(bands, [&](int band) {
            const int first = top + band * bandRows;
            const int rows = std::min(bandRows, bottom - first);
            if (rows <= 0) return;
            convert(source + static_cast<std::size_t>(first) * sourceStride + static_cast<std::size_t>(left) * 4,
                    sourceStride, right - left, rows,
                    placedLuma + static_cast<std::size_t>(first) * lumaStride + left, lumaStride,
                    placedChroma + static_cast<std::size_t>(first / 2) * chromaStride + left, chromaStride);
        });
    };
    if (changed != nullptr && !placement.scales()) {
        for (const ScreenRect& area : *changed) convertArea(area);
    } else {
        convertArea({0, 0, placement.width, placement.height});
    }

    if ((changed == nullptr || placement.scales()) && !placement.fillsRaster()) {
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

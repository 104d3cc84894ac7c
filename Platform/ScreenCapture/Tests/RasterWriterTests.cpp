#include "Platform/ScreenCapture/RasterPlacement.h"
#include "Platform/ScreenCapture/RasterWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace quillmere {
namespace {

struct Yuv {
    double y, cb, cr;
};

// BT.709, video range.
Yuv reference(int r, int g, int b) {
    const double ey = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * ey / 255, 128 + 224 * (b - ey) / 1.8556 / 255, 128 + 224 * (r - ey) / 1.5748 / 255};
}

std::vector<std::uint8_t> solid(int width, int height, int r, int g, int b) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = static_cast<std::uint8_t>(b);
        pixels[i + 1] = static_cast<std::uint8_t>(g);
        pixels[i + 2] = static_cast<std::uint8_t>(r);
    }
    return pixels;
}

struct Sample {
    int y, cb, cr;
};

Sample sampleAt(PixelBuffer& buffer, int x, int y) {
    buffer.lockBaseAddress(PixelBuffer::Lock::readOnly);
    const std::uint8_t* luma = buffer.planeBaseAddress(0) + static_cast<std::size_t>(y) * buffer.planeBytesPerRow(0);
    const std::uint8_t* chroma =
        buffer.planeBaseAddress(1) + static_cast<std::size_t>(y / 2) * buffer.planeBytesPerRow(1) + (x / 2) * 2;
    Sample sample{luma[x], chroma[0], chroma[1]};
    buffer.unlockBaseAddress(PixelBuffer::Lock::readOnly);
    return sample;
}

TEST(RasterPlacement, FitsKeepingTheAspectOnEvenPositions) {
    EXPECT_EQ(*RasterPlacement::make(640, 480, 640, 480, true), (RasterPlacement{640, 480, 640, 480, 0, 0, 640, 480}));
    // 16:9 into a square: 1000 x 562 (563 trimmed to even), centred on an even row.
    EXPECT_EQ(*RasterPlacement::make(1920, 1080, 1000, 1000, true),
              (RasterPlacement{1920, 1080, 1000, 1000, 0, 218, 1000, 562}));
    EXPECT_EQ(*RasterPlacement::make(300, 600, 400, 400, true), (RasterPlacement{300, 600, 400, 400, 100, 0, 200, 400}));
    // Rasters of the content's shape with one side rounded to even: 1078.86
    // rows, 539.33 and 1277.5 columns (a window, a tall one, a display) fill
    // them, with no dark band of a row or two.
    EXPECT_EQ(*RasterPlacement::make(800, 647, 1334, 1080, true), (RasterPlacement{800, 647, 1334, 1080, 0, 0, 1334, 1080}));
    EXPECT_EQ(*RasterPlacement::make(400, 801, 538, 1080, true), (RasterPlacement{400, 801, 538, 1080, 0, 0, 538, 1080}));
    EXPECT_EQ(*RasterPlacement::make(1366, 768, 1280, 718, true), (RasterPlacement{1366, 768, 1280, 718, 0, 0, 1280, 718}));
    // Two whole rows more is a shape of its own: a bar.
    EXPECT_EQ(*RasterPlacement::make(800, 600, 800, 602, true), (RasterPlacement{800, 600, 800, 602, 0, 0, 800, 600}));
    // Unscaled content is cropped from the top left.
    EXPECT_EQ(*RasterPlacement::make(300, 600, 400, 400, false), (RasterPlacement{300, 600, 400, 400, 0, 0, 300, 400}));
    EXPECT_FALSE(RasterPlacement::make(0, 10, 10, 10, true).has_value());
    EXPECT_FALSE(RasterPlacement::make(10, 10, 10, -1, true).has_value());
}

TEST(RasterPlacement, MapsChangedAreasOutwardsIntoThePlacedContent) {
    const auto same = *RasterPlacement::make(640, 480, 640, 480, true);
    EXPECT_EQ(same.map(10, 20, 30, 40), (ScreenRect{10, 20, 30, 40}));
    EXPECT_EQ(same.map(700, 0, 10, 10).width, 0) << "outside the content";

    // Halved and placed 40 rows down: a pixel's worth of filter reach around.
    const auto half = *RasterPlacement::make(640, 480, 320, 320, true);
    ASSERT_EQ(half.y, 40);
    EXPECT_EQ(half.map(11, 21, 10, 10), (ScreenRect{4, 49, 8, 8}));
    EXPECT_EQ(half.map(0, 0, 640, 480), (ScreenRect{0, 40, 320, 240}));
}

TEST(RasterWriter, WritesBt709VideoRange) {
    const struct {
        int r, g, b;
    } colours[] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {51, 102, 204}, {128, 128, 128}};
    RasterWriter writer;
    for (const auto& colour : colours) {
        auto pixels = solid(16, 8, colour.r, colour.g, colour.b);
        auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 16, 8);
        ASSERT_TRUE(writer.write({pixels.data(), 64, 16, 8}, *RasterPlacement::make(16, 8, 16, 8, true), *buffer));
        const Yuv expected = reference(colour.r, colour.g, colour.b);
        const Sample got = sampleAt(*buffer, 5, 3);
        EXPECT_NEAR(got.y, expected.y, 1.0) << colour.r << "," << colour.g << "," << colour.b;
        EXPECT_NEAR(got.cb, expected.cb, 1.0) << colour.r << "," << colour.g << "," << colour.b;
        EXPECT_NEAR(got.cr, expected.cr, 1.0) << colour.r << "," << colour.g << "," << colour.b;
        if (colour.r == colour.g && colour.g == colour.b) {
            EXPECT_EQ(got.cb, 128);
            EXPECT_EQ(got.cr, 128);
        }
    }
}

// Every width from 1 to 80 (and a full row) runs the wide, the narrow and the
// pixel-by-pixel paths and their seams: each output sample must match its own
// pixels.
TEST(RasterWriter, EveryPathKeepsPixelsInPlace) {
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(seed >> 24);
    };
    std::vector<int> widths;
    for (int w = 1; w <= 80; ++w) widths.push_back(w);
    widths.push_back(1920);
    for (int width : widths) {
        const int height = 4;
        std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
        for (auto& byte : bgra) byte = next();
        const std::size_t chromaStride = static_cast<std::size_t>((width + 1) / 2) * 2;
        std::vector<std::uint8_t> luma(static_cast<std::size_t>(width) * height);
        std::vector<std::uint8_t> chroma(chromaStride * 2);
        RasterWriter::convert(bgra.data(), static_cast<std::size_t>(width) * 4, width, height, luma.data(),
                              static_cast<std::size_t>(width), chroma.data(), chromaStride);
        const auto pixel = [&](int x, int y) { return bgra.data() + (static_cast<std::size_t>(y) * width + x) * 4; };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = pixel(x, y);
                ASSERT_NEAR(luma[static_cast<std::size_t>(y) * width + x], reference(p[2], p[1], p[0]).y, 1.0)
                    << "width " << width << " at " << x << "," << y;
            }
        }
        for (int y = 0; y < height / 2; ++y) {
            for (int pair = 0; pair < (width + 1) / 2; ++pair) {
                const int x0 = 2 * pair;
                const int x1 = std::min(x0 + 1, width - 1);
                double r = 0, g = 0, b = 0;
                for (const auto* p : {pixel(x0, 2 * y), pixel(x1, 2 * y), pixel(x0, 2 * y + 1), pixel(x1, 2 * y + 1)}) {
                    r += p[2] / 4.0, g += p[1] / 4.0, b += p[0] / 4.0;
                }
                const Yuv expected = reference(static_cast<int>(std::lround(r)), static_cast<int>(std::lround(g)),
                                               static_cast<int>(std::lround(b)));
                ASSERT_NEAR(chroma[y * chromaStride + 2 * pair], expected.cb, 1.5) << "width " << width << " pair " << pair;
                ASSERT_NEAR(chroma[y * chromaStride + 2 * pair + 1], expected.cr, 1.5) << "width " << width << " pair " << pair;
            }
        }
    }
}

TEST(RasterWriter, PutsBlackBarsAroundScaledContent) {
    RasterWriter writer;
    auto pixels = solid(64, 32, 255, 255, 255);
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 32, 32);
    const auto placement = *RasterPlacement::make(64, 32, 32, 32, true);
    ASSERT_TRUE(writer.write({pixels.data(), 256, 64, 32}, placement, *buffer));
    EXPECT_EQ(placement.y, 8);
    const Sample bar = sampleAt(*buffer, 3, 2);
    EXPECT_EQ(bar.y, 16);
    EXPECT_EQ(bar.cb, 128);
    EXPECT_EQ(sampleAt(*buffer, 31, 31).y, 16);
    EXPECT_EQ(sampleAt(*buffer, 16, 16).y, 235);
    EXPECT_EQ(sampleAt(*buffer, 0, 8).y, 235);
    EXPECT_EQ(sampleAt(*buffer, 31, 23).y, 235);
}

TEST(RasterWriter, OddSizesStayInsideTheBuffer) {
    RasterWriter writer;
    for (auto [w, h] : {std::pair{5, 3}, {1, 1}, {7, 2}}) {
        auto pixels = solid(w, h, 200, 100, 50);
        auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, w, h);
        ASSERT_TRUE(writer.write({pixels.data(), static_cast<std::size_t>(w) * 4, w, h},
                                 *RasterPlacement::make(w, h, w, h, true), *buffer));
        EXPECT_NEAR(sampleAt(*buffer, w - 1, h - 1).y, reference(200, 100, 50).y, 1.0);
        EXPECT_NEAR(sampleAt(*buffer, w - 1, h - 1).cr, reference(200, 100, 50).cr, 1.0);
    }
    // And an odd raster around scaled content.
    auto pixels = solid(10, 10, 0, 0, 0);
    auto buffer = *PixelBuffer::make(PixelFormat::nv12VideoRange, 9, 5);
    EXPECT_TRUE(writer.write({pixels.data(), 40, 10, 10}, *RasterPlacement::make(10, 10, 9, 5, true), *buffer));
}

// Bands split at odd heights, and a black bar above the content, must write
// the very bytes one thread does, with no seam between bands.
TEST(RasterWriter, BandsWriteWhatOneThreadWrites) {
    std::uint32_t seed = 777;
    const struct {
        int contentWidth, contentHeight, rasterWidth, rasterHeight, bands;
    } cases[] = {{1280, 1001, 1280, 1001, 2}, {3840, 2160, 3840, 2160, 4}, {1600, 1001, 1600, 1101, 3}};
    for (const auto& c : cases) {
        ASSERT_EQ(RasterWriter::bandsFor(c.contentWidth, c.contentHeight, 4), c.bands);
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(c.contentWidth) * c.contentHeight * 4);
        for (auto& byte : pixels) byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        const BgraImage image{pixels.data(), static_cast<std::size_t>(c.contentWidth) * 4, c.contentWidth,
                              c.contentHeight};
        const auto placement =
            *RasterPlacement::make(c.contentWidth, c.contentHeight, c.rasterWidth, c.rasterHeight, true);
        auto one = *PixelBuffer::make(PixelFormat::nv12VideoRange, c.rasterWidth, c.rasterHeight);
        auto several = *PixelBuffer::make(PixelFormat::nv12VideoRange, c.rasterWidth, c.rasterHeight);
        RasterWriter single(1);
        RasterWriter banded(4);
        ASSERT_TRUE(single.write(image, placement, *one));
        ASSERT_TRUE(banded.write(image, placement, *several));
        one->lockBaseAddress(PixelBuffer::Lock::readOnly);
        several->lockBaseAddress(PixelBuffer::Lock::readOnly);
        const std::size_t rowBytes[] = {static_cast<std::size_t>(c.rasterWidth),
                                        static_cast<std::size_t>((c.rasterWidth + 1) / 2 * 2)};
        for (std::size_t plane = 0; plane < 2; ++plane) {
            for (int row = 0; row < one->planeHeight(plane); ++row) {
                ASSERT_EQ(std::memcmp(one->planeBaseAddress(plane) + row * one->planeBytesPerRow(plane),
                                      several->planeBaseAddress(plane) + row * several->planeBytesPerRow(plane),
                                      rowBytes[plane]),
                          0)
                    << c.contentWidth << "x" << c.contentHeight << " plane " << plane << " row " << row;
            }
        }
        one->unlockBaseAddress(PixelBuffer::Lock::readOnly);
        several->unlockBaseAddress(PixelBuffer::Lock::readOnly);
    }
}

void expectSamePlanes(PixelBuffer& one, PixelBuffer& other, const std::string& what) {
    one.lockBaseAddress(PixelBuffer::Lock::readOnly);
    other.lockBaseAddress(PixelBuffer::Lock::readOnly);
    const std::size_t rowBytes[] = {static_cast<std::size_t>(one.width()),
                                    static_cast<std::size_t>((one.width() + 1) / 2 * 2)};
    for (std::size_t plane = 0; plane < 2; ++plane) {
        for (int row = 0; row < one.planeHeight(plane); ++row) {
            ASSERT_EQ(std::memcmp(one.planeBaseAddress(plane) + row * one.planeBytesPerRow(plane),
                                  other.planeBaseAddress(plane) + row * other.planeBytesPerRow(plane), rowBytes[plane]),
                      0)
                << what << " plane " << plane << " row " << row;
        }
    }
    one.unlockBaseAddress(PixelBuffer::Lock::readOnly);
    other.unlockBaseAddress(PixelBuffer::Lock::readOnly);
}

// A buffer holding the previous picture, given only the changed areas (odd
// corners, overlaps, an edge, a large area in bands), ends up as a whole write
// of the new picture would leave it, bars and all.
TEST(RasterWriter, ChangedAreasBringABufferUpToDate) {
    const int width = 2400, height = 2001, rasterHeight = 2101;
    std::uint32_t seed = 99;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (auto& byte : pixels) byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    const BgraImage image{pixels.data(), static_cast<std::size_t>(width) * 4, width, height};
    const auto placement = *RasterPlacement::make(width, height, width, rasterHeight, true);
    RasterWriter writer(4);
    auto updated = *PixelBuffer::make(PixelFormat::nv12VideoRange, width, rasterHeight);
    ASSERT_TRUE(writer.write(image, placement, *updated));

    const std::vector<ScreenRect> changed{
        {3, 5, 7, 9}, {8, 10, 30, 1}, {2390, 1990, 10, 11}, {100, 100, 2200, 1900}, {0, 2000, 1, 1}};
    for (const ScreenRect& area : changed) {
        for (int y = area.y; y < area.y + area.height; ++y) {
            for (int x = area.x; x < area.x + area.width; ++x) pixels[(static_cast<std::size_t>(y) * width + x) * 4 + 1] ^= 0x5A;
        }
    }
    ASSERT_TRUE(writer.write(image, placement, *updated, &changed));
    auto whole = *PixelBuffer::make(PixelFormat::nv12VideoRange, width, rasterHeight);
    ASSERT_TRUE(RasterWriter(1).write(image, placement, *whole));
    expectSamePlanes(*updated, *whole, "changed areas");
}

TEST(RasterWriter, RefusesABufferOfAnotherShape) {
    RasterWriter writer;
    auto pixels = solid(8, 8, 0, 0, 0);
    auto wrongSize = *PixelBuffer::make(PixelFormat::nv12VideoRange, 16, 16);
    auto wrongFormat = *PixelBuffer::make(PixelFormat::bgra, 8, 8);
    const auto placement = *RasterPlacement::make(8, 8, 8, 8, true);
    EXPECT_FALSE(writer.write({pixels.data(), 32, 8, 8}, placement, *wrongSize));
    EXPECT_FALSE(writer.write({pixels.data(), 32, 8, 8}, placement, *wrongFormat));
}

} // namespace
} // namespace quillmere

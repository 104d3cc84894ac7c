#include "QuillmereMac/Capture/FrameChangeDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace quillmere {
namespace {

using Rects = std::vector<Rect>;
const auto whole = std::nullopt;

PixelBufferRef nv12(int width, int height, std::uint8_t value = 16) {
    auto buffer = PixelBuffer::make(PixelFormat::nv12VideoRange, width, height);
    EXPECT_TRUE(buffer);
    for (std::size_t plane = 0; plane < 2; ++plane) {
        std::memset((*buffer)->planeBaseAddress(plane), value,
                    (*buffer)->planeBytesPerRow(plane) * static_cast<std::size_t>((*buffer)->planeHeight(plane)));
    }
    return *buffer;
}

void poke(PixelBuffer& buffer, std::size_t plane, int column, int row, std::uint8_t value) {
    buffer.planeBaseAddress(plane)[static_cast<std::size_t>(row) * buffer.planeBytesPerRow(plane) +
                                   static_cast<std::size_t>(column * buffer.planeBytesPerColumn(plane))] = value;
}

TEST(FrameChangeDetector, NothingRememberedOrAnotherShapeIsAChange) {
    FrameChangeDetector detector;
    auto frame = nv12(64, 48);
    EXPECT_TRUE(detector.compare(*frame, whole));
    EXPECT_TRUE(detector.compare(*frame, Rects{}));
    detector.remember(*frame, whole);
    EXPECT_EQ(detector.shape(), (std::vector<std::int64_t>{PixelFormat::nv12VideoRange, 64, 48}));
    EXPECT_FALSE(detector.compare(*frame, whole));

    EXPECT_TRUE(detector.compare(*nv12(64, 50), whole));
    auto bgra = PixelBuffer::make(PixelFormat::bgra, 64, 48);
    EXPECT_TRUE(detector.compare(**bgra, Rects{{0, 0, 1, 1}}));
}

TEST(FrameChangeDetector, SpotRowsSettleMostChangesAndTheFullPassTheRest) {
    FrameChangeDetector detector;
    auto reference = nv12(64, 48);
    detector.remember(*reference, whole);

    auto spot = nv12(64, 48);
    poke(*spot, 0, 63, 24, 17);
    EXPECT_TRUE(detector.compare(*spot, whole));
    EXPECT_EQ(detector.spotHits(), 1);

    auto offSpot = nv12(64, 48);
    poke(*offSpot, 0, 0, 47, 17);
    EXPECT_TRUE(detector.compare(*offSpot, whole));
    auto chroma = nv12(64, 48);
    poke(*chroma, 1, 31, 23, 17);
    EXPECT_TRUE(detector.compare(*chroma, whole));
    EXPECT_EQ(detector.spotHits(), 1);
}

TEST(FrameChangeDetector, RectanglesAreTrustedAndScaledToEachPlane) {
    FrameChangeDetector detector;
    detector.remember(*nv12(64, 48), whole);

    auto changed = nv12(64, 48);
    poke(*changed, 1, 10, 10, 99); // chroma of luma pixels 20..21, 20..21
    EXPECT_FALSE(detector.compare(*changed, Rects{}));
    EXPECT_FALSE(detector.compare(*changed, Rects{{0, 0, 20, 20}}));
    EXPECT_TRUE(detector.compare(*changed, Rects{{21, 21, 1, 1}}));
    EXPECT_TRUE(detector.compare(*changed, Rects{{0, 0, 1, 1}, {20.5, 20.5, 0.5, 0.5}}));
    // Rectangles reaching outside the frame are cut to it; unusable ones are skipped.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(detector.compare(*changed, Rects{{-1e300, -1e300, 2e300, 2e300}}));
    EXPECT_FALSE(detector.compare(*changed, Rects{{nan, 0, 64, 48}, {0, nan, 64, 48}, {100, 100, 5, 5}}));
}

TEST(FrameChangeDetector, RememberingRectanglesPatchesOnlyThem) {
    FrameChangeDetector detector;
    detector.remember(*nv12(64, 48), whole);
    auto next = nv12(64, 48);
    poke(*next, 0, 5, 5, 200);
    poke(*next, 0, 50, 40, 200);
    detector.remember(*next, Rects{{4, 4, 2, 2}});
    EXPECT_FALSE(detector.compare(*next, Rects{{4, 4, 2, 2}}));
    EXPECT_TRUE(detector.compare(*next, Rects{{50, 40, 1, 1}}));
    EXPECT_TRUE(detector.compare(*next, whole));
}

TEST(FrameChangeDetector, RememberingRectanglesAfterASizeChangeCopiesEverything) {
    FrameChangeDetector detector;
    detector.remember(*nv12(64, 48), whole);
    auto larger = nv12(96, 48, 80);
    detector.remember(*larger, Rects{{0, 0, 1, 1}});
    EXPECT_EQ(detector.shape(), (std::vector<std::int64_t>{PixelFormat::nv12VideoRange, 96, 48}));
    EXPECT_FALSE(detector.compare(*larger, whole));
}

TEST(FrameChangeDetector, ABufferItCannotLockOrReadIsAChangeAndIsNotRemembered) {
    FrameChangeDetector detector;
    auto frame = nv12(64, 48);
    detector.remember(*frame, whole);
    ASSERT_EQ(frame->lockBaseAddress(PixelBuffer::Lock::readWrite), PixelBufferStatus::success);
    EXPECT_TRUE(detector.compare(*frame, whole));
    detector.remember(*frame, whole);
    EXPECT_TRUE(detector.shape().empty());
    ASSERT_EQ(frame->unlockBaseAddress(PixelBuffer::Lock::readWrite), PixelBufferStatus::success);
    // Every path let go of its read lock.
    EXPECT_EQ(frame->lockBaseAddress(PixelBuffer::Lock::readWrite), PixelBufferStatus::success);
    frame->unlockBaseAddress(PixelBuffer::Lock::readWrite);

    std::vector<std::uint8_t> luma(64 * 48, 16);
    auto noChroma = PixelBuffer::wrap(PixelFormat::nv12VideoRange, 64, 48,
                                      {{luma.data(), 64, 48, 64}, {nullptr, 32, 24, 64}});
    ASSERT_TRUE(noChroma);
    detector.remember(*frame, whole);
    EXPECT_TRUE(detector.compare(**noChroma, whole));
    detector.remember(**noChroma, whole);
    EXPECT_TRUE(detector.planes().empty());
    EXPECT_TRUE(detector.compare(*frame, whole));
}

// Each whole copy, and the first after a surface forgot, goes into the same
// memory, not into a frame's worth of freshly faulted pages.
TEST(FrameChangeDetector, ForgettingIsAChangeAndEveryCopyReusesThePlanes) {
    FrameChangeDetector detector;
    auto first = nv12(64, 48, 16);
    auto second = nv12(64, 48, 40);
    detector.remember(*first, whole);
    const std::uint8_t* luma = detector.planes()[0].data();
    const std::uint8_t* chroma = detector.planes()[1].data();
    detector.remember(*second, whole);
    EXPECT_EQ(detector.planes()[0].data(), luma);
    EXPECT_EQ(detector.planes()[1].data(), chroma);
    EXPECT_FALSE(detector.compare(*second, whole));
    detector.forget();
    EXPECT_TRUE(detector.planes().empty());
    EXPECT_TRUE(detector.compare(*second, whole));
    detector.remember(*first, whole);
    EXPECT_EQ(detector.planes()[0].data(), luma);
    EXPECT_FALSE(detector.compare(*first, whole));
    EXPECT_TRUE(detector.compare(*second, whole));
}

TEST(FrameChangeDetector, APlaneWithoutRowsIsNotRead) {
    // One luma row, and a producer that rounds the chroma plane down to none.
    std::vector<std::uint8_t> luma(8, 16);
    std::vector<std::uint8_t> chroma(1, 128);
    auto make = [&] {
        return *PixelBuffer::wrap(PixelFormat::nv12VideoRange, 8, 1, {{luma.data(), 8, 1, 8}, {chroma.data(), 4, 0, 8}});
    };
    FrameChangeDetector detector;
    detector.remember(*make(), whole);
    EXPECT_EQ(detector.planes().size(), 2u);
    EXPECT_FALSE(detector.compare(*make(), whole));
    luma[7] = 17;
    EXPECT_TRUE(detector.compare(*make(), whole));
    EXPECT_TRUE(detector.compare(*make(), Rects{{0, 0, 8, 1}}));
}

TEST(FrameChangeDetector, StridesOfTheSameSizeCompareOnlyThePixels) {
    // Ten BGRA pixels per row, packed in one frame and padded to 64 bytes in
    // the next: the row padding is neither read from the remembered frame nor
    // compared.
    std::vector<std::uint8_t> packed(40 * 6, 7);
    std::vector<std::uint8_t> padded(64 * 6, 7);
    for (int row = 0; row < 6; ++row) std::memset(padded.data() + row * 64 + 40, 0xEE, 24);
    auto tight = *PixelBuffer::wrap(PixelFormat::bgra, 10, 6, {{packed.data(), 10, 6, 40}});
    auto loose = *PixelBuffer::wrap(PixelFormat::bgra, 10, 6, {{padded.data(), 10, 6, 64}});

    FrameChangeDetector detector;
    detector.remember(*tight, whole);
    EXPECT_FALSE(detector.compare(*loose, whole));
    EXPECT_FALSE(detector.compare(*loose, Rects{{0, 0, 10, 6}}));
    padded[5 * 64 + 39] = 8;
    EXPECT_TRUE(detector.compare(*loose, whole));
    detector.remember(*loose, Rects{{9, 5, 1, 1}});
    EXPECT_FALSE(detector.compare(*loose, whole));
    EXPECT_EQ(detector.planes()[0].size(), 240u);
}

} // namespace
} // namespace quillmere

// The cursor-shape watcher on a manual main actor with a cursor the test
// sets: what it sends, when it samples, and the shapes cursors become.

#include "Platform/Dispatch/ManualExecutor.h"
#include "Platform/ImageIO/PNGImage.h"
#include "QuillmereMac/Cursor/CursorShapeWatcher.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere::testing {
namespace {

constexpr std::uint64_t ms = 1'000'000;

// A cursor of points × scale pixels, every pixel one premultiplied colour.
SystemCursor cursor(double points, double scale, double hotX, double hotY, std::uint32_t argb = 0x80402000) {
    SystemCursor c;
    c.pointWidth = points;
    c.pointHeight = points;
    c.pixelWidth = static_cast<std::int32_t>(points * scale);
    c.pixelHeight = static_cast<std::int32_t>(points * scale);
    c.hotSpotX = hotX;
    c.hotSpotY = hotY;
    c.argb.assign(static_cast<std::size_t>(c.pixelWidth) * static_cast<std::size_t>(c.pixelHeight), argb);
    return c;
}

TEST(SystemCursor, AnArrowAtTwiceTheScaleHasItsHeightInPointsAndItsHotSpotInPixels) {
    const auto shape = cursor(32, 2, 4, 4).shape();
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->pointHeight, 32);
    EXPECT_EQ(shape->hotspotX, 8);
    EXPECT_EQ(shape->hotspotY, 8);
    const auto image = PNGImage::decode(shape->png);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 64);
    // 0x40 at alpha 0x80 premultiplied is 0x80 straight.
    EXPECT_EQ(std::vector<std::uint8_t>(image->rgba.begin(), image->rgba.begin() + 4),
              (std::vector<std::uint8_t>{0x80, 0x40, 0x00, 0x80}));
}

struct ShapeCase {
    const char* name;
    SystemCursor cursor;
    std::optional<std::array<std::uint16_t, 3>> shape; // hot spot x, y, point height
};

SystemCursor noisy() {
    SystemCursor c = cursor(200, 1, 0, 0);
    std::mt19937 random(7);
    for (auto& pixel : c.argb) pixel = random();
    return c;
}

class CursorShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(CursorShapes, BecomeMessagesOnlyWhenEverythingFits) {
    const auto shape = GetParam().cursor.shape();
    ASSERT_EQ(shape.has_value(), GetParam().shape.has_value());
    if (!shape) return;
    EXPECT_EQ((std::array<std::uint16_t, 3>{shape->hotspotX, shape->hotspotY, shape->pointHeight}), *GetParam().shape);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CursorShapes,
    ::testing::Values(ShapeCase{"hot_spot_clamped", cursor(16, 1, -1, 70000), std::array<std::uint16_t, 3>{0, 65535, 16}},
                      ShapeCase{"hot_spot_rounded_half_away", cursor(16, 1.5, 3, 0.1), std::array<std::uint16_t, 3>{5, 0, 16}},
                      ShapeCase{"taller_than_256_points", cursor(257, 1, 0, 0), std::nullopt},
                      ShapeCase{"png_over_60000_bytes", noisy(), std::nullopt},
                      ShapeCase{"no_pixels", cursor(0, 1, 0, 0), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

class CursorShapeWatcherTest : public ::testing::Test {
protected:
    ManualExecutor main{"main"};
    std::optional<SystemCursor> current = cursor(32, 2, 4, 4);
    int samples = 0;
    bool accepting = true;
    std::vector<CursorShape> sent;
    std::shared_ptr<CursorShapeWatcher> watcher = CursorShapeWatcher::make(
        main,
        [this] {
            ++samples;
            return current;
        },
        [this](const ControlMessage& message) {
            if (!accepting) return false;
            sent.push_back(*message.as<CursorShape>());
            return true;
        });

    // As the media pipeline starts it.
    void start() {
        watcher->tick();
        watcher->setLastInput(main.nowNs());
        watcher->schedule(CursorShapeWatcher::fastSeconds);
    }
};

TEST_F(CursorShapeWatcherTest, SendsAShapeOnceUntilItChangesAndAgainAfterARestart) {
    start();
    main.advance(300 * ms);
    EXPECT_EQ(sent.size(), 1u);
    current = cursor(16, 1, 1, 2);
    main.advance(100 * ms);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.back().pointHeight, 16);
    watcher->stop();
    EXPECT_FALSE(watcher->isRunning());
    start();
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(watcher->sent(), 3);
}

TEST_F(CursorShapeWatcherTest, AShapeThatCouldNotGoOutIsSentAtTheNextTick) {
    accepting = false;
    start();
    EXPECT_TRUE(sent.empty());
    accepting = true;
    main.advance(100 * ms);
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(CursorShapeWatcherTest, SamplesTwiceASecondWithoutInputAndAtOnceWhenInputComes) {
    start();
    main.advance(2'100 * ms);
    EXPECT_EQ(watcher->interval(), CursorShapeWatcher::slowSeconds);
    const int before = samples;
    main.advance(1'000 * ms);
    EXPECT_EQ(samples - before, 2);

    const int quiet = samples;
    watcher->noteInput();
    main.runUntilIdle();
    EXPECT_EQ(samples, quiet + 1);
    EXPECT_EQ(watcher->interval(), CursorShapeWatcher::fastSeconds);
    // While fast, input needs no tick of its own.
    watcher->noteInput();
    main.runUntilIdle();
    EXPECT_EQ(samples, quiet + 1);
}

} // namespace
} // namespace quillmere::testing

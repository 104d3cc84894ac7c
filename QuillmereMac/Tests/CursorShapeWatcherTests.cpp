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

// A square cursor of points × scale pixels, each one premultiplied colour.
SystemCursor cursor(double points, double scale, double hotX, double hotY) {
    const auto pixels = static_cast<std::int32_t>(points * scale);
    return {points, points, pixels, pixels, hotX, hotY,
            std::vector<std::uint32_t>(static_cast<std::size_t>(pixels * pixels), 0x80402000)};
}

SystemCursor noisy() {
    SystemCursor c = cursor(200, 1, 0, 0);
    std::mt19937 random(7);
    for (auto& pixel : c.argb) pixel = random();
    return c;
}

TEST(SystemCursor, AnArrowAtTwiceTheScaleHasItsHeightInPointsAndItsHotSpotInPixels) {
    const auto shape = cursor(32, 2, 4, 4).shape();
    ASSERT_TRUE(shape);
    EXPECT_EQ((std::array{shape->hotspotX, shape->hotspotY, shape->pointHeight}), (std::array<std::uint16_t, 3>{8, 8, 32}));
    const auto image = PNGImage::decode(shape->png);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 64);
    // 0x40 at alpha 0x80 premultiplied is 0x80 straight.
    EXPECT_EQ(std::vector(image->rgba.begin(), image->rgba.begin() + 4), (std::vector<std::uint8_t>{0x80, 0x40, 0, 0x80}));
}

struct ShapeCase {
    const char* name;
    SystemCursor cursor;
    std::optional<std::array<std::uint16_t, 3>> shape; // hot spot x, y, point height
    friend void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }
};

class CursorShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(CursorShapes, BecomeMessagesOnlyWhenEverythingFits) {
    const auto shape = GetParam().cursor.shape();
    ASSERT_EQ(shape.has_value(), GetParam().shape.has_value());
    if (!shape) return;
    EXPECT_EQ((std::array{shape->hotspotX, shape->hotspotY, shape->pointHeight}), *GetParam().shape);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CursorShapes,
    ::testing::Values(ShapeCase{"hot_spot_clamped", cursor(16, 1, -1, 70000), std::array<std::uint16_t, 3>{0, 65535, 16}},
                      ShapeCase{"rounded_half_away", cursor(16, 1.5, 3, 0.1), std::array<std::uint16_t, 3>{5, 0, 16}},
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
            if (accepting) sent.push_back(*message.as<CursorShape>());
            return accepting;
        });

    // As the media pipeline starts it.
    void start() {
        watcher->tick();
        watcher->setLastInput(main.nowNs());
        watcher->schedule(CursorShapeWatcher::fastSeconds);
    }
};

TEST_F(CursorShapeWatcherTest, SendsAShapeOnceUntilItChangesAndAgainAfterARestart) {
    accepting = false;
    start();
    // One that could not go out is tried again at the next tick.
    accepting = true;
    main.advance(300 * ms);
    EXPECT_EQ(sent.size(), 1u);
    current = cursor(16, 1, 1, 2);
    main.advance(100 * ms);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.back().pointHeight, 16);
    watcher->stop();
    start();
    EXPECT_EQ(watcher->sent(), 3);
}

TEST_F(CursorShapeWatcherTest, SamplesTwiceASecondWithoutInputAndAtOnceWhenInputComes) {
    start();
    main.advance(2'100 * ms);
    EXPECT_EQ(watcher->interval(), CursorShapeWatcher::slowSeconds);
    const int before = samples;
    main.advance(1'000 * ms);
    EXPECT_EQ(samples - before, 2);

    watcher->noteInput();
    main.runUntilIdle();
    EXPECT_EQ(samples, before + 3);
    EXPECT_EQ(watcher->interval(), CursorShapeWatcher::fastSeconds);
    // While fast, input needs no tick of its own.
    watcher->noteInput();
    main.runUntilIdle();
    EXPECT_EQ(samples, before + 3);
}

} // namespace
} // namespace quillmere::testing

#include "QuillmereMac/Capture/DirtyArea.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Rects = std::vector<Rect>;

TEST(DirtyArea, UnknownAreaMakesAllAndAllStaysAll) {
    DirtyArea area = DirtyArea::rects({{0, 0, 4, 4}});
    area.merge(std::nullopt);
    EXPECT_EQ(area, DirtyArea::all());
    area.merge(Rects{{1, 1, 1, 1}});
    EXPECT_EQ(area, DirtyArea::all());
    EXPECT_FALSE(area.detectorRects());
}

TEST(DirtyArea, KeepsOnlyRectanglesWithArea) {
    DirtyArea area = DirtyArea::rects({});
    area.merge(Rects{{1, 1, 0, 5}, {2, 2, 3, 3}, Rect::null(), {7, 7, 4, 0}, {-4, -4, -2, -2}});
    EXPECT_EQ(area, DirtyArea::rects({{2, 2, 3, 3}, {-4, -4, -2, -2}}));
    area.merge(Rects{});
    EXPECT_EQ(area.rectangles().size(), 2u);
}

TEST(DirtyArea, SixtyFiveRectanglesBecomeTheirUnion) {
    DirtyArea area = DirtyArea::rects({});
    Rects rects;
    for (int i = 0; i < 64; ++i) rects.push_back({double(i), double(2 * i), 1, 1});
    area.merge(rects);
    EXPECT_EQ(area.rectangles().size(), 64u);
    // A flipped rectangle reaches left of and above every other one.
    area.merge(Rects{{-1, 0, -2, -3}});
    EXPECT_EQ(area, DirtyArea::rects({{-3, -3, 67, 130}}));
}

TEST(Rect, UnionIgnoresOnlyTheNullRectangle) {
    EXPECT_EQ(Rect::null().united({1, 2, 3, 4}), (Rect{1, 2, 3, 4}));
    EXPECT_EQ((Rect{1, 2, 3, 4}).united(Rect::null()), (Rect{1, 2, 3, 4}));
    EXPECT_EQ((Rect{10, 10, 0, 0}).united({0, 0, 1, 1}), (Rect{0, 0, 10, 10}));
    EXPECT_TRUE(Rect::null().isEmpty());
    EXPECT_FALSE((Rect{0, 0, -1, 1}).isEmpty());
}

} // namespace
} // namespace quillmere

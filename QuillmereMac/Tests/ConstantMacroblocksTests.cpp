#include "QuillmereMac/Encoder/ConstantMacroblocks.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere {
namespace {

// The map of a 48 x 40 frame (3 x 3 macroblocks, the last row partial) as
// rows of '#' (may have changed) and '.' (constant).
std::string drawn(const std::vector<std::uint8_t>& map) {
    std::string text;
    for (std::size_t i = 0; i < map.size(); ++i) {
        text += map[i] ? '.' : '#';
        if (i % 3 == 2 && i + 1 < map.size()) text += '/';
    }
    return text;
}

TEST(ConstantMacroblocks, RoundsChangesOutwardToWholeMacroblocks) {
    const struct {
        const char* name;
        DirtyArea changed;
        std::string expected;
    } rows[] = {
        {"unknown", DirtyArea::all(), ""},
        {"nothing", DirtyArea::rects({}), ".../.../..."},
        {"one pixel", DirtyArea::rects({{17, 17, 1, 1}}), ".../.#./..."},
        {"a fraction across an edge", DirtyArea::rects({{15.5, 0, 1, 0.25}}), "##./.../..."},
        {"the partial last row", DirtyArea::rects({{40, 39, 8, 1}}), ".../.../..#"},
        {"past the frame", DirtyArea::rects({{-10, -10, 12, 200}}), "#../#../#.."},
        {"empty", DirtyArea::rects({{20, 20, 0, 5}}), ".../.../..."},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(drawn(ConstantMacroblocks::outside(row.changed, 48, 40)), row.expected) << row.name;
    }
}

} // namespace
} // namespace quillmere

#include "Platform/ScreenCapture/DamageHistory.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Changes = std::optional<std::vector<ScreenRect>>;

// Buffers A, B, C come round in turn as a pool of three hands them out.
TEST(DamageHistory, ABufferCatchesUpOnEveryFrameSinceItsLastWrite) {
    const int a = 0, b = 0, c = 0;
    const ScreenRect r1{0, 0, 10, 10}, r2{20, 0, 10, 10}, r3{40, 0, 10, 10}, r4{60, 0, 10, 10};
    DamageHistory history;
    struct Step {
        const char* what;
        const void* buffer;
        Changes changes;
        Changes expected;
    };
    const Step steps[] = {
        {"a new buffer is written whole", &a, std::vector{r1}, std::nullopt},
        {"so is the second", &b, std::vector{r2}, std::nullopt},
        {"and the third", &c, std::vector{r3}, std::nullopt},
        {"A missed the two frames since", &a, std::vector{r4}, std::vector{r4, r2, r3}},
        {"B too, with A's latest", &b, std::vector<ScreenRect>{}, std::vector{r3, r4}},
        {"unknown changes: whole", &c, std::nullopt, std::nullopt},
        {"A saw no whole frame since, but one came after it", &a, std::vector{r1}, std::nullopt},
        {"C was the whole frame itself", &c, std::vector{r2}, std::vector{r2, r1}},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(history.areasToWrite(step.buffer, step.changes), step.expected) << step.what;
        history.written(step.buffer, step.changes);
    }
}

TEST(DamageHistory, OldOrForgottenBuffersAndTooManyAreasAreWrittenWhole) {
    const int a = 0, b = 0;
    const std::vector<ScreenRect> one{{0, 0, 2, 2}};
    DamageHistory history;
    history.written(&a, one);
    for (std::size_t i = 0; i <= DamageHistory::depth; ++i) history.written(&b, one);
    EXPECT_EQ(history.areasToWrite(&a, one), std::nullopt) << "older than the history";
    EXPECT_EQ(history.areasToWrite(&b, one), one) << "nothing missed";

    // A block that moved by a few pixels a frame is converted once, as the
    // box around its positions; an area apart from it stays apart.
    history.written(&a, std::vector<ScreenRect>{{0, 0, 100, 50}});
    history.written(&b, std::vector<ScreenRect>{{10, 0, 100, 50}, {500, 500, 4, 4}});
    EXPECT_EQ(history.areasToWrite(&a, std::vector<ScreenRect>{{20, 5, 100, 50}}),
              (std::vector<ScreenRect>{{10, 0, 110, 55}, {500, 500, 4, 4}}));

    const std::vector<ScreenRect> many(DamageHistory::maximumAreas + 1, ScreenRect{1, 1, 1, 1});
    EXPECT_EQ(history.areasToWrite(&b, many), std::nullopt) << "too many areas";

    history.forget();
    EXPECT_EQ(history.areasToWrite(&b, one), std::nullopt) << "forgotten";
}

} // namespace
} // namespace quillmere

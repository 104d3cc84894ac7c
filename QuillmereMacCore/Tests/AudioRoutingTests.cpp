#include "QuillmereMacCore/AudioRouting.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using AudioRouting::Route;
using AudioRouting::Source;
using Routes = std::map<std::uint32_t, Route>;

TEST(AudioRouting, EachSoundOnce) {
    const std::map<std::uint32_t, Source> sources{
        {1, Source::window(500)}, {2, Source::display()}, {3, Source::window(500)},
        {4, Source::window(42)},  {5, Source::display()}, {6, Source::testPattern()},
    };
    const Routes expected{
        {1, Route::app(500)}, {2, Route::everythingElse({500, 42})}, {3, Route::silent()},
        {4, Route::app(42)},  {5, Route::silent()},                 {6, Route::clickTrack()},
    };
    EXPECT_EQ(AudioRouting::routes(sources), expected);
}

TEST(AudioRouting, DisplayAloneCarriesEverything) {
    EXPECT_EQ(AudioRouting::routes({{9, Source::display()}}), (Routes{{9, Route::everythingElse({})}}));
    EXPECT_TRUE(AudioRouting::routes({}).empty());
}

TEST(AudioRouting, SourceAndRouteEquality) {
    EXPECT_EQ(Source::window(3), Source::window(3));
    EXPECT_NE(Source::window(3), Source::window(4));
    EXPECT_NE(Source::display(), Source::testPattern());
    EXPECT_NE(Route::everythingElse({1, 2}), Route::everythingElse({2, 1}));
    EXPECT_NE(Route::app(1), Route::everythingElse({1}));
}

TEST(AudioRouting, ReconcileListsChangedAndRemoved) {
    const Routes current{{2, Route::everythingElse({500})}, {5, Route::silent()}, {6, Route::clickTrack()}};
    EXPECT_EQ(AudioRouting::reconcile(current, current), AudioRouting::Reconciliation{});

    const Routes desired{{2, Route::everythingElse({500, 42})}, {6, Route::clickTrack()}, {7, Route::app(42)}};
    const auto result = AudioRouting::reconcile(current, desired);
    EXPECT_EQ(result.changed, (std::vector<std::uint32_t>{2, 7}));
    EXPECT_EQ(result.removed, (std::vector<std::uint32_t>{5}));
}

TEST(AudioRouting, TextForm) {
    EXPECT_EQ(AudioRouting::description(Route::everythingElse({500, 42})), "everythingElse(excluding: [500, 42])");
    EXPECT_EQ(AudioRouting::description(Route::everythingElse({})), "everythingElse(excluding: [])");
    EXPECT_EQ(AudioRouting::description(Route::app(-7)), "app(pid: -7)");
    EXPECT_EQ(AudioRouting::description(Route::clickTrack()), "clickTrack");
    EXPECT_EQ(AudioRouting::description(Route::silent()), "silent");
}

} // namespace
} // namespace quillmere

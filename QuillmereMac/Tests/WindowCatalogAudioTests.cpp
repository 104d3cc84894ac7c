// Which applications each audio route's capture hears.

#include "QuillmereMac/Catalog/WindowCatalog.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

constexpr std::int32_t ownPid = 77;

struct FilterCase {
    const char* name;
    AudioRouting::Route route;
    std::optional<AudioCaptureFilter> filter;
};

class AudioCaptureFilters : public ::testing::TestWithParam<FilterCase> {
protected:
    ShareableContent content = [] {
        ShareableContent c;
        c.displays = {ContentDisplay{1, 0, "screen", {0, 0, 640, 480}, true}};
        c.applications = {ContentApplication{500, "Player", "player"}, ContentApplication{ownPid, "Us", "us"},
                          ContentApplication{600, "Editor", "editor"}};
        return c;
    }();
    WindowCatalog catalog{":99", ownPid, WindowCatalog::defaultBundleID,
                          [this](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
                              return content;
                          }};
};

TEST_P(AudioCaptureFilters, FollowTheRouteAndTheContent) {
    EXPECT_EQ(catalog.audioCaptureFilter(GetParam().route), GetParam().filter);
    content.displays.clear();
    EXPECT_EQ(catalog.audioCaptureFilter(GetParam().route), std::nullopt) << "no display";
}

INSTANTIATE_TEST_SUITE_P(
    Routes, AudioCaptureFilters,
    ::testing::Values(
        FilterCase{"app", AudioRouting::Route::app(500), AudioCaptureFilter::includingApplications({500})},
        FilterCase{"app_not_shown", AudioRouting::Route::app(501), std::nullopt},
        FilterCase{"everything_else_leaves_out_the_listed_and_this_process",
                   AudioRouting::Route::everythingElse({600, 500, 999}),
                   AudioCaptureFilter::excludingApplications({500, ownPid, 600})},
        FilterCase{"everything_else_of_nobody_still_leaves_out_this_process", AudioRouting::Route::everythingElse({}),
                   AudioCaptureFilter::excludingApplications({ownPid})},
        FilterCase{"click_track", AudioRouting::Route::clickTrack(), std::nullopt},
        FilterCase{"silent", AudioRouting::Route::silent(), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioCaptureFilters, TheSessionWideFilterHearsEverythingButThisProcess) {
    EXPECT_EQ(catalog.displayAudioFilter(), AudioCaptureFilter::excludingApplications({}));
    content.displays.clear();
    EXPECT_EQ(catalog.displayAudioFilter(), std::nullopt);
}

} // namespace
} // namespace quillmere

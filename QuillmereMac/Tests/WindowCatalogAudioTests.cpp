// Which applications each audio route's capture hears.

#include "QuillmereMac/Catalog/WindowCatalog.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

constexpr std::int32_t ownPid = 77;

TEST(WindowCatalogAudio, EachRouteHearsItsApplicationsAndNeverThisProcess) {
    ShareableContent content;
    content.displays = {ContentDisplay{1, 0, "screen", {0, 0, 640, 480}, true}};
    content.applications = {{500, "Player", "player"}, {ownPid, "Us", "us"}, {600, "Editor", "editor"}};
    const WindowCatalog catalog(":99", ownPid, WindowCatalog::defaultBundleID,
                                [&](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
                                    return content;
                                });
    using Route = AudioRouting::Route;
    const std::vector<std::pair<Route, std::optional<AudioCaptureFilter>>> cases{
        {Route::app(500), AudioCaptureFilter::includingApplications({500})},
        {Route::app(501), std::nullopt},
        {Route::everythingElse({600, 500, 999}), AudioCaptureFilter::excludingApplications({500, ownPid, 600})},
        {Route::everythingElse({}), AudioCaptureFilter::excludingApplications({ownPid})},
        {Route::clickTrack(), std::nullopt},
        {Route::silent(), std::nullopt},
    };
    for (const auto& [route, filter] : cases) EXPECT_EQ(catalog.audioCaptureFilter(route), filter) << description(route);
    EXPECT_EQ(catalog.displayAudioFilter(), AudioCaptureFilter::excludingApplications({}));

    content.displays.clear();
    EXPECT_EQ(catalog.audioCaptureFilter(Route::app(500)), std::nullopt);
    EXPECT_EQ(catalog.displayAudioFilter(), std::nullopt);
}

} // namespace
} // namespace quillmere

#pragma once

#include "Platform/AudioCapture/AudioCaptureFilter.h"
#include "Platform/ScreenCapture/ContentFilter.h"
#include "Platform/WindowList/ShareableContent.h"
#include "QuillmereMac/Capture/CaptureSettings.h"
#include "QuillmereMac/Catalog/ControlTarget.h"
#include "QuillmereMac/Catalog/ShareableWindow.h"
#include "QuillmereMac/Catalog/WindowCatalogError.h"
#include "QuillmereMac/Geometry/Rect.h"
#include "QuillmereMacCore/AudioRouting.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillmere {

// What can be shared: the windows a user would want to share, ordered for the
// capture list, and the displays, the preferred one first. Lookups by
// identifier see every window of the last refresh, listed or not. Lives on
// the main thread and has no lock of its own.
class WindowCatalog {
public:
    static constexpr const char* defaultBundleID = "com.ornbeck.quillmere.mac";
    static constexpr std::size_t maximumListed = 64;
    static constexpr double minimumPoints = 64;
    static constexpr int longestWindowSide = 1920;

    struct DisplayDescription {
        std::string title;
        std::uint16_t width = 0;
        std::uint16_t height = 0;
        bool operator==(const DisplayDescription&) const = default;
    };

    struct WindowCapture {
        ContentFilter filter;
        CaptureSettings settings;
    };

    using ContentFetcher =
        std::function<std::expected<ShareableContent, ScreenCaptureError>(const ShareableContent::Options&)>;

    // Windows of ownProcessID or of ownBundleID are never listed. The
    // display name goes into the filters made (empty: $DISPLAY); the content
    // comes from the desktop's fetcher, and without one there is none.
    explicit WindowCatalog(std::string displayName = {}, std::int32_t ownProcessID = currentProcessID(),
                           std::string ownBundleID = defaultBundleID, ContentFetcher fetch = noContent());

    // Fetches the content anew (on-screen windows only unless asked) and
    // returns the listed windows; a failed fetch changes nothing.
    std::expected<std::vector<ShareableWindow>, WindowCatalogError> refresh(bool includeOffScreen);
    // The same in two steps: the fetch, which may run on any thread, and
    // taking what it found, on the catalog's own.
    std::expected<ShareableContent, WindowCatalogError> fetch(bool includeOffScreen) const;
    std::expected<std::vector<ShareableWindow>, WindowCatalogError> refresh(
        std::expected<ShareableContent, WindowCatalogError> content);

    std::expected<WindowCapture, WindowCatalogError> windowFilter(std::uint32_t windowID) const;
    std::optional<Rect> windowFrame(std::uint32_t windowID) const;
    std::optional<ContentFilter> displayFilter(int index) const;
    std::optional<Rect> displayBounds(int index) const;
    std::vector<DisplayDescription> displayChoices() const;
    std::optional<std::string> displayTitle(int index) const;
    // "App — Title", or whichever of the two is there; empty with neither.
    std::optional<std::string> windowDescription(std::uint32_t windowID) const;
    std::optional<ControlTarget> controlTarget(std::uint32_t windowID) const;

    // Audio capture filters (WindowCatalogAudio.cpp), from content fetched
    // anew, on-screen only. None without a display, for a route with no
    // captured sound, or for an application the content does not show.
    // Everything else leaves out the route's applications and this process.
    std::optional<AudioCaptureFilter> audioCaptureFilter(const AudioRouting::Route& route) const;
    // Everything but this process, for the session-wide stream.
    std::optional<AudioCaptureFilter> displayAudioFilter() const;

    const std::string& ownBundleID() const { return ownBundleID_; }
    // The display name its filters carry (empty: $DISPLAY); the listing itself
    // is the fetcher's.
    const std::string& displayName() const { return displayName_; }
    // Points to pixels: 1 on X11 while a display is known, else 2.
    double backingScaleFactor() const { return displays_.empty() ? 2.0 : 1.0; }

    // The entries equal to preferred, then the others in their order.
    static std::vector<std::uint32_t> mainDisplayFirst(const std::vector<std::uint32_t>& displayIDs,
                                                       std::uint32_t preferred);
    // A window's stream settings: its pixels, the longer side at most 1920,
    // each side even and at least 2.
    static CaptureSettings windowCaptureSettings(double pointWidth, double pointHeight, double scale);

    static std::int32_t currentProcessID();
    // Fails every fetch with noWindowList.
    static ContentFetcher noContent();

private:
    const ContentWindow* find(std::uint32_t windowID) const;
    const ContentDisplay* display(int index) const;

    const std::string displayName_;
    const std::int32_t ownProcessID_;
    const std::string ownBundleID_;
    const ContentFetcher fetch_;
    std::unordered_map<std::uint32_t, ContentWindow> windows_;
    std::vector<ContentDisplay> displays_;
};

} // namespace quillmere

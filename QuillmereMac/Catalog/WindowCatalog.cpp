#include "QuillmereMac/Catalog/WindowCatalog.h"

#include "QuillmereMac/Catalog/PreferredDisplay.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace quillmere {

namespace {

Rect rectOf(const ScreenRect& rect) {
    return {static_cast<double>(rect.x), static_cast<double>(rect.y), static_cast<double>(rect.width),
            static_cast<double>(rect.height)};
}

std::uint16_t clampedSide(int side) { return static_cast<std::uint16_t>(std::clamp(side, 0, 65535)); }

int evenSide(double pixels) {
    auto side = static_cast<long long>(std::floor(pixels));
    side = std::max<long long>(side, 2);
    return static_cast<int>(side - side % 2);
}

} // namespace

std::int32_t WindowCatalog::currentProcessID() { return static_cast<std::int32_t>(getpid()); }

WindowCatalog::ContentFetcher WindowCatalog::noContent() {
    return [](const ShareableContent::Options&) -> std::expected<ShareableContent, ScreenCaptureError> {
        return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::noWindowList, "no desktop to list"));
    };
}

WindowCatalog::WindowCatalog(std::string displayName, std::int32_t ownProcessID, std::string ownBundleID,
                             ContentFetcher fetch)
    : displayName_(std::move(displayName)),
      ownProcessID_(ownProcessID),
      ownBundleID_(std::move(ownBundleID)),
      fetch_(std::move(fetch)) {}

std::expected<std::vector<ShareableWindow>, WindowCatalogError> WindowCatalog::refresh(bool includeOffScreen) {
    return refresh(fetch(includeOffScreen));
}

std::expected<ShareableContent, WindowCatalogError> WindowCatalog::fetch(bool includeOffScreen) const {
    ShareableContent::Options options;
    options.excludeDesktopWindows = true;
    options.onScreenWindowsOnly = !includeOffScreen;
    auto content = fetch_(options);
    if (!content) return std::unexpected(WindowCatalogError::permissionDenied);
    return std::move(*content);
}

std::expected<std::vector<ShareableWindow>, WindowCatalogError> WindowCatalog::refresh(
    std::expected<ShareableContent, WindowCatalogError> content) {
    if (!content) return std::unexpected(content.error());

    windows_.clear();
    for (const ContentWindow& window : content->windows) windows_.try_emplace(window.windowID, window);

    std::vector<std::uint32_t> ids;
    for (const ContentDisplay& display : content->displays) ids.push_back(display.displayID);
    const std::uint32_t preferred = preferredDisplayID().value_or(content->mainDisplayID);
    displays_.clear();
    for (std::uint32_t id : mainDisplayFirst(ids, preferred)) {
        const auto it = std::find_if(content->displays.begin(), content->displays.end(),
                                     [id](const ContentDisplay& display) { return display.displayID == id; });
        if (it != content->displays.end()) displays_.push_back(*it);
    }

    std::vector<ShareableWindow> listed;
    for (const ContentWindow& window : content->windows) {
        ShareableWindow entry;
        entry.windowID = window.windowID;
        entry.title = window.title;
        if (window.owningApplication) {
            entry.app = window.owningApplication->applicationName;
            entry.bundleID = window.owningApplication->bundleIdentifier;
        }
        entry.pointWidth = window.frame.width;
        entry.pointHeight = window.frame.height;

        // Never this process's own windows, whatever they are called.
        if (window.owningApplication && window.owningApplication->processID == ownProcessID_) continue;
        if (entry.bundleID == ownBundleID_) continue;
        if (entry.title.empty()) continue;
        const auto known = windows_.find(entry.windowID);
        if (known == windows_.end()) continue;
        if (known->second.windowLayer != ContentWindow::layerNormal) continue;
        if (!known->second.isOnScreen) continue;
        if (entry.pointWidth < minimumPoints || entry.pointHeight < minimumPoints) continue;
        listed.push_back(std::move(entry));
    }
    std::sort(listed.begin(), listed.end(), [](const ShareableWindow& a, const ShareableWindow& b) {
        return std::tie(a.app, a.title, a.windowID) < std::tie(b.app, b.title, b.windowID);
    });
    if (listed.size() > maximumListed) listed.resize(maximumListed);
    return listed;
}

CaptureSettings WindowCatalog::windowCaptureSettings(double pointWidth, double pointHeight, double scale) {
    const double width = std::max(scale * pointWidth, 2.0);
    const double height = std::max(scale * pointHeight, 2.0);
    const double longer = std::max(width, height);
    // Scaled as side x 1920 / longer rather than by a rounded factor, so that
    // shapes that fit exactly stay exact.
    const auto fitted = [&](double side) { return longer > longestWindowSide ? side * longestWindowSide / longer : side; };
    CaptureSettings settings;
    settings.width = evenSide(fitted(width));
    settings.height = evenSide(fitted(height));
    settings.maxFPS = 60;
    settings.showsCursor = true;
    settings.queueDepth = 3;
    settings.fitBoxWidth = 0;
    settings.fitBoxHeight = 0;
    return settings;
}

std::vector<std::uint32_t> WindowCatalog::mainDisplayFirst(const std::vector<std::uint32_t>& displayIDs,
                                                           std::uint32_t preferred) {
    std::vector<std::uint32_t> ordered;
    std::copy_if(displayIDs.begin(), displayIDs.end(), std::back_inserter(ordered),
                 [preferred](std::uint32_t id) { return id == preferred; });
    std::copy_if(displayIDs.begin(), displayIDs.end(), std::back_inserter(ordered),
                 [preferred](std::uint32_t id) { return id != preferred; });
    return ordered;
}

const ContentWindow* WindowCatalog::find(std::uint32_t windowID) const {
    const auto it = windows_.find(windowID);
    return it == windows_.end() ? nullptr : &it->second;
}

const ContentDisplay* WindowCatalog::display(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= displays_.size()) return nullptr;
    return &displays_[static_cast<std::size_t>(index)];
}

std::expected<WindowCatalog::WindowCapture, WindowCatalogError> WindowCatalog::windowFilter(
    std::uint32_t windowID) const {
    const ContentWindow* window = find(windowID);
    if (window == nullptr) return std::unexpected(WindowCatalogError::windowNotFound);
    return WindowCapture{ContentFilter::window(windowID, displayName_),
                         windowCaptureSettings(window->frame.width, window->frame.height, backingScaleFactor())};
}

std::optional<Rect> WindowCatalog::windowFrame(std::uint32_t windowID) const {
    const ContentWindow* window = find(windowID);
    if (window == nullptr) return std::nullopt;
    return rectOf(window->frame);
}

std::optional<ContentFilter> WindowCatalog::displayFilter(int index) const {
    const ContentDisplay* found = display(index);
    if (found == nullptr) return std::nullopt;
    return ContentFilter::display(found->displayID, displayName_);
}

std::optional<Rect> WindowCatalog::displayBounds(int index) const {
    const ContentDisplay* found = display(index);
    if (found == nullptr) return std::nullopt;
    return rectOf(found->frame);
}

std::optional<std::string> WindowCatalog::displayTitle(int index) const {
    if (display(index) == nullptr) return std::nullopt;
    if (displays_.size() < 2) return std::string("Entire screen");
    return "Entire screen (Display " + std::to_string(index + 1) + ")";
}

std::vector<WindowCatalog::DisplayDescription> WindowCatalog::displayChoices() const {
    std::vector<DisplayDescription> choices;
    for (std::size_t i = 0; i < displays_.size(); ++i) {
        choices.push_back({*displayTitle(static_cast<int>(i)), clampedSide(displays_[i].frame.width),
                           clampedSide(displays_[i].frame.height)});
    }
    return choices;
}

std::optional<std::string> WindowCatalog::windowDescription(std::uint32_t windowID) const {
    const ContentWindow* window = find(windowID);
    if (window == nullptr) return std::nullopt;
    const std::string app = window->owningApplication ? window->owningApplication->applicationName : std::string();
    if (!app.empty() && !window->title.empty()) return app + " \u2014 " + window->title;
    return app.empty() ? window->title : app;
}

std::optional<ControlTarget> WindowCatalog::controlTarget(std::uint32_t windowID) const {
    const ContentWindow* window = find(windowID);
    if (window == nullptr || !window->owningApplication) return std::nullopt;
    ControlTarget target;
    target.pid = window->owningApplication->processID;
    target.frame = rectOf(window->frame);
    if (!window->title.empty()) target.title = window->title;
    return target;
}

} // namespace quillmere

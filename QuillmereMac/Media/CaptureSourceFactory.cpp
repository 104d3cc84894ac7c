#include "QuillmereMac/Media/CaptureSourceFactory.h"

#include "Platform/Dispatch/Clock.h"
#include "QuillmereMac/Capture/ScreenCaptureSource.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace quillmere {

namespace {

constexpr int minimumSide = 64;
constexpr int queueDepth = 3;

int evenAtLeastMinimum(double side) {
    // Doubles beyond any raster are held to one before the cast.
    const double clamped = std::clamp(std::floor(side), 0.0, 1'000'000.0);
    const auto value = static_cast<int>(clamped);
    return std::max(value - value % 2, minimumSide);
}

int evenAtLeastMinimum(int side) { return std::max(side - side % 2, minimumSide); }

double requestedAspect(const RequestedStream& requested) {
    return static_cast<double>(requested.width) / static_cast<double>(requested.height);
}

} // namespace

CaptureSourceFactory::CaptureSourceFactory(std::shared_ptr<WindowCatalog> catalog, DisplayQueries displays,
                                           ScreenCaptureStreamFactory streams)
    : catalog_(std::move(catalog)), displays_(std::move(displays)), streams_(std::move(streams)) {}

std::pair<int, int> CaptureSourceFactory::fitCaptureSize(int width, int height, double aspect) {
    if (!std::isfinite(aspect) || !(aspect > 0)) return {width, height};
    if (static_cast<double>(width) / aspect > height)
        return {evenAtLeastMinimum(aspect * height), evenAtLeastMinimum(height)};
    return {evenAtLeastMinimum(width), evenAtLeastMinimum(static_cast<double>(width) / aspect)};
}

CaptureSettings CaptureSourceFactory::windowSettings(const std::optional<Rect>& frame,
                                                     const RequestedStream& requested) {
    const double aspect = frame ? frame->width / std::max(frame->height, 1.0) : requestedAspect(requested);
    const auto [width, height] = fitCaptureSize(requested.width, requested.height, aspect);
    CaptureSettings settings;
    settings.width = width;
    settings.height = height;
    settings.maxFPS = requested.fps;
    settings.showsCursor = !requested.localCursor;
    settings.queueDepth = queueDepth;
    settings.fitBoxWidth = requested.width;
    settings.fitBoxHeight = requested.height;
    return settings;
}

CaptureSettings CaptureSourceFactory::displaySettings(const std::optional<DisplayQueries::PixelSize>& native,
                                                      const std::optional<Rect>& bounds,
                                                      const RequestedStream& requested) {
    int width = requested.width;
    int height = requested.height;
    if (native) {
        width = evenAtLeastMinimum(std::min(native->width, requested.width));
        height = evenAtLeastMinimum(std::min(native->height, requested.height));
    }
    const double aspect = bounds ? bounds->width / std::max(bounds->height, 1.0) : requestedAspect(requested);
    const auto [fittedWidth, fittedHeight] = fitCaptureSize(width, height, aspect);
    CaptureSettings settings;
    settings.width = fittedWidth;
    settings.height = fittedHeight;
    settings.maxFPS = requested.fps;
    settings.showsCursor = !requested.localCursor;
    settings.queueDepth = queueDepth;
    settings.fitBoxWidth = 0;
    settings.fitBoxHeight = 0;
    return settings;
}

std::pair<int, int> CaptureSourceFactory::displayRaster(const std::optional<DisplayQueries::PixelSize>& current,
                                                        int boxWidth, int boxHeight) {
    if (!current || current->width < 1 || current->height < 1)
        return {evenAtLeastMinimum(boxWidth), evenAtLeastMinimum(boxHeight)};
    // In integers: a shape fitted through a double aspect can lose a pixel.
    const std::int64_t nativeWidth = current->width;
    const std::int64_t nativeHeight = current->height;
    std::int64_t width = std::min<std::int64_t>(nativeWidth, std::max(boxWidth, 1));
    std::int64_t height = std::min<std::int64_t>(nativeHeight, std::max(boxHeight, 1));
    if (width * nativeHeight > height * nativeWidth) width = height * nativeWidth / nativeHeight;
    else height = width * nativeHeight / nativeWidth;
    return {evenAtLeastMinimum(static_cast<int>(width)), evenAtLeastMinimum(static_cast<int>(height))};
}

std::shared_ptr<CaptureSource> CaptureSourceFactory::makeSource(const CaptureChoice& choice,
                                                                const RequestedStream& requested) const {
    switch (choice.kind) {
    case CaptureChoice::Kind::window: return windowSource(choice.value, requested);
    case CaptureChoice::Kind::display: return displaySource(static_cast<int>(choice.value), requested);
    case CaptureChoice::Kind::testPattern:
        return std::make_shared<TestPatternSource>(requested.width, requested.height, requested.fps);
    }
    return nullptr;
}

// A client may pick a window or display it remembers from before this
// process listed anything: the catalog looks once more before giving up.
std::shared_ptr<CaptureSource> CaptureSourceFactory::windowSource(std::uint32_t windowID,
                                                                  const RequestedStream& requested) const {
    if (!streams_) return nullptr;
    auto capture = catalog_->windowFilter(windowID);
    if (!capture && catalog_->refresh(true)) capture = catalog_->windowFilter(windowID);
    if (!capture) return nullptr;
    return ScreenCaptureSource::make(capture->filter, windowSettings(catalog_->windowFrame(windowID), requested),
                                     "window " + std::to_string(windowID), streams_, &Clock::nowNs);
}

std::shared_ptr<CaptureSource> CaptureSourceFactory::displaySource(int index, const RequestedStream& requested) const {
    if (!streams_) return nullptr;
    auto filter = catalog_->displayFilter(index);
    if (!filter && catalog_->refresh(false)) filter = catalog_->displayFilter(index);
    if (!filter) return nullptr;
    const auto native = displays_.pixelSize ? displays_.pixelSize(index) : std::nullopt;
    auto source = ScreenCaptureSource::make(*filter, displaySettings(native, catalog_->displayBounds(index), requested),
                                            "display " + std::to_string(index), streams_, &Clock::nowNs);
    // A display's raster follows the display, which a text size or screen
    // shape may have changed meanwhile.
    source->setRasterRule([pixelSize = displays_.pixelSize, index](int boxWidth, int boxHeight) {
        return displayRaster(pixelSize ? pixelSize(index) : std::nullopt, boxWidth, boxHeight);
    });
    return source;
}

} // namespace quillmere

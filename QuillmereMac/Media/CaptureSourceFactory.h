#pragma once

#include "QuillmereMac/Capture/CaptureSettings.h"
#include "QuillmereMac/Capture/CaptureSource.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Media/RequestedStream.h"
#include "QuillmereMac/Surface/CaptureChoice.h"
#include "Platform/ScreenCapture/ScreenCaptureStream.h"

#include <memory>
#include <optional>
#include <utility>

namespace quillmere {

// Makes the capture source of a surface: a window or a display through the
// window catalog and screen capture, or the test pattern. Runs on the main
// actor, where the catalog lives.
class CaptureSourceFactory {
public:
    // Without streams only the test pattern can be made.
    CaptureSourceFactory(std::shared_ptr<WindowCatalog> catalog, DisplayQueries displays,
                         ScreenCaptureStreamFactory streams = {});

    // Nothing when the catalog does not know the window or the display.
    std::shared_ptr<CaptureSource> makeSource(const CaptureChoice& choice, const RequestedStream& requested) const;

    // A box fitted to an aspect (width / height), each side then rounded
    // down to even and raised to at least 64; an aspect that is not finite
    // and positive leaves the box as it is.
    static std::pair<int, int> fitCaptureSize(int width, int height, double aspect);
    // The stream settings of a window, given its catalogued frame.
    static CaptureSettings windowSettings(const std::optional<Rect>& frame, const RequestedStream& requested);
    // The stream settings of a display, given its native size and bounds.
    static CaptureSettings displaySettings(const std::optional<DisplayQueries::PixelSize>& native,
                                           const std::optional<Rect>& bounds, const RequestedStream& requested);
    // A display's raster within a box: its current size, shrunk to the box
    // keeping its shape, each side even and at least 64; never from an
    // earlier raster. The box alone when the size is unknown.
    static std::pair<int, int> displayRaster(const std::optional<DisplayQueries::PixelSize>& current, int boxWidth,
                                             int boxHeight);

private:
    std::shared_ptr<CaptureSource> windowSource(std::uint32_t windowID, const RequestedStream& requested) const;
    std::shared_ptr<CaptureSource> displaySource(int index, const RequestedStream& requested) const;

    std::shared_ptr<WindowCatalog> catalog_;
    DisplayQueries displays_;
    ScreenCaptureStreamFactory streams_;
};

} // namespace quillmere

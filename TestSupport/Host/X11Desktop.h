#pragma once

#include "QuillmereMac/App/DesktopEnvironmentX11.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/Desktop/PipelineBackends.h"

#include <memory>
#include <string>

namespace quillmere::testing {

// The host's own X11 desktop over a test's display.
inline std::shared_ptr<DesktopEnvironmentX11> x11Desktop(const std::string& display) {
    return std::make_shared<DesktopEnvironmentX11>(display);
}

// A catalog listing a test display as the host's does.
inline std::shared_ptr<WindowCatalog> x11Catalog(const std::string& display) {
    return std::make_shared<WindowCatalog>(display, WindowCatalog::currentProcessID(), WindowCatalog::defaultBundleID,
                                           x11Desktop(display)->contentFetcher());
}

// Media pipeline services over a test display: its catalog and the desktop's
// capture, display, audio and cursor backends.
inline MediaPipeline::Services x11Services(const std::string& display) {
    MediaPipeline::Services services;
    services.catalog = x11Catalog(display);
    PipelineBackends::fill(services, x11Desktop(display));
    return services;
}

} // namespace quillmere::testing

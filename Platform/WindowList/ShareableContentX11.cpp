#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/WindowList/ShareableContent.h"
#include "Platform/WindowList/WindowListX11.h"
#include "Platform/X11/XcbConnection.h"

#include <unordered_set>

namespace quillmere {

std::expected<ShareableContent, ScreenCaptureError> ShareableContent::fetch(const XcbConnection::Opener& open,
                                                                            const Options& options) {
    auto connection = open();
    if (!connection) {
        return std::unexpected(
            ScreenCaptureError::make(ScreenCaptureError::connectionInvalid, connection.error().description()));
    }
    return fetch(**connection, options);
}

std::expected<ShareableContent, ScreenCaptureError> ShareableContent::fetch(XcbConnection& connection,
                                                                            const Options& options) {
    auto displays = DisplayListX11::fetch(connection);
    if (!displays) return std::unexpected(displays.error());
    auto windows = WindowListX11::fetch(connection, options);
    if (!windows) return std::unexpected(windows.error());

    ShareableContent content;
    content.mainDisplayID = DisplayListX11::mainDisplayID(*displays, connection.defaultScreenNumber());
    content.displays = std::move(*displays);
    content.windows = std::move(*windows);
    std::unordered_set<std::int32_t> seen;
    for (const ContentWindow& window : content.windows) {
        if (window.owningApplication && seen.insert(window.owningApplication->processID).second) {
            content.applications.push_back(*window.owningApplication);
        }
    }
    return content;
}

} // namespace quillmere

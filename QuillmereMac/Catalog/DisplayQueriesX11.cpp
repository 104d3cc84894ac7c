#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Catalog/PreferredDisplay.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"

#include <vector>

namespace quillmere {

namespace {

struct DisplayList {
    std::vector<ContentDisplay> displays;
    int defaultScreen = 0;
};

// A connection of its own per query: queries are rare, and no capture
// stream's connection may be shared across threads.
std::optional<DisplayList> fetchDisplays(const XcbConnection::Opener& open) {
    auto connection = open();
    if (!connection) return std::nullopt;
    auto displays = DisplayListX11::fetch(**connection);
    if (!displays) return std::nullopt;
    return DisplayList{std::move(*displays), (*connection)->defaultScreenNumber()};
}

} // namespace

DisplayQueries DisplayQueries::x11(XcbConnection::Opener open) {
    DisplayQueries queries;
    queries.pixelSize = [open](int index) -> std::optional<PixelSize> {
        const auto list = fetchDisplays(open);
        if (!list || index < 0) return std::nullopt;
        std::vector<std::uint32_t> ids;
        for (const ContentDisplay& display : list->displays) ids.push_back(display.displayID);
        const std::uint32_t preferred =
            preferredDisplayID().value_or(DisplayListX11::mainDisplayID(list->displays, list->defaultScreen));
        const std::vector<std::uint32_t> ordered = WindowCatalog::mainDisplayFirst(ids, preferred);
        if (static_cast<std::size_t>(index) >= ordered.size()) return std::nullopt;
        const auto display = DisplayListX11::find(list->displays, ordered[static_cast<std::size_t>(index)]);
        if (!display || display->frame.width < 1 || display->frame.height < 1) return std::nullopt;
        return PixelSize{display->frame.width, display->frame.height};
    };
    queries.isOnline = [open](std::uint32_t displayID) {
        const auto list = fetchDisplays(open);
        return list && DisplayListX11::find(list->displays, displayID).has_value();
    };
    return queries;
}

} // namespace quillmere

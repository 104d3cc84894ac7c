// DisplayTextSize's displays over RandR.

#include "QuillmereMac/Display/DisplayTextSize.h"

#include "Platform/DisplayConfiguration/DisplayModesX11.h"

#include <memory>

namespace quillmere {

namespace {

DisplayTextSize::LiveMode liveModeOf(const DisplayModesX11::Mode& mode) {
    DisplayTextSize::LiveMode live;
    live.width = mode.width;
    live.height = mode.height;
    live.pixelWidth = mode.width;
    live.refreshRate = mode.refreshRate;
    live.usable = mode.usable;
    live.handle = mode.modeID;
    return live;
}

} // namespace

DisplayTextSize::Displays DisplayTextSize::Displays::randr(std::string displayName) {
    const auto modes = std::make_shared<DisplayModesX11>(std::move(displayName));
    Displays displays;
    displays.main = [modes] { return modes->mainDisplay().value_or(0); };
    displays.current = [modes](std::uint32_t display) -> std::optional<LiveMode> {
        const auto mode = modes->currentMode(display);
        if (!mode) return std::nullopt;
        return liveModeOf(*mode);
    };
    displays.all = [modes](std::uint32_t display) {
        std::vector<LiveMode> result;
        for (const auto& mode : modes->modes(display)) result.push_back(liveModeOf(mode));
        return result;
    };
    displays.set = [modes](std::uint32_t display, const LiveMode& mode, bool) {
        return mode.handle && modes->setMode(display, *mode.handle).has_value();
    };
    return displays;
}

} // namespace quillmere

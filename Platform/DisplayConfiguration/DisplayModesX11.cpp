#include "Platform/DisplayConfiguration/DisplayModesX11.h"

#include "Platform/DisplayConfiguration/RandrScreen.h"
#include "Platform/X11/XcbConnection.h"

#include <fmt/format.h>

namespace quillmere {

namespace {

using Code = DisplayConfigurationError::Code;

DisplayModesX11::Mode modeOf(const RandrScreen::Mode& mode, RandrScreen::Size largest) {
    DisplayModesX11::Mode result;
    result.modeID = mode.id;
    result.width = mode.width;
    result.height = mode.height;
    result.refreshRate = mode.refreshRate;
    result.usable = !mode.interlaced() && mode.width >= 1 && mode.height >= 1 && mode.width <= largest.width &&
                    mode.height <= largest.height;
    return result;
}

} // namespace

DisplayModesX11::DisplayModesX11(XcbConnection::Opener open) : open_(std::move(open)) {}

DisplayModesX11::~DisplayModesX11() = default;

std::expected<XcbConnection*, DisplayConfigurationError> DisplayModesX11::connection() {
    if (connection_ && !connection_->hasError()) return connection_.get();
    connection_.reset();
    auto opened = open_();
    if (!opened) return std::unexpected(DisplayConfigurationError::make(Code::connectionFailed, opened.error().description()));
    connection_ = std::move(*opened);
    return connection_.get();
}

std::optional<std::uint32_t> DisplayModesX11::mainDisplay() {
    std::lock_guard lock(mutex_);
    const auto c = connection();
    if (!c) return std::nullopt;
    const auto screen = RandrScreen::of(**c);
    if (!screen) return std::nullopt;
    const auto resources = screen->resources();
    if (!resources) return std::nullopt;
    const std::uint32_t output = screen->mainOutput(*resources);
    if (output == 0) return std::nullopt;
    const auto info = screen->output(output, resources->configTimestamp);
    if (!info || info->crtc == 0) return std::nullopt;
    return info->crtc;
}

std::optional<DisplayModesX11::Mode> DisplayModesX11::currentMode(std::uint32_t displayID) {
    std::lock_guard lock(mutex_);
    const auto c = connection();
    if (!c) return std::nullopt;
    const auto screen = RandrScreen::of(**c);
    if (!screen) return std::nullopt;
    const auto resources = screen->resources();
    if (!resources) return std::nullopt;
    const auto crtc = screen->crtc(displayID, resources->configTimestamp);
    if (!crtc || crtc->mode == 0) return std::nullopt;
    const RandrScreen::Mode* mode = resources->mode(crtc->mode);
    if (mode == nullptr) return std::nullopt;
    return modeOf(*mode, screen->sizeRange().second);
}

std::vector<DisplayModesX11::Mode> DisplayModesX11::modes(std::uint32_t displayID) {
    std::lock_guard lock(mutex_);
    std::vector<Mode> result;
    const auto c = connection();
    if (!c) return result;
    const auto screen = RandrScreen::of(**c);
    if (!screen) return result;
    const auto resources = screen->resources();
    if (!resources) return result;
    const auto crtc = screen->crtc(displayID, resources->configTimestamp);
    if (!crtc || crtc->outputs.empty()) return result;
    const auto output = screen->output(crtc->outputs.front(), resources->configTimestamp);
    if (!output) return result;
    const RandrScreen::Size largest = screen->sizeRange().second;
    for (const std::uint32_t id : output->modes) {
        if (const RandrScreen::Mode* mode = resources->mode(id)) result.push_back(modeOf(*mode, largest));
    }
    return result;
}

std::expected<void, DisplayConfigurationError> DisplayModesX11::setMode(std::uint32_t displayID, std::uint32_t modeID) {
    std::lock_guard lock(mutex_);
    const auto c = connection();
    if (!c) return std::unexpected(c.error());
    auto screen = RandrScreen::of(**c);
    if (!screen) return std::unexpected(screen.error());
    const auto resources = screen->resources();
    if (!resources) return std::unexpected(resources.error());
    auto crtc = screen->crtc(displayID, resources->configTimestamp);
    if (!crtc || crtc->outputs.empty()) {
        return std::unexpected(DisplayConfigurationError::make(Code::noSuchDisplay, fmt::format("CRTC {:#x}", displayID)));
    }
    crtc->mode = modeID;
    return screen->configureCrtc(*crtc);
}

} // namespace quillmere

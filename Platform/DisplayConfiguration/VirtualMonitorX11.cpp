#include "Platform/DisplayConfiguration/VirtualMonitorX11.h"

#include "Platform/DisplayConfiguration/RandrScreen.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/X11/XcbConnection.h"

#include <algorithm>
#include <array>
#include <fmt/format.h>

namespace quillmere {

namespace {

using Code = DisplayConfigurationError::Code;

DisplayConfigurationError failure(Code code, std::string detail) {
    return DisplayConfigurationError::make(code, std::move(detail));
}

// What the screen and the main output had before the first monitor: screen
// width and height, CRTC, mode, x, y, rotation.
struct Saved {
    RandrScreen::Size screen;
    std::uint32_t crtc = 0;
    std::uint32_t mode = 0;
    int x = 0;
    int y = 0;
    std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;

    static constexpr std::size_t count = 7;

    std::array<std::uint32_t, count> values() const {
        return {static_cast<std::uint32_t>(screen.width), static_cast<std::uint32_t>(screen.height), crtc, mode,
                static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), rotation};
    }
    static std::optional<Saved> from(const std::vector<std::uint32_t>& values) {
        if (values.size() < count) return std::nullopt;
        Saved saved;
        saved.screen = {static_cast<int>(values[0]), static_cast<int>(values[1])};
        saved.crtc = values[2];
        saved.mode = values[3];
        saved.x = static_cast<std::int32_t>(values[4]);
        saved.y = static_cast<std::int32_t>(values[5]);
        saved.rotation = static_cast<std::uint16_t>(values[6]);
        return saved;
    }
};

// Puts the CRTC back where the saved state had it, when it still shows a
// mode that is about to go.
void restoreCrtc(RandrScreen& screen, const Saved& saved, const std::vector<std::uint32_t>& goingModes) {
    const auto resources = screen.resources();
    if (!resources) return;
    auto crtc = screen.crtc(saved.crtc, resources->configTimestamp);
    if (!crtc || std::find(goingModes.begin(), goingModes.end(), crtc->mode) == goingModes.end()) return;
    crtc->mode = saved.mode;
    crtc->x = saved.x;
    crtc->y = saved.y;
    crtc->rotation = saved.rotation;
    (void)screen.configureCrtc(*crtc, RandrScreen::ScreenFit::growOnly);
}

void removeMode(RandrScreen& screen, const RandrScreen::Resources& resources, std::uint32_t mode) {
    for (const std::uint32_t output : resources.outputs) {
        const auto info = screen.output(output, resources.configTimestamp);
        if (info && std::find(info->modes.begin(), info->modes.end(), mode) != info->modes.end()) {
            (void)screen.deleteOutputMode(output, mode);
        }
    }
    (void)screen.destroyMode(mode);
}

} // namespace

std::expected<std::unique_ptr<VirtualMonitorX11>, DisplayConfigurationError> VirtualMonitorX11::make(
    const XcbConnection::Opener& open, const Wanted& wanted) {
    if (wanted.width < 1 || wanted.height < 1 || wanted.width > 0x7FFF || wanted.height > 0x7FFF) {
        return std::unexpected(failure(Code::tooLarge, fmt::format("{}x{}", wanted.width, wanted.height)));
    }
    auto opened = open();
    if (!opened) return std::unexpected(failure(Code::connectionFailed, opened.error().description()));
    std::unique_ptr<VirtualMonitorX11> made(new VirtualMonitorX11());
    made->connection_ = std::move(*opened);
    XcbConnection& connection = *made->connection_;
    auto screen = RandrScreen::of(connection);
    if (!screen) return std::unexpected(screen.error());

    const RandrScreen::Grab grab(*screen);
    const auto resources = screen->resources();
    if (!resources) return std::unexpected(resources.error());
    const std::uint32_t output = screen->mainOutput(*resources);
    const auto outputInfo = output != 0 ? screen->output(output, resources->configTimestamp) : std::nullopt;
    const auto crtc = outputInfo ? screen->crtc(outputInfo->crtc, resources->configTimestamp) : std::nullopt;
    if (!crtc) return std::unexpected(failure(Code::noSuchDisplay, "no output shows anything"));
    const RandrScreen::Size largest = screen->sizeRange().second;
    if (wanted.width > largest.width || wanted.height > largest.height) {
        return std::unexpected(failure(Code::tooLarge, fmt::format("{}x{} exceeds the screen's {}x{}", wanted.width,
                                                                   wanted.height, largest.width, largest.height)));
    }

    made->name_ = connection.atom(wanted.name);
    made->saved_ = connection.atom(savedProperty);
    made->output_ = output;
    if (made->name_ == XCB_ATOM_NONE || made->saved_ == XCB_ATOM_NONE) {
        return std::unexpected(failure(Code::connectionFailed, "cannot intern the monitor's name"));
    }
    // A monitor of the same name would refuse this one.
    for (const RandrScreen::Monitor& monitor : screen->monitors()) {
        if (monitor.name == made->name_) (void)screen->deleteMonitor(monitor.name);
    }

    const RandrScreen::Size before = screen->size();
    // The oldest state is the one to go back to: a monitor that is still
    // there already saved it.
    const bool savedHere = screen->rootCardinals(made->saved_).size() < Saved::count;
    if (savedHere) {
        const Saved saved{before, crtc->id, crtc->mode, crtc->x, crtc->y, crtc->rotation};
        screen->setRootCardinals(made->saved_, saved.values());
    }
    const auto undoSaved = [&] {
        if (savedHere) screen->deleteRootProperty(made->saved_);
    };

    const auto mode = screen->createMode(wanted.modeName, wanted.width, wanted.height, wanted.refreshRate);
    if (!mode) {
        undoSaved();
        return std::unexpected(mode.error());
    }
    made->mode_ = *mode;
    if (auto added = screen->addOutputMode(output, *mode); !added) {
        (void)screen->destroyMode(*mode);
        undoSaved();
        return std::unexpected(added.error());
    }
    const RandrScreen::Size enlarged{std::max(before.width, wanted.width), std::max(before.height, wanted.height)};
    auto placed = enlarged == before ? std::expected<void, DisplayConfigurationError>{} : screen->setSize(enlarged);
    if (placed) {
        placed = screen->setMonitor(RandrScreen::Monitor{made->name_, wanted.name, 0, 0, wanted.width, wanted.height, {}});
    }
    if (!placed) {
        (void)screen->deleteOutputMode(output, *mode);
        (void)screen->destroyMode(*mode);
        if (enlarged != before) (void)screen->setSize(before);
        undoSaved();
        return std::unexpected(placed.error());
    }
    made->displayID_ = DisplayListX11::monitorID(screen->screenNumber(), made->name_);
    return made;
}

VirtualMonitorX11::~VirtualMonitorX11() {
    if (!connection_ || connection_->hasError()) return;
    auto screen = RandrScreen::of(*connection_);
    if (!screen) return;
    const RandrScreen::Grab grab(*screen);
    (void)screen->deleteMonitor(name_);
    const auto saved = Saved::from(screen->rootCardinals(saved_));
    if (saved) restoreCrtc(*screen, *saved, {mode_});
    if (const auto resources = screen->resources()) removeMode(*screen, *resources, mode_);
    // Another monitor still needs the enlarged screen: the saved state waits
    // for it.
    bool needed = false;
    for (const RandrScreen::Monitor& monitor : screen->monitors()) {
        if (saved && (monitor.x + monitor.width > saved->screen.width || monitor.y + monitor.height > saved->screen.height))
            needed = true;
    }
    if (saved && !needed) {
        (void)screen->setSize(saved->screen);
        screen->deleteRootProperty(saved_);
    }
}

std::expected<void, DisplayConfigurationError> VirtualMonitorX11::mirror() {
    if (connection_->hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
    auto screen = RandrScreen::of(*connection_);
    if (!screen) return std::unexpected(screen.error());
    const RandrScreen::Grab grab(*screen);
    const auto resources = screen->resources();
    if (!resources) return std::unexpected(resources.error());
    const auto output = screen->output(output_, resources->configTimestamp);
    auto crtc = output ? screen->crtc(output->crtc, resources->configTimestamp) : std::nullopt;
    if (!crtc) return std::unexpected(failure(Code::noSuchDisplay, "the main output shows nothing"));
    if (crtc->mode == mode_ && crtc->x == 0 && crtc->y == 0) return {};
    crtc->mode = mode_;
    crtc->x = 0;
    crtc->y = 0;
    crtc->rotation = XCB_RANDR_ROTATION_ROTATE_0;
    return screen->configureCrtc(*crtc, RandrScreen::ScreenFit::growOnly);
}

std::expected<int, DisplayConfigurationError> VirtualMonitorX11::removeLeftovers(const XcbConnection::Opener& open,
                                                                                std::string_view namePrefix) {
    auto opened = open();
    if (!opened) return std::unexpected(failure(Code::connectionFailed, opened.error().description()));
    XcbConnection& connection = **opened;
    auto screen = RandrScreen::of(connection);
    if (!screen) return std::unexpected(screen.error());
    const RandrScreen::Grab grab(*screen);
    const auto resources = screen->resources();
    if (!resources) return std::unexpected(resources.error());
    const auto ours = [&](const std::string& name) { return name.starts_with(namePrefix); };

    std::vector<std::uint32_t> leftoverModes;
    for (const RandrScreen::Mode& mode : resources->modes)
        if (ours(mode.name)) leftoverModes.push_back(mode.id);
    const xcb_atom_t savedAtom = connection.atom(savedProperty);
    const auto saved = Saved::from(screen->rootCardinals(savedAtom));
    if (saved) restoreCrtc(*screen, *saved, leftoverModes);

    int removed = 0;
    for (const RandrScreen::Monitor& monitor : screen->monitors()) {
        if (!ours(monitor.nameText)) continue;
        if (screen->deleteMonitor(monitor.name)) ++removed;
    }
    if (const auto now = screen->resources()) {
        for (const std::uint32_t mode : leftoverModes) removeMode(*screen, *now, mode);
    }
    if (saved) {
        (void)screen->setSize(saved->screen);
        screen->deleteRootProperty(savedAtom);
    }
    if (connection.hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
    return removed;
}

} // namespace quillmere

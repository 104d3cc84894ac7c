#include "QuillmereMac/App/DesktopEnvironmentX11.h"

#include "Platform/Accessibility/WindowSystemEwmh.h"
#include "Platform/DisplayConfiguration/DisplayModesX11.h"
#include "Platform/DisplayConfiguration/RandrScreen.h"
#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/Pasteboard/SystemPasteboard.h"
#include "Platform/Permissions/PermissionsX11.h"
#include "Platform/Power/LogindIdleInhibitor.h"
#include "Platform/ScreenCapture/CursorImageX11.h"
#include "Platform/ScreenCapture/ScreenCaptureStreamX11.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/WiFi/WiFiNl80211.h"
#include "QuillmereMac/App/SystemPermissions.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"
#include "QuillmereMac/Catalog/PreferredDisplay.h"
#include "QuillmereMac/Display/RandrVirtualDisplayMaker.h"
#include "QuillmereMacCore/HostSession.h"

#include <QGuiApplication>

#include <fmt/format.h>

namespace quillmere {

namespace {

class LogindActivity final : public AwakeWhileStreaming::Activity {
public:
    explicit LogindActivity(LogindIdleInhibitor::Lock lock) : lock_(std::move(lock)) {}

private:
    LogindIdleInhibitor::Lock lock_;
};

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

// Every connected output with a CRTC, by name.
DisplayRecords::Outputs randrOutputs(XcbConnection& connection) {
    DisplayRecords::Outputs outputs;
    auto screen = RandrScreen::of(connection);
    if (!screen) return outputs;
    const auto resources = screen->resources();
    if (!resources) return outputs;
    const std::uint32_t main = screen->mainOutput(*resources);
    for (const std::uint32_t id : resources->outputs) {
        const auto output = screen->output(id, resources->configTimestamp);
        if (!output || !output->connected || output->crtc == XCB_NONE) continue;
        DisplayRecords::Output found;
        found.main = id == main;
        found.builtIn = DisplayRecords::isBuiltIn(output->name);
        if (const auto crtc = screen->crtc(output->crtc, resources->configTimestamp); crtc && crtc->mode != XCB_NONE) {
            if (const RandrScreen::Mode* mode = resources->mode(crtc->mode))
                found.mode = DisplayRecords::Mode{mode->width, mode->height, mode->refreshRate};
        }
        outputs.emplace(output->name, found);
    }
    return outputs;
}

struct DisplayList {
    std::vector<ContentDisplay> displays;
    int defaultScreen = 0;
};

// A connection of its own per display query: queries are rare, and no
// capture stream's connection may be shared across threads.
std::optional<DisplayList> fetchDisplays(const XcbConnection::Opener& open) {
    auto connection = open();
    if (!connection) return std::nullopt;
    auto displays = DisplayListX11::fetch(**connection);
    if (!displays) return std::nullopt;
    return DisplayList{std::move(*displays), (*connection)->defaultScreenNumber()};
}

} // namespace

DesktopEnvironmentX11::DesktopEnvironmentX11(std::string displayName)
    : displayName_(std::move(displayName)), open_(XcbConnection::opener(displayName_)) {}

bool DesktopEnvironmentX11::displayOpens(const std::string& displayName) {
    return PermissionsX11(XcbConnection::opener(displayName)).displayOpens();
}

std::optional<DesktopEnvironmentX11::ColourProblem> DesktopEnvironmentX11::colourProblem(
    const std::string& displayName) {
    auto connection = XcbConnection::opener(displayName)();
    if (!connection) return std::nullopt;
    const auto number = static_cast<std::size_t>((*connection)->defaultScreenNumber());
    if (number >= (*connection)->screens().size()) return std::nullopt;
    const xcb_screen_t& screen = *(*connection)->screens()[number];
    const auto root = PixelLayoutX11::describe(*xcb_get_setup((*connection)->get()), screen.root_depth,
                                               screen.root_visual);
    return colourProblem(root.value_or(PixelLayoutX11::Visual{.depth = screen.root_depth}));
}

std::optional<DesktopEnvironmentX11::ColourProblem> DesktopEnvironmentX11::colourProblem(
    const PixelLayoutX11::Visual& root) {
    const bool masked =
        root.visualClass == XCB_VISUAL_CLASS_TRUE_COLOR || root.visualClass == XCB_VISUAL_CLASS_DIRECT_COLOR;
    if (!masked || root.depth < 15) {
        return ColourProblem{fmt::format("this desktop's colour depth ({} bits{}) is too low for Quillmere to draw "
                                         "its windows or share the screen; start the desktop at one of the depths "
                                         "that work: 15, 16, 24 and 30 bits.",
                                         root.depth, masked ? "" : ", with a palette"),
                             false};
    }
    if (root.visualClass == XCB_VISUAL_CLASS_DIRECT_COLOR) {
        return ColourProblem{fmt::format("this desktop's colours ({} bits) go through a colour map, which "
                                         "Quillmere cannot share; start the desktop in TrueColor, at one of the "
                                         "depths that work: 15, 16, 24 and 30 bits.",
                                         root.depth),
                             true};
    }
    return std::nullopt;
}

WindowCatalog::ContentFetcher DesktopEnvironmentX11::contentFetcher() {
    return [open = open_](const ShareableContent::Options& options) { return ShareableContent::fetch(open, options); };
}

ScreenCaptureStreamFactory DesktopEnvironmentX11::captureStreams() { return ScreenCaptureStreamX11::factory(open_); }

DisplayQueries DesktopEnvironmentX11::displayQueries() {
    DisplayQueries queries;
    queries.pixelSize = [open = open_](int index) -> std::optional<DisplayQueries::PixelSize> {
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
        return DisplayQueries::PixelSize{display->frame.width, display->frame.height};
    };
    queries.isOnline = [open = open_](std::uint32_t displayID) {
        const auto list = fetchDisplays(open);
        return list && DisplayListX11::find(list->displays, displayID).has_value();
    };
    return queries;
}

std::shared_ptr<AudioSource> DesktopEnvironmentX11::makeAudioSource(AudioCaptureFilter filter) {
    return std::make_shared<ScreenAudioSource>(std::move(filter));
}

CursorShapeWatcher::Sample DesktopEnvironmentX11::cursorSampler() {
    // Opened at the first sample, on the main actor, and kept.
    return [open = open_, reader = std::shared_ptr<CursorImageX11>()]() mutable -> std::optional<SystemCursor> {
        if (!reader) {
            auto opened = open();
            if (!opened) return std::nullopt;
            reader = std::make_shared<CursorImageX11>(std::move(*opened));
        }
        const auto image = reader->current();
        if (!image) return std::nullopt;
        return SystemCursor::fromX11(*image);
    };
}

std::expected<std::shared_ptr<EventPosting>, std::string> DesktopEnvironmentX11::makeEventPoster() {
    auto opened = EventPosterX11::open(open_);
    if (!opened) return std::unexpected(opened.error().description());
    return std::shared_ptr<EventPosting>(std::move(*opened));
}

std::expected<std::shared_ptr<WindowSystem>, std::string> DesktopEnvironmentX11::makeWindowSystem() {
    auto opened = WindowSystemEwmh::open(open_);
    if (!opened) return std::unexpected(opened.error().description());
    return std::shared_ptr<WindowSystem>(std::move(*opened));
}

std::shared_ptr<PasteboardAccess> DesktopEnvironmentX11::makePasteboard(Executor& main) {
    return std::make_shared<SystemPasteboard>(main, open_, HostSession::maxClipboardBytes);
}

DisplayTextSize::Displays DesktopEnvironmentX11::textSizeDisplays() {
    using LiveMode = DisplayTextSize::LiveMode;
    const auto modes = std::make_shared<DisplayModesX11>(open_);
    DisplayTextSize::Displays displays;
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
    // X11 has no change for one application: every change is the session's.
    displays.set = [modes](std::uint32_t display, const LiveMode& mode, bool) {
        return mode.handle && modes->setMode(display, *mode.handle).has_value();
    };
    return displays;
}

std::shared_ptr<VirtualDisplayMaking> DesktopEnvironmentX11::makeVirtualDisplays() {
    return std::make_shared<RandrVirtualDisplayMaker>(open_);
}

std::shared_ptr<PermissionChecking> DesktopEnvironmentX11::makePermissions() {
    return std::make_shared<SystemPermissions>(open_);
}

AwakeWhileStreaming::Begin DesktopEnvironmentX11::awakeActivity() {
    return [](std::string_view why) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
        auto lock = LogindIdleInhibitor().inhibit("Quillmere", why);
        if (!lock) return std::unexpected(lock.error());
        return std::make_unique<LogindActivity>(std::move(*lock));
    };
}

std::function<std::optional<WiFiStatus>()> DesktopEnvironmentX11::wifi() {
    return [] { return WiFiNl80211::read(); };
}

std::function<bool()> DesktopEnvironmentX11::peerToPeerRunning() {
    return [] { return WiFiNl80211::isInterfaceRunning("awdl0"); };
}

std::function<std::vector<DisplayRecords::Screen>()> DesktopEnvironmentX11::screens() {
    return [open = open_] {
        return DisplayRecords::current([&open]() -> DisplayRecords::Outputs {
            // Only Qt's own X screens have RandR outputs of their name.
            if (QGuiApplication::platformName() != "xcb") return {};
            auto connection = open();
            if (!connection) return {};
            return randrOutputs(**connection);
        });
    };
}

} // namespace quillmere

#pragma once

#include "Platform/ScreenCapture/PixelLayoutX11.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Desktop/DesktopEnvironment.h"

#include <optional>
#include <string>

namespace quillmere {

// The desktop on Linux: X11 through XCB for windows, displays, capture,
// cursor, input, RandR modes and clipboard reads; Qt's clipboard for writes;
// PulseAudio for sound; logind for keeping the display awake; nl80211 for
// Wi-Fi. Every X connection of the host other than Qt's is opened here: one
// per capture stream, content fetch, display query and permission check
// (each used on one thread and then closed), and one kept by each of the
// cursor reader, the event poster, the window system (and its activation
// watcher), the display modes and the clipboard reader (from its first read).
class DesktopEnvironmentX11 final : public DesktopEnvironment {
public:
    // An empty name means $DISPLAY.
    explicit DesktopEnvironmentX11(std::string displayName = {});

    // Whether the display opens at all: asked before Qt opens it, which
    // would abort without a word a user could act on.
    static bool displayOpens(const std::string& displayName = {});

    // A desktop whose colours the host can neither show nor share: Qt
    // crashes drawing on a palette, and capture reads only TrueColor.
    struct ColourProblem {
        // Starts lower case: it follows "Quillmere could not start: ".
        std::string sentence;
        // Whether Qt can still draw an alert there.
        bool alertShows = false;

        bool operator==(const ColourProblem&) const = default;
    };
    // Of the default screen's root visual; nothing when the display does not open.
    static std::optional<ColourProblem> colourProblem(const std::string& displayName = {});
    static std::optional<ColourProblem> colourProblem(const PixelLayoutX11::Visual& root);

    WindowCatalog::ContentFetcher contentFetcher() override;
    ScreenCaptureStreamFactory captureStreams() override;
    DisplayQueries displayQueries() override;
    std::shared_ptr<AudioSource> makeAudioSource(AudioCaptureFilter filter) override;
    CursorShapeWatcher::Sample cursorSampler() override;
    std::expected<std::shared_ptr<EventPosting>, std::string> makeEventPoster() override;
    std::expected<std::shared_ptr<WindowSystem>, std::string> makeWindowSystem() override;
    std::shared_ptr<PasteboardAccess> makePasteboard(Executor& main) override;
    DisplayTextSize::Displays textSizeDisplays() override;
    std::shared_ptr<VirtualDisplayMaking> makeVirtualDisplays() override;
    std::shared_ptr<PermissionChecking> makePermissions() override;
    AwakeWhileStreaming::Begin awakeActivity() override;
    std::function<std::optional<WiFiStatus>()> wifi() override;
    std::function<bool()> peerToPeerRunning() override;
    std::function<std::vector<DisplayRecords::Screen>()> screens() override;

    const std::string& displayName() const { return displayName_; }

private:
    const std::string displayName_;
    const XcbConnection::Opener open_;
};

} // namespace quillmere

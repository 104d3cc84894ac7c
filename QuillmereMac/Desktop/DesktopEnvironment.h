#pragma once

#include "Platform/Accessibility/WindowSystem.h"
#include "Platform/AudioCapture/AudioCaptureFilter.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/EventPosting/EventPosting.h"
#include "Platform/Pasteboard/PasteboardAccess.h"
#include "Platform/ScreenCapture/ScreenCaptureStream.h"
#include "Platform/WiFi/WiFiStatus.h"
#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Cursor/CursorShapeWatcher.h"
#include "QuillmereMac/Diagnostics/DisplayRecords.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayMaking.h"
#include "QuillmereMac/Engine/PermissionChecking.h"
#include "QuillmereMac/HostService/AwakeWhileStreaming.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The one place that knows which platform the host runs on: it makes every
// backend the domain classes take as interfaces. Asked once, by the
// composition root; tests give one of their own.
class DesktopEnvironment {
public:
    virtual ~DesktopEnvironment() = default;

    // Windows and displays that can be shared; any thread.
    virtual WindowCatalog::ContentFetcher contentFetcher() = 0;
    // Capture streams of windows and displays.
    virtual ScreenCaptureStreamFactory captureStreams() = 0;
    virtual DisplayQueries displayQueries() = 0;
    // Captured sound through a filter; nothing when it cannot be made.
    virtual std::shared_ptr<AudioSource> makeAudioSource(AudioCaptureFilter filter) = 0;
    // The system cursor, sampled on the main actor.
    virtual CursorShapeWatcher::Sample cursorSampler() = 0;
    // Where injected input goes; a failure says why none can be.
    virtual std::expected<std::shared_ptr<EventPosting>, std::string> makeEventPoster() = 0;
    // Windows as the window manager sees them, for raising and fitting.
    virtual std::expected<std::shared_ptr<WindowSystem>, std::string> makeWindowSystem() = 0;
    // The system clipboard, used on the main actor.
    virtual std::shared_ptr<PasteboardAccess> makePasteboard(Executor& main) = 0;
    // The display modes a text-size change switches between, and the maker
    // of virtual displays.
    virtual DisplayTextSize::Displays textSizeDisplays() = 0;
    virtual std::shared_ptr<VirtualDisplayMaking> makeVirtualDisplays() = 0;
    // What the system lets the host do: read the screen, post input.
    virtual std::shared_ptr<PermissionChecking> makePermissions() = 0;
    // Keeps the display awake while streaming.
    virtual AwakeWhileStreaming::Begin awakeActivity() = 0;
    // For the diagnostics log: the Wi-Fi link (none without one), whether a
    // peer-to-peer interface runs, and the screens with their outputs.
    virtual std::function<std::optional<WiFiStatus>()> wifi() = 0;
    virtual std::function<bool()> peerToPeerRunning() = 0;
    virtual std::function<std::vector<DisplayRecords::Screen>()> screens() = 0;
};

} // namespace quillmere

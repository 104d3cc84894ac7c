#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/EventPosting/EventPosting.h"
#include "Platform/Pasteboard/PasteboardAccess.h"
#include "QuillmereMac/Audio/SessionAudio.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Consent/ConsentPresenting.h"
#include "QuillmereMac/Control/ClipboardBridge.h"
#include "QuillmereMac/Control/RemoteControl.h"
#include "QuillmereMac/Control/WindowRaising.h"
#include "QuillmereMac/Cursor/SessionCursor.h"
#include "QuillmereMac/Display/DisplaySettling.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Media/CaptureSourceFactory.h"
#include "QuillmereMac/Media/RequestedStream.h"
#include "QuillmereMac/Media/SessionMediaDelegate.h"
#include "QuillmereMac/Media/SurfaceTable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere {

// The one owner of everything a session shares, and every connection's
// media requests: a thin front that routes each request to the part that
// owns its state (the surface table, remote control, the clipboard bridge,
// the session's audio and cursor, and the display settling).
class MediaPipeline final : public SessionMediaDelegate, public std::enable_shared_from_this<MediaPipeline> {
public:
    using SourceFactory = SurfaceTable::SourceFactory;
    using AudioSourceFactory = SessionAudio::AudioSourceFactory;
    using RoutedAudioSourceFactory = SessionAudio::RoutedAudioSourceFactory;

    struct Services {
        // Main actor only; an empty one when not given.
        std::shared_ptr<WindowCatalog> catalog;
        std::weak_ptr<ConsentPresenting> consent;
        // Where capture sources are made and started, consent is asked and
        // the capture list is built.
        Executor* mainActor = nullptr;
        // Whether the test pattern is offered; false when not given.
        std::function<bool()> testPatternEnabled;
        // Whether the process may post input events; false when not given.
        std::function<bool()> permission;
        // Sizes unknown and no display online when not given.
        DisplayQueries displays;
        // No source, so no surface, when not given.
        SourceFactory makeSource;
        // Main actor: why content could not be captured, in words, when a
        // capture fails for that; nothing once a capture starts. Nobody is
        // told when not given.
        std::function<void(std::optional<std::string>)> captureProblem;
        // Where stops and delayed re-captures run; a queue of its own by default.
        std::shared_ptr<Executor> tasks;
        // The raw uptime clock by default.
        std::function<std::uint64_t()> clock;
        // How each surface pipeline is made (its encoder, its rate control).
        SurfacePipeline::Environment pipelines;
        // Main actor. The session-wide stream's source for what the first
        // surface shows, and a routed surface's source for its route: the
        // click track for the test pattern, captured sound through the
        // catalog's filters otherwise, none for silence; none at all when not
        // given.
        AudioSourceFactory makeAudioSource;
        RoutedAudioSourceFactory makeRoutedAudioSource;
        // Main actor. The system cursor; none when not given.
        CursorShapeWatcher::Sample sampleCursor;
        // Where injected input goes; without one, control is never granted.
        std::shared_ptr<EventPosting> poster;
        // Where the control state lives and the key-repeat timer runs; a
        // queue of its own by default.
        std::shared_ptr<Executor> controlQueue;
        // The system clipboard (main actor); without one, clipboard requests
        // are refused.
        std::shared_ptr<PasteboardAccess> pasteboard;
        // The main display's text size, and the virtual display behind the
        // wide screen shapes; without them those requests change nothing.
        std::shared_ptr<DisplayTextSize> textSize;
        std::shared_ptr<VirtualDisplayController> virtualDisplay;
        // Brings controlled windows forward; without one, none is raised.
        std::shared_ptr<WindowRaising> raiser;
        // Where the window listing behind control is fetched, off the main
        // actor; a queue of its own by default.
        std::shared_ptr<Executor> catalogRefresh;
    };

    static constexpr std::uint32_t testPatternID = CaptureChoice::testPatternID;
    static constexpr const char* testPatternTitle = "Test pattern (measurement)";

    static std::shared_ptr<MediaPipeline> make(Services services);
    MediaPipeline(const MediaPipeline&) = delete;
    MediaPipeline& operator=(const MediaPipeline&) = delete;

    // Surface operations (any thread unless said otherwise).
    void startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                      std::shared_ptr<MediaConnection> connection) override;
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    void beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                    std::shared_ptr<MediaConnection> connection) override;
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override;
    // The surface with the smallest identifier, whichever its connection.
    std::optional<SurfaceTable::Entry> lowestSurface() { return surfaces_->lowest(); }
    // Any one surface's connection's pacer figures; nothing without surfaces.
    std::optional<DatagramPacer::Metrics> pacerSnapshot();
    void setPaused(std::uint32_t surfaceID, bool paused, const std::shared_ptr<MediaConnection>& connection) override;
    void setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                          const std::shared_ptr<MediaConnection>& connection) override;
    void clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    std::shared_ptr<MediaConnection> lastConnection() override { return surfaces_->lastConnection(); }

    // Capture choices (main actor).
    void captureList(std::function<void(std::vector<CaptureWindow>)> reply) override;
    std::vector<CaptureWindow> captureList();
    void requestCaptureConsent(std::string deviceName, std::uint32_t captureID, std::function<void(bool approved)> reply,
                               std::shared_ptr<PromptScope> prompts) override;
    bool testPatternEnabled() override { return testPatternEnabled_(); }
    static std::pair<int, int> fitCaptureSize(int width, int height, double aspect) {
        return CaptureSourceFactory::fitCaptureSize(width, height, aspect);
    }

    // Control, input, clipboard, text size and screen shape.
    void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) override;
    void inject(const std::vector<InjectAction>& actions) override;
    void setScreenShape(ScreenShape shape) override;
    void setTextSize(std::uint8_t level) override;
    void writeClipboard(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
                        std::shared_ptr<PromptScope> prompts) override;
    void readClipboard(std::string clientName, std::function<void(bool approved, std::optional<std::string> text)> reply,
                       std::shared_ptr<PromptScope> prompts) override;
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                        std::function<void(bool approved)> reply, std::shared_ptr<PromptScope> prompts) override;
    bool permission() override { return permission_(); }

    // The parts, for diagnostics and tests.
    SurfaceTable& surfaceTable() const { return *surfaces_; }
    RemoteControl& control() const { return *control_; }
    SessionAudio& audio() const { return *audio_; }
    SessionCursor& cursor() const { return *cursor_; }
    DisplaySettling& displays() const { return *displays_; }

    explicit MediaPipeline(Services services);

private:
    void wire();

    const std::shared_ptr<WindowCatalog> catalog_;
    const std::weak_ptr<ConsentPresenting> consent_;
    Executor& mainActor_;
    const std::function<bool()> testPatternEnabled_;
    const std::function<bool()> permission_;
    const std::function<std::uint64_t()> clock_;
    const std::shared_ptr<SurfaceTable> surfaces_;
    const std::shared_ptr<RemoteControl> control_;
    const std::shared_ptr<SessionAudio> audio_;
    const std::shared_ptr<SessionCursor> cursor_;
    const std::shared_ptr<DisplaySettling> displays_;
    ClipboardBridge clipboard_;
};

} // namespace quillmere

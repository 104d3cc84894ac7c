#pragma once

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/EventPosting/EventPosting.h"
#include "Platform/Pasteboard/PasteboardAccess.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Audio/AudioStream.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Consent/ConsentPresenting.h"
#include "QuillmereMac/Control/WindowRaising.h"
#include "QuillmereMac/Cursor/CursorShapeWatcher.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Input/InputInjector.h"
#include "QuillmereMac/Media/CaptureSourceFactory.h"
#include "QuillmereMac/Media/RequestedStream.h"
#include "QuillmereMac/Media/SessionMediaDelegate.h"
#include "QuillmereMac/Media/SurfaceKey.h"
#include "QuillmereMac/Media/SurfacePipeline.h"
#include "QuillmereMacCore/AudioRouting.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace quillmere {

// The one owner of everything a session shares: the table of live surface
// pipelines, every connection's media requests, capture sources made for
// surfaces, re-capture after an interruption, and the control of this computer
// that follows one controlled surface.
//
// Every shared field is a box with its own lock; no two are held at once and
// none across a call into a pipeline, a connection or a task. Capture sources
// are made and started on the main actor; a pipeline's state is touched only
// on its queue.
class MediaPipeline final : public SessionMediaDelegate, public std::enable_shared_from_this<MediaPipeline> {
public:
    using RequestedBox = quillmere::RequestedBox;
    using SourceFactory = std::function<std::shared_ptr<CaptureSource>(CaptureChoice, RequestedStream)>;
    using AudioSourceFactory = std::function<std::shared_ptr<AudioSource>(CaptureChoice)>;
    using RoutedAudioSourceFactory = std::function<std::shared_ptr<AudioSource>(const AudioRouting::Route&)>;

    struct Services {
        // Main actor only.
        std::shared_ptr<WindowCatalog> catalog;
        std::weak_ptr<ConsentPresenting> consent;
        // Where capture sources are made and started, consent is asked and
        // the capture list is built.
        Executor* mainActor = nullptr;
        // Whether the test pattern is offered; false when not given.
        std::function<bool()> testPatternEnabled;
        // Whether the process may post input events; false when not given.
        std::function<bool()> permission;
        // The catalog's X display by default.
        DisplayQueries displays;
        // A CaptureSourceFactory over the catalog and displays by default.
        SourceFactory makeSource;
        // Where stops and delayed re-captures run; a queue of its own by default.
        std::shared_ptr<Executor> tasks;
        // The raw uptime clock by default.
        std::function<std::uint64_t()> clock;
        // How each surface pipeline is made (its encoder, its rate control).
        SurfacePipeline::Environment pipelines;
        // Main actor. The session-wide stream's source for what the first
        // surface shows, and a routed surface's source for its route: the
        // click track for the test pattern, captured sound through the
        // catalog's filters otherwise, none for silence.
        AudioSourceFactory makeAudioSource;
        RoutedAudioSourceFactory makeRoutedAudioSource;
        // Main actor. The system cursor; the catalog's X display's by default.
        CursorShapeWatcher::Sample sampleCursor;
        // Where injected input goes; without one, control is never granted.
        std::shared_ptr<EventPosting> poster;
        // Where the key-repeat timer runs; a queue of its own by default.
        std::shared_ptr<Executor> repeatTimers;
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

    // What control of a surface acts on: its frame now, the label the user
    // is asked about, and for a window, the window itself.
    struct ControlFrame {
        Rect frame;
        std::string label;
        std::optional<ControlTarget> target;
    };
    // The window last raised for control, and when (0 without one).
    struct RaiseState {
        std::optional<ControlTarget> target;
        std::uint64_t lastNs = 0;
    };

    static constexpr std::uint64_t listingTimeoutNs = 1'000'000'000;
    static constexpr std::uint64_t postRaiseDelayNs = 250'000'000;
    static constexpr std::uint64_t clickRaiseIntervalNs = 300'000'000;

    // The repeat timer's period and leeway while a repeat or gesture is pending.
    static constexpr std::uint64_t repeatTickNs = 5'000'000;
    static constexpr std::uint64_t repeatLeewayNs = 1'000'000;

    static constexpr std::uint64_t recaptureWindowNs = 60'000'000'000;
    static constexpr std::uint64_t recaptureDelayNs = 1'000'000'000;
    static constexpr std::int64_t recapturesPerSurface = 3;
    static constexpr std::uint32_t testPatternID = CaptureChoice::testPatternID;
    static constexpr const char* testPatternTitle = "Test pattern (measurement)";
    // How long displays take to settle after a change, before surfaces follow.
    static constexpr std::uint64_t textSizeSettleNs = 400'000'000;
    static constexpr std::uint64_t shapeDetourSettleNs = 1'000'000'000;
    static constexpr std::uint64_t virtualDisplaySettleNs = 1'200'000'000;
    static constexpr std::uint64_t standardShapeSettleNs = 300'000'000;

    static std::shared_ptr<MediaPipeline> make(Services services);
    ~MediaPipeline() override;
    MediaPipeline(const MediaPipeline&) = delete;
    MediaPipeline& operator=(const MediaPipeline&) = delete;

    // Surface operations (any thread unless said otherwise).
    void startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                      std::shared_ptr<MediaConnection> connection) override;
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    void beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                    std::shared_ptr<MediaConnection> connection) override;
    void captureInterrupted(std::uint32_t surfaceID, std::uint32_t captureID,
                            const std::shared_ptr<MediaConnection>& connection);
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override;
    // The surface with the smallest identifier, whichever its connection.
    std::optional<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>> lowestSurface();
    std::size_t surfaceCount() const;
    // Every live surface, lowest identifier first.
    std::vector<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>> surfaces() const;
    // Any one surface's connection's pacer figures; nothing without surfaces.
    std::optional<DatagramPacer::Metrics> pacerSnapshot();
    void setPaused(std::uint32_t surfaceID, bool paused, const std::shared_ptr<MediaConnection>& connection) override;
    void setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                          const std::shared_ptr<MediaConnection>& connection) override;
    void clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    std::optional<RequestedBox> budget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection);
    std::shared_ptr<MediaConnection> lastConnection() override { return lastConnection_.get(); }

    // Capture choices (main actor).
    void captureList(std::function<void(std::vector<CaptureWindow>)> reply) override;
    std::vector<CaptureWindow> captureList();
    void requestCaptureConsent(std::string deviceName, std::uint32_t captureID,
                               std::function<void(bool approved)> reply) override;
    bool testPatternEnabled() override { return testPatternEnabled_(); }
    static std::pair<int, int> fitCaptureSize(int width, int height, double aspect) {
        return CaptureSourceFactory::fitCaptureSize(width, height, aspect);
    }
    std::optional<DisplayQueries::PixelSize> displayPixelSize(int index) const;
    bool isDisplayOnline(std::uint32_t displayID) const;
    // What a surface asks of its source, from the client's capabilities and
    // the surface's budget.
    RequestedStream requestedStream(const SurfaceKey& key, const std::optional<Capabilities>& capabilities);

    // Control of this computer (MediaPipelineControl.cpp, MediaPipelineRaise.cpp).
    void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) override;
    // What a granted control request leaves behind: the one injector, and
    // the surface it drives.
    void takeControl(SurfaceKey surface, std::shared_ptr<InputInjector> injector);
    std::optional<SurfaceKey> controlledSurface() const { return controlledSurface_.get(); }
    std::shared_ptr<InputInjector> injector() const { return injector_.get(); }
    // Main actor: the frame, label and window of a choice, after a window
    // listing that gets a second at most (else the last one is used).
    void controlFrame(CaptureChoice choice, std::function<void(std::optional<ControlFrame>)> done);
    // The controlled surface's frame read anew and its window raised again,
    // on the main actor; nothing for another surface.
    void refreshControl(const SurfaceKey& surface);
    // After a raise that moved the window: a refresh 0.25 s later.
    void postRaise();
    // Before input is posted: a button going down raises the controlled
    // window again, at most every 0.3 s.
    void clickRaise(const std::vector<InjectAction>& actions, std::uint64_t nowNs);
    void recordRaise(std::optional<ControlTarget> target, std::uint64_t nowNs);
    bool controlledIsDisplay();
    RaiseState raiseState() const { return raise_.get(); }
    // The application to give the front back to when control returns from
    // a window to a display.
    std::optional<std::int32_t> savedFrontmost() const { return restore_.get(); }

    // Requests whose work lives outside this object's surfaces: input
    // injection, clipboard, control prompts, text size and screen shape.
    void inject(const std::vector<InjectAction>& actions) override;
    void setScreenShape(ScreenShape shape) override;
    void setTextSize(std::uint8_t level) override;
    void writeClipboard(std::string clientName, std::string text,
                        std::function<void(ClipboardOutcome)> reply) override;
    void readClipboard(std::string clientName,
                       std::function<void(bool approved, std::optional<std::string> text)> reply) override;
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                        std::function<void(bool approved)> reply) override;
    bool permission() override { return permission_(); }
    std::int64_t droppedInput() const { return droppedInput_.get(); }
    bool repeatTimerRunning() const { return repeatTimer_.get() != nullptr; }

    // Audio and cursor (MediaPipelineAudio.cpp, MediaPipelineCursor.cpp).
    // Any thread: input happened, the cursor is sampled faster for a while.
    void noteCursorInput();
    // The routes in force for a connection's surfaces, for diagnostics.
    std::map<std::uint32_t, AudioRouting::Route> audioRoutes(const std::shared_ptr<MediaConnection>& connection) const;
    std::shared_ptr<AudioStream> sessionAudioStream(const std::shared_ptr<MediaConnection>& connection) const;
    std::map<std::uint32_t, std::shared_ptr<AudioStream>>
    routedAudioStreams(const std::shared_ptr<MediaConnection>& connection) const;
    // Main actor; null while no session wants cursor shapes.
    std::shared_ptr<CursorShapeWatcher> cursorWatcher() const { return cursorWatcher_; }
    // Display geometry (MediaPipelineDisplays.cpp). Every display surface's
    // budget applied anew to the displays as they are now.
    void refitDisplaySurfaces();
    // Every display surface captured anew, for its own connection.
    void restartDisplaySurfaces();
    // Main actor: the screen shape applied, the displays left to settle,
    // then the display surfaces restarted. setScreenShape runs it for the
    // standard shape only.
    void runVirtualDisplayTask(ScreenShape shape);

    explicit MediaPipeline(Services services);

private:
    using Table = std::map<SurfaceKey, std::shared_ptr<SurfacePipeline>, SurfaceKeyOrder>;

    // MediaPipelineSurfaces.cpp
    void startCapture(std::shared_ptr<SurfacePipeline> pipeline, SurfaceKey key,
                      std::shared_ptr<MediaConnection> connection);
    void retire(std::shared_ptr<SurfacePipeline> pipeline);
    // MediaPipelineControl.cpp
    struct Retarget {
        SurfaceKey surface;
        std::uint64_t sequence = 0;
        bool fromDisplay = false;
        bool toDisplay = false;
    };
    void handOverControl(const SurfaceKey& stopped, const std::vector<SurfaceKey>& remaining);
    void retarget(const Retarget& move, const std::optional<ControlFrame>& frame);
    void controlGranted(bool granted, SurfaceKey surface, const ControlFrame& frame,
                        std::function<void(bool)> completion);
    // MediaPipelineRaise.cpp
    void refreshCatalog(std::function<void(bool refreshed)> done);
    std::optional<ControlFrame> lookUpControlFrame(const CaptureChoice& choice) const;
    void raiseWindow(const std::optional<ControlTarget>& target);
    // MediaPipelineCursor.cpp, main actor
    void startCursor(const std::shared_ptr<MediaConnection>& connection);
    void stopCursor();
    bool sendCursorShape(const ControlMessage& message);
    // MediaPipelineAudio.cpp
    void beginAudio(std::uint32_t captureID, const std::shared_ptr<MediaConnection>& connection);
    // When a surface of the connection stopped.
    void endAudio(bool connectionSurfacesLeft, const std::shared_ptr<MediaConnection>& connection);
    // Main actor.
    void startSessionAudio(CaptureChoice choice, std::shared_ptr<MediaConnection> connection);
    void reconcileAudioRoutes(std::shared_ptr<MediaConnection> connection);
    // Any thread: every routed stream of the connection stops, in tasks.
    void stopRoutedAudio(const std::shared_ptr<MediaConnection>& connection);
    std::map<std::uint32_t, AudioRouting::Source> audioSources(const std::shared_ptr<MediaConnection>& connection);
    // Lets go of what the injector in place holds down and puts another one
    // (or none) in its place.
    void replaceInjector(std::shared_ptr<InputInjector> injector);
    // MediaPipelineInput.cpp
    void updateRepeatTimer();
    void repeatTick();
    // MediaPipelineDisplays.cpp
    void virtualDisplayApplied(ScreenShape shape);
    void virtualDisplaySettled(ScreenShape shape);
    RequestedBox defaultBudget(const std::shared_ptr<MediaConnection>& connection) const;

    const std::shared_ptr<WindowCatalog> catalog_;
    const std::weak_ptr<ConsentPresenting> consent_;
    Executor& mainActor_;
    const std::function<bool()> testPatternEnabled_;
    const std::function<bool()> permission_;
    const DisplayQueries displays_;
    const SourceFactory makeSource_;
    const std::shared_ptr<Executor> tasks_;
    const std::function<std::uint64_t()> clock_;
    const SurfacePipeline::Environment pipelineEnvironment_;
    const AudioSourceFactory makeAudioSource_;
    const RoutedAudioSourceFactory makeRoutedAudioSource_;
    const CursorShapeWatcher::Sample sampleCursor_;
    const std::shared_ptr<EventPosting> poster_;
    const std::shared_ptr<Executor> repeatTimers_;
    const std::shared_ptr<PasteboardAccess> pasteboard_;
    const std::shared_ptr<DisplayTextSize> textSize_;
    const std::shared_ptr<VirtualDisplayController> virtualDisplay_;
    const std::shared_ptr<WindowRaising> raiser_;
    const std::shared_ptr<Executor> catalogRefresh_;

    LockedBox<Table> lock_;
    LockedBox<std::map<SurfaceKey, RequestedBox, SurfaceKeyOrder>> budgets_;
    LockedBox<std::shared_ptr<MediaConnection>> lastConnection_;
    LockedBox<std::set<SurfaceKey, SurfaceKeyOrder>> pausedSurfaces_;
    LockedBox<std::shared_ptr<InputInjector>> injector_;
    LockedBox<std::optional<SurfaceKey>> controlledSurface_;
    LockedBox<std::uint64_t> focusSequence_;
    LockedBox<std::vector<std::uint64_t>> recaptures_;
    LockedBox<std::int64_t> droppedInput_;
    LockedBox<std::shared_ptr<DispatchTimer>> repeatTimer_;
    LockedBox<RaiseState> raise_;
    LockedBox<std::optional<std::int32_t>> restore_;
    // Who waits for the window listing under way; empty when none is.
    LockedBox<std::vector<std::function<void(bool)>>> listingWaiters_;

    // One client's session-wide stream, for clients that do not route audio.
    struct AudioState {
        std::shared_ptr<AudioStream> stream;
        bool starting = false;
    };
    // One client's routed audio: a route and a stream per surface, and
    // whether a routed stream sent the audio configuration already.
    struct RoutedAudio {
        std::map<std::uint32_t, AudioRouting::Route> routes;
        std::map<std::uint32_t, std::shared_ptr<AudioStream>> streams;
        bool announced = false;
    };
    // Audio belongs to connections, as surfaces do.
    template <class T>
    using ByConnection = std::map<std::weak_ptr<MediaConnection>, T, std::owner_less<>>;

    LockedBox<ByConnection<AudioState>> audioLock_;
    LockedBox<ByConnection<RoutedAudio>> routed_;
    // Main actor only.
    std::shared_ptr<CursorShapeWatcher> cursorWatcher_;
    // The same watcher, for the input path on other threads.
    LockedBox<std::shared_ptr<CursorShapeWatcher>> cursorInput_;
    // Every client that asked for cursor shapes while the watcher runs.
    LockedBox<std::vector<std::weak_ptr<MediaConnection>>> cursorTargets_;

    Logger log_{"com.ornbeck.quillmere.mac", "pipeline"};
    Logger controlLog_{"com.ornbeck.quillmere.mac", "control"};
    Logger audioLog_{"com.ornbeck.quillmere.mac", "audio"};
};

} // namespace quillmere

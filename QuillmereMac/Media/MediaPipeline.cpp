// MediaPipeline: its parts made and joined, and each request handed to the
// part that owns its state.

#include "QuillmereMac/Media/MediaPipeline.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr const char* tasksLabel = "com.ornbeck.quillmeremac.media.tasks";
constexpr const char* controlLabel = "com.ornbeck.quillmeremac.control";
constexpr const char* listingLabel = "com.ornbeck.quillmeremac.control.listing";

// The main actor given, else (for a pipeline made without one) a queue of
// its own, kept alive for as long as the process may need it.
Executor& mainActorOf(Executor* given) {
    if (given) return *given;
    static SerialQueue fallback("com.ornbeck.quillmeremac.media.main");
    return fallback;
}

// Whatever the composer left out stays inert: a display of unknown size
// that is never online, no capture or audio source, no system cursor. The
// desktop's backends come from its factory, never from here.
MediaPipeline::Services completed(MediaPipeline::Services services) {
    if (!services.catalog) services.catalog = std::make_shared<WindowCatalog>();
    if (!services.testPatternEnabled) services.testPatternEnabled = [] { return false; };
    if (!services.permission) services.permission = [] { return false; };
    if (!services.displays.pixelSize)
        services.displays.pixelSize = [](int) -> std::optional<DisplayQueries::PixelSize> { return std::nullopt; };
    if (!services.displays.isOnline) services.displays.isOnline = [](std::uint32_t) { return false; };
    if (!services.makeSource)
        services.makeSource = [](CaptureChoice, RequestedStream) -> std::shared_ptr<CaptureSource> { return nullptr; };
    if (!services.makeAudioSource)
        services.makeAudioSource = [](CaptureChoice) -> std::shared_ptr<AudioSource> { return nullptr; };
    if (!services.makeRoutedAudioSource)
        services.makeRoutedAudioSource = [](const AudioRouting::Route&) -> std::shared_ptr<AudioSource> { return nullptr; };
    if (!services.sampleCursor) services.sampleCursor = []() -> std::optional<SystemCursor> { return std::nullopt; };
    if (!services.tasks) services.tasks = std::make_shared<SerialQueue>(tasksLabel);
    if (!services.clock) services.clock = &Clock::nowNs;
    if (!services.controlQueue) services.controlQueue = std::make_shared<SerialQueue>(controlLabel);
    if (!services.catalogRefresh) services.catalogRefresh = std::make_shared<SerialQueue>(listingLabel);
    return services;
}

} // namespace

std::shared_ptr<MediaPipeline> MediaPipeline::make(Services services) {
    auto media = std::make_shared<MediaPipeline>(completed(std::move(services)));
    media->wire();
    return media;
}

MediaPipeline::MediaPipeline(Services services)
    : catalog_(services.catalog),
      consent_(services.consent),
      mainActor_(mainActorOf(services.mainActor)),
      testPatternEnabled_(std::move(services.testPatternEnabled)),
      permission_(std::move(services.permission)),
      clock_(services.clock),
      surfaces_(SurfaceTable::make({&mainActor_, services.tasks, services.clock, std::move(services.pipelines),
                                    std::move(services.makeSource), std::move(services.displays),
                                    std::move(services.captureProblem)})),
      control_(RemoteControl::make(
          {&mainActor_, std::move(services.controlQueue), surfaces_,
           std::make_shared<ControlFrames>(services.catalog, mainActor_, std::move(services.catalogRefresh)),
           services.consent, std::move(services.poster), std::move(services.raiser), services.clock})),
      audio_(SessionAudio::make({&mainActor_, services.tasks, surfaces_, std::move(services.makeAudioSource),
                                 std::move(services.makeRoutedAudioSource),
                                 [catalog = services.catalog](std::uint32_t windowID) -> std::optional<std::int32_t> {
                                     const auto target = catalog->controlTarget(windowID);
                                     return target ? std::optional(target->pid) : std::nullopt;
                                 }})),
      cursor_(std::make_shared<SessionCursor>(mainActor_, std::move(services.sampleCursor), services.clock)),
      displays_(std::make_shared<DisplaySettling>(
          mainActor_, std::move(services.textSize), std::move(services.virtualDisplay),
          DisplaySettling::Hooks{
              [surfaces = std::weak_ptr(surfaces_)] {
                  if (const auto table = surfaces.lock()) table->refitDisplaySurfaces();
              },
              [surfaces = std::weak_ptr(surfaces_)] {
                  if (const auto table = surfaces.lock()) table->restartDisplaySurfaces();
              },
              [control = std::weak_ptr(control_)] {
                  if (const auto owner = control.lock()) owner->refreshControlled();
              },
              [surfaces = std::weak_ptr(surfaces_)](std::uint32_t displayID) {
                  const auto table = surfaces.lock();
                  return table && table->isDisplayOnline(displayID);
              }})),
      clipboard_(mainActor_, services.consent, std::move(services.pasteboard)) {}

void MediaPipeline::wire() {
    surfaces_->setHooks({[control = std::weak_ptr(control_)](const SurfaceKey& surface) {
                             if (const auto owner = control.lock()) owner->rasterChanged(surface);
                         },
                         [weak = weak_from_this()](std::uint32_t surfaceID, std::uint32_t captureID,
                                                   std::shared_ptr<MediaConnection> connection) {
                             const auto self = weak.lock();
                             if (!self) return;
                             self->startSurface(surfaceID, captureID, connection);
                             self->beginMedia(surfaceID, captureID, std::move(connection));
                         }});
}

void MediaPipeline::startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                                 std::shared_ptr<MediaConnection> connection) {
    surfaces_->start(surfaceID, captureID, std::move(connection));
}

void MediaPipeline::stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceTable::Removal removal = surfaces_->stop(surfaceID, connection);
    control_->surfaceStopped(SurfaceKey{connection, surfaceID}, removal.remaining);
    if (!removal.surfacesLeft) {
        mainActor_.async([cursor = std::weak_ptr(cursor_)] {
            if (const auto owner = cursor.lock()) owner->stop();
        });
    }
    audio_->end(!removal.remaining.empty(), connection);
}

void MediaPipeline::beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                               std::shared_ptr<MediaConnection> connection) {
    surfaces_->beginSending(surfaceID, connection);
    const auto capabilities = connection ? connection->capabilitiesCopy() : std::nullopt;
    if (!capabilities) return;
    if (capabilities->features.contains(features::bit6)) {
        mainActor_.async([cursor = std::weak_ptr(cursor_), weakConnection = std::weak_ptr<MediaConnection>(connection)] {
            const auto owner = cursor.lock();
            const auto client = weakConnection.lock();
            if (owner && client) owner->start(client);
        });
    }
    if (capabilities->features.contains(features::bit2)) audio_->begin(captureID, connection);
}

std::shared_ptr<SurfacePipeline> MediaPipeline::pipeline(std::uint32_t surfaceID,
                                                         const std::shared_ptr<MediaConnection>& connection) {
    return surfaces_->pipeline(SurfaceKey{connection, surfaceID});
}

std::optional<DatagramPacer::Metrics> MediaPipeline::pacerSnapshot() {
    const auto lowest = surfaces_->lowest();
    if (!lowest) return std::nullopt;
    return lowest->second->connection()->pacerMetrics();
}

void MediaPipeline::setPaused(std::uint32_t surfaceID, bool paused,
                              const std::shared_ptr<MediaConnection>& connection) {
    const bool changed = surfaces_->setPaused(SurfaceKey{connection, surfaceID}, paused);
    audio_->pauseChanged(surfaceID, paused, changed, connection);
}

void MediaPipeline::setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                                     const std::shared_ptr<MediaConnection>& connection) {
    surfaces_->setBudget(SurfaceKey{connection, surfaceID}, box);
}

void MediaPipeline::clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    surfaces_->clearBudget(SurfaceKey{connection, surfaceID});
}

void MediaPipeline::focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) {
    control_->focusHint(hint, connection);
}

void MediaPipeline::inject(const std::vector<InjectAction>& actions) {
    if (actions.empty()) return;
    // Every live surface of every connection leaves its quiet state, not
    // only the controlled one, and the pointer's shape follows input more
    // closely for a while.
    surfaces_->noteInput(clock_());
    cursor_->noteInput();
    control_->inject(actions);
}

void MediaPipeline::requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                                   std::function<void(bool)> reply, std::shared_ptr<PromptScope> prompts) {
    control_->requestControl(std::move(clientName), std::move(connection), std::move(reply), std::move(prompts));
}

void MediaPipeline::writeClipboard(std::string clientName, std::string text,
                                   std::function<void(ClipboardOutcome)> reply, std::shared_ptr<PromptScope> prompts) {
    clipboard_.write(std::move(clientName), std::move(text), std::move(reply), std::move(prompts));
}

void MediaPipeline::readClipboard(std::string clientName,
                                  std::function<void(bool approved, std::optional<std::string> text)> reply,
                                  std::shared_ptr<PromptScope> prompts) {
    clipboard_.read(std::move(clientName), std::move(reply), std::move(prompts));
}

void MediaPipeline::setTextSize(std::uint8_t level) { displays_->setTextSize(level); }

void MediaPipeline::setScreenShape(ScreenShape shape) { displays_->setScreenShape(shape); }

} // namespace quillmere

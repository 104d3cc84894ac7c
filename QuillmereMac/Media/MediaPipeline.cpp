// MediaPipeline: the object, its lookups, pauses and budgets, and the
// requests whose work lives elsewhere.

#include "QuillmereMac/Media/MediaPipeline.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Audio/ClickTrackSource.h"
#include "QuillmereMac/Audio/ScreenAudioSource.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr const char* tasksLabel = "com.ornbeck.quillmeremac.media.tasks";
constexpr const char* repeatLabel = "com.ornbeck.quillmeremac.input.repeat";
constexpr const char* listingLabel = "com.ornbeck.quillmeremac.control.listing";
constexpr std::int64_t minimumSide = 64;
constexpr double clickIntervalMs = 500.0;

std::int64_t evenAtLeastMinimum(std::int64_t side) { return std::max<std::int64_t>(side & ~std::int64_t{1}, minimumSide); }

// The main actor given, else (for a pipeline made without one) a queue of
// its own, kept alive for as long as the process may need it.
Executor& mainActorOf(Executor* given) {
    if (given) return *given;
    static SerialQueue fallback("com.ornbeck.quillmeremac.media.main");
    return fallback;
}

MediaPipeline::Services completed(MediaPipeline::Services services) {
    if (!services.catalog) services.catalog = std::make_shared<WindowCatalog>();
    if (!services.testPatternEnabled) services.testPatternEnabled = [] { return false; };
    if (!services.permission) services.permission = [] { return false; };
    if (!services.displays.pixelSize || !services.displays.isOnline) {
        DisplayQueries x11 = DisplayQueries::x11();
        if (!services.displays.pixelSize) services.displays.pixelSize = std::move(x11.pixelSize);
        if (!services.displays.isOnline) services.displays.isOnline = std::move(x11.isOnline);
    }
    if (!services.makeSource) {
        services.makeSource = [factory = std::make_shared<CaptureSourceFactory>(services.catalog, services.displays)](
                                  CaptureChoice choice, RequestedStream requested) {
            return factory->makeSource(choice, requested);
        };
    }
    if (!services.makeAudioSource) {
        services.makeAudioSource = [catalog = services.catalog](CaptureChoice choice) -> std::shared_ptr<AudioSource> {
            if (choice.kind == CaptureChoice::Kind::testPattern) return std::make_shared<ClickTrackSource>(clickIntervalMs);
            const auto filter = catalog->displayAudioFilter();
            if (!filter) return nullptr;
            return std::make_shared<ScreenAudioSource>(*filter);
        };
    }
    if (!services.makeRoutedAudioSource) {
        services.makeRoutedAudioSource =
            [catalog = services.catalog](const AudioRouting::Route& route) -> std::shared_ptr<AudioSource> {
            if (std::holds_alternative<AudioRouting::route::ClickTrack>(route))
                return std::make_shared<ClickTrackSource>(clickIntervalMs);
            const auto filter = catalog->audioCaptureFilter(route);
            if (!filter) return nullptr;
            return std::make_shared<ScreenAudioSource>(*filter);
        };
    }
    if (!services.sampleCursor) {
        // Opened at the first sample, on the main actor, and kept.
        services.sampleCursor = [display = services.catalog->displayName(),
                                 reader = std::shared_ptr<CursorImageX11>()]() mutable -> std::optional<SystemCursor> {
            if (!reader) {
                auto opened = CursorImageX11::open(display);
                if (!opened) return std::nullopt;
                reader = std::move(*opened);
            }
            const auto image = reader->current();
            if (!image) return std::nullopt;
            return SystemCursor::fromX11(*image);
        };
    }
    if (!services.tasks) services.tasks = std::make_shared<SerialQueue>(tasksLabel);
    if (!services.clock) services.clock = &Clock::nowNs;
    if (!services.repeatTimers) services.repeatTimers = std::make_shared<SerialQueue>(repeatLabel);
    if (!services.catalogRefresh) services.catalogRefresh = std::make_shared<SerialQueue>(listingLabel);
    return services;
}

} // namespace

std::shared_ptr<MediaPipeline> MediaPipeline::make(Services services) {
    return std::make_shared<MediaPipeline>(completed(std::move(services)));
}

MediaPipeline::MediaPipeline(Services services)
    : catalog_(std::move(services.catalog)),
      consent_(std::move(services.consent)),
      mainActor_(mainActorOf(services.mainActor)),
      testPatternEnabled_(std::move(services.testPatternEnabled)),
      permission_(std::move(services.permission)),
      displays_(std::move(services.displays)),
      makeSource_(std::move(services.makeSource)),
      tasks_(std::move(services.tasks)),
      clock_(std::move(services.clock)),
      pipelineEnvironment_(std::move(services.pipelines)),
      makeAudioSource_(std::move(services.makeAudioSource)),
      makeRoutedAudioSource_(std::move(services.makeRoutedAudioSource)),
      sampleCursor_(std::move(services.sampleCursor)),
      poster_(std::move(services.poster)),
      repeatTimers_(std::move(services.repeatTimers)),
      pasteboard_(std::move(services.pasteboard)),
      textSize_(std::move(services.textSize)),
      virtualDisplay_(std::move(services.virtualDisplay)),
      raiser_(std::move(services.raiser)),
      catalogRefresh_(std::move(services.catalogRefresh)) {}

MediaPipeline::~MediaPipeline() {
    if (const auto timer = repeatTimer_.exchange(nullptr)) timer->cancel();
    replaceInjector(nullptr);
}

std::shared_ptr<SurfacePipeline> MediaPipeline::pipeline(std::uint32_t surfaceID,
                                                         const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, surfaceID};
    return lock_.withLock([&](Table& table) -> std::shared_ptr<SurfacePipeline> {
        const auto found = table.find(key);
        return found == table.end() ? nullptr : found->second;
    });
}

std::optional<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>> MediaPipeline::lowestSurface() {
    return lock_.withLock([](Table& table) -> std::optional<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>> {
        if (table.empty()) return std::nullopt;
        return *table.begin();
    });
}

std::size_t MediaPipeline::surfaceCount() const {
    return lock_.withLock([](const Table& table) { return table.size(); });
}

std::vector<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>> MediaPipeline::surfaces() const {
    return lock_.withLock([](const Table& table) {
        return std::vector<std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>>(table.begin(), table.end());
    });
}

std::optional<DatagramPacer::Metrics> MediaPipeline::pacerSnapshot() {
    const auto lowest = lowestSurface();
    if (!lowest) return std::nullopt;
    return lowest->second->connection()->pacerMetrics();
}

void MediaPipeline::setPaused(std::uint32_t surfaceID, bool paused,
                              const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, surfaceID};
    if (const auto found = pipeline(surfaceID, connection)) {
        found->queue().async([found, paused] { found->setPaused(paused); });
    }
    const bool changed = pausedSurfaces_.withLock([&](auto& paused_) {
        return paused ? paused_.insert(key).second : paused_.erase(key) > 0;
    });
    audioLog_.notice("surface %{public}u paused=%{bool,public}d", surfaceID, paused);
    // A paused surface is not heard: the client's audio routes follow.
    const auto capabilities = connection ? connection->capabilitiesCopy() : std::nullopt;
    if (changed && capabilities && capabilities->features.contains(features::bit8)) {
        mainActor_.async([weak = weak_from_this(), connection] {
            if (const auto self = weak.lock()) self->reconcileAudioRoutes(connection);
        });
    }
}

void MediaPipeline::setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                                     const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, surfaceID};
    budgets_.withLock([&](auto& budgets) {
        // Entries of connections that are gone can never match again.
        std::erase_if(budgets, [](const auto& entry) { return entry.first.connection.expired(); });
        if (box)
            budgets.insert_or_assign(key, *box);
        else
            budgets.erase(key);
    });
    if (!box) return;
    const auto found = pipeline(surfaceID, connection);
    if (!found) return;

    std::int64_t maxWidth = 1280;
    std::int64_t maxHeight = 720;
    if (const auto capabilities = connection->capabilitiesCopy()) {
        maxWidth = evenAtLeastMinimum(capabilities->maxWidth);
        maxHeight = evenAtLeastMinimum(capabilities->maxHeight);
    }
    std::int64_t width = evenAtLeastMinimum(std::min(box->width, maxWidth));
    std::int64_t height = evenAtLeastMinimum(std::min(box->height, maxHeight));
    if (found->choice().kind == CaptureChoice::Kind::display) {
        if (const auto size = displayPixelSize(static_cast<int>(found->choice().value))) {
            width = evenAtLeastMinimum(std::min<std::int64_t>(size->width, width));
            height = evenAtLeastMinimum(std::min<std::int64_t>(size->height, height));
        }
    }
    found->queue().async([found, fitted = RequestedBox{width, height}] { found->resize(fitted); });
}

void MediaPipeline::clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    budgets_.withLock([&](auto& budgets) { budgets.erase(SurfaceKey{connection, surfaceID}); });
}

std::optional<MediaPipeline::RequestedBox> MediaPipeline::budget(std::uint32_t surfaceID,
                                                                 const std::shared_ptr<MediaConnection>& connection) {
    return budgets_.withLock([&](auto& budgets) -> std::optional<RequestedBox> {
        const auto found = budgets.find(SurfaceKey{connection, surfaceID});
        if (found == budgets.end()) return std::nullopt;
        return found->second;
    });
}

std::optional<DisplayQueries::PixelSize> MediaPipeline::displayPixelSize(int index) const {
    return displays_.pixelSize ? displays_.pixelSize(index) : std::nullopt;
}

bool MediaPipeline::isDisplayOnline(std::uint32_t displayID) const {
    return displays_.isOnline && displays_.isOnline(displayID);
}

} // namespace quillmere

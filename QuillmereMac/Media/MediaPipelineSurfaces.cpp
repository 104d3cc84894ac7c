// MediaPipeline's surfaces: starting one (and its capture on the main
// actor), stopping one, beginning its media, and capturing again after an
// interruption.

#include "QuillmereMac/Media/MediaPipeline.h"

#include <algorithm>

namespace quillmere {

namespace {

int evenSide(int side, int floor) { return std::max(side - side % 2, floor); }

} // namespace

RequestedStream MediaPipeline::requestedStream(const SurfaceKey& key, const std::optional<Capabilities>& capabilities) {
    RequestedStream requested{1280, 720, 60, false};
    if (capabilities) {
        requested.width = evenSide(std::max<int>(capabilities->maxWidth, 64), 64);
        requested.height = evenSide(std::max<int>(capabilities->maxHeight, 64), 64);
        requested.fps = std::clamp<int>(capabilities->maxFPS, 1, 120);
        requested.localCursor = capabilities->features.contains(features::bit5);
    }
    const auto box = budgets_.withLock([&](auto& budgets) -> std::optional<RequestedBox> {
        const auto found = budgets.find(key);
        if (found == budgets.end()) return std::nullopt;
        return found->second;
    });
    if (box) {
        const auto side = [](std::int64_t asked, int limit) {
            const std::int64_t fitted = std::min<std::int64_t>(asked, limit);
            return static_cast<int>(std::max<std::int64_t>(fitted & ~std::int64_t{1}, 64));
        };
        requested.width = side(box->width, requested.width);
        requested.height = side(box->height, requested.height);
    }
    return requested;
}

void MediaPipeline::startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                                 std::shared_ptr<MediaConnection> connection) {
    if (!connection) return;
    const SurfaceKey key{connection, surfaceID};
    const CaptureChoice choice = CaptureChoice::fromCaptureID(captureID);
    auto created = SurfacePipeline::make(surfaceID, connection, choice, pipelineEnvironment_);

    std::weak_ptr<MediaPipeline> weak = weak_from_this();
    created->setRasterChanged([weak, key](std::uint32_t) {
        const auto self = weak.lock();
        if (!self || self->controlledSurface_.get() != key) return;
        self->mainActor_.async([weak, key] {
            if (const auto media = weak.lock()) media->refreshControl(key);
        });
    });
    created->setCaptureInterrupted(
        [weak, weakConnection = std::weak_ptr<MediaConnection>(connection), captureID](std::uint32_t id) {
            const auto self = weak.lock();
            const auto owner = weakConnection.lock();
            if (self && owner) self->captureInterrupted(id, captureID, owner);
        });

    // Replacing a surface in place (a re-capture, a display restart) keeps
    // what the session still holds of it: its control and its pause. A stop
    // here would hand control away, or drop it with the last surface, while
    // the session goes on granting it.
    const std::shared_ptr<SurfacePipeline> replaced =
        lock_.withLock([&](Table& table) { return std::exchange(table[key], created); });
    if (replaced) retire(replaced);
    if (pausedSurfaces_.withLock([&](auto& paused) { return paused.contains(key); })) {
        created->queue().async([created] { created->setPaused(true); });
    }

    mainActor_.async([weak, created, key, connection] {
        const auto self = weak.lock();
        if (!self) {
            connection->endSurface(key.surfaceID);
            return;
        }
        self->startCapture(created, key, connection);
    });
}

// On the main actor.
void MediaPipeline::startCapture(std::shared_ptr<SurfacePipeline> pipeline, SurfaceKey key,
                                 std::shared_ptr<MediaConnection> connection) {
    const RequestedStream requested = requestedStream(key, connection->capabilitiesCopy());
    std::shared_ptr<CaptureSource> source = makeSource_(pipeline->choice(), requested);
    if (!source) {
        connection->endSurface(key.surfaceID);
        return;
    }
    bool attached = false;
    pipeline->queue().sync([&] { attached = pipeline->attach(source); });
    if (!attached) return;

    const auto started = source->start(pipeline->eventHandler());
    if (!started) {
        log_.error("capture start failed: %{public}s", started.error().description());
        connection->endSurface(key.surfaceID);
        return;
    }
    // A stop that came while the source was starting found it attached and
    // stopped it before it ran: it would run on for nobody.
    bool stillAttached = false;
    pipeline->queue().sync([&] {
        stillAttached = pipeline->holds(*source);
        if (stillAttached) pipeline->applySourceRate();
    });
    if (!stillAttached) source->stop();
}

void MediaPipeline::retire(std::shared_ptr<SurfacePipeline> pipeline) {
    tasks_->async([pipeline = std::move(pipeline)] {
        std::shared_ptr<CaptureSource> source;
        pipeline->queue().sync([&] { source = pipeline->stop(); });
        if (source) source->stop();
    });
}

void MediaPipeline::stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, surfaceID};
    std::shared_ptr<SurfacePipeline> removed;
    std::vector<SurfaceKey> remaining;
    bool surfacesLeft = false;
    lock_.withLock([&](Table& table) {
        if (const auto found = table.find(key); found != table.end()) {
            removed = std::move(found->second);
            table.erase(found);
        }
        // Control moves only among the surfaces of the client that had it.
        for (const auto& [other, pipeline] : table)
            if (other.belongsTo(connection)) remaining.push_back(other);
        surfacesLeft = !table.empty();
    });
    pausedSurfaces_.withLock([&](auto& paused) { paused.erase(key); });
    handOverControl(key, remaining);
    if (!surfacesLeft) {
        mainActor_.async([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->stopCursor();
        });
    }
    endAudio(!remaining.empty(), connection);
    if (removed) retire(std::move(removed));
}

void MediaPipeline::beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                               std::shared_ptr<MediaConnection> connection) {
    lastConnection_.set(connection);
    if (const auto found = pipeline(surfaceID, connection)) {
        found->queue().async([found] { found->setSending(true); });
    }
    const auto capabilities = connection ? connection->capabilitiesCopy() : std::nullopt;
    if (!capabilities) return;
    if (capabilities->features.contains(features::bit6)) {
        mainActor_.async([weak = weak_from_this(), weakConnection = std::weak_ptr<MediaConnection>(connection)] {
            const auto self = weak.lock();
            const auto owner = weakConnection.lock();
            if (self && owner) self->startCursor(owner);
        });
    }
    if (capabilities->features.contains(features::bit2)) beginAudio(captureID, connection);
}

void MediaPipeline::captureInterrupted(std::uint32_t surfaceID, std::uint32_t captureID,
                                       const std::shared_ptr<MediaConnection>& connection) {
    const std::uint64_t now = clock_();
    const auto limit = recapturesPerSurface * static_cast<std::int64_t>(std::max<std::size_t>(surfaceCount(), 1));
    const bool allowed = recaptures_.withLock([&](std::vector<std::uint64_t>& times) {
        std::erase_if(times, [now](std::uint64_t t) { return now > t && now - t > recaptureWindowNs; });
        if (static_cast<std::int64_t>(times.size()) >= limit) return false;
        times.push_back(now);
        return true;
    });
    if (!allowed) {
        controlLog_.error("capture interrupted again on surface %{public}u: ending it", surfaceID);
        connection->endSurface(surfaceID);
        return;
    }
    controlLog_.notice("capture interrupted on surface %{public}u: capturing again", surfaceID);
    const SurfaceKey key{connection, surfaceID};
    // The interrupted pipeline itself must still be there: one the client
    // selected anew in the meantime is not replaced by the old capture.
    const std::weak_ptr<SurfacePipeline> interrupted = pipeline(surfaceID, connection);
    tasks_->asyncAfter(recaptureDelayNs, [weak = weak_from_this(), weakConnection = std::weak_ptr(connection), key,
                                          captureID, interrupted] {
        const auto self = weak.lock();
        const auto owner = weakConnection.lock();
        if (!self || !owner) return;
        const auto current = self->pipeline(key.surfaceID, owner);
        if (!current || current != interrupted.lock()) return;
        self->startSurface(key.surfaceID, captureID, owner);
        self->beginMedia(key.surfaceID, captureID, owner);
    });
}

} // namespace quillmere

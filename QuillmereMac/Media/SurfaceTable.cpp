// The surface table: surfaces started and stopped, their capture started on
// the main actor, their budgets and pauses, and capturing again after an
// interruption.

#include "QuillmereMac/Media/SurfaceTable.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::int64_t minimumSide = 64;
constexpr std::uint32_t lastRestartedDisplay = 255;

std::int64_t evenAtLeastMinimum(std::int64_t side) { return std::max<std::int64_t>(side & ~std::int64_t{1}, minimumSide); }
int evenSide(int side, int floor) { return std::max(side - side % 2, floor); }

} // namespace

std::shared_ptr<SurfaceTable> SurfaceTable::make(Services services) {
    return std::make_shared<SurfaceTable>(std::move(services));
}

SurfaceTable::SurfaceTable(Services services)
    : mainActor_(*services.mainActor),
      tasks_(std::move(services.tasks)),
      clock_(std::move(services.clock)),
      pipelineEnvironment_(std::move(services.pipelines)),
      makeSource_(std::move(services.makeSource)),
      displays_(std::move(services.displays)),
      captureProblem_(std::move(services.captureProblem)) {}

void SurfaceTable::setHooks(Hooks hooks) { hooks_ = std::move(hooks); }

RequestedStream SurfaceTable::requestedStream(const SurfaceKey& key,
                                              const std::optional<Capabilities>& capabilities) const {
    RequestedStream requested{1280, 720, 60, false};
    if (capabilities) {
        requested.width = evenSide(std::max<int>(capabilities->maxWidth, 64), 64);
        requested.height = evenSide(std::max<int>(capabilities->maxHeight, 64), 64);
        requested.fps = std::clamp<int>(capabilities->maxFPS, 1, 120);
        requested.localCursor = capabilities->features.contains(features::bit5);
    }
    if (const auto box = budget(key)) {
        const auto side = [](std::int64_t asked, int limit) {
            const std::int64_t fitted = std::min<std::int64_t>(asked, limit);
            return static_cast<int>(std::max<std::int64_t>(fitted & ~std::int64_t{1}, 64));
        };
        requested.width = side(box->width, requested.width);
        requested.height = side(box->height, requested.height);
    }
    return requested;
}

void SurfaceTable::start(std::uint32_t surfaceID, std::uint32_t captureID,
                         std::shared_ptr<MediaConnection> connection) {
    if (!connection) return;
    const SurfaceKey key{connection, surfaceID};
    const CaptureChoice choice = CaptureChoice::fromCaptureID(captureID);
    auto created = SurfacePipeline::make(surfaceID, connection, choice, pipelineEnvironment_);

    std::weak_ptr<SurfaceTable> weak = weak_from_this();
    created->setRasterChanged([weak, key](std::uint32_t) {
        const auto self = weak.lock();
        if (self && self->hooks_.rasterChanged) self->hooks_.rasterChanged(key);
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
        table_.withLock([&](Table& table) { return std::exchange(table[key], created); });
    if (replaced) retire(replaced);
    connection->keepSurface(surfaceID, created);
    if (paused_.withLock([&](auto& paused) { return paused.contains(key); })) {
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
void SurfaceTable::startCapture(std::shared_ptr<SurfacePipeline> pipeline, SurfaceKey key,
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
        if (captureProblem_ && started.error().explanation()) captureProblem_(started.error().explanation());
        connection->endSurface(key.surfaceID);
        return;
    }
    if (captureProblem_) captureProblem_(std::nullopt);
    // A stop that came while the source was starting found it attached and
    // stopped it before it ran: it would run on for nobody.
    bool stillAttached = false;
    pipeline->queue().sync([&] {
        stillAttached = pipeline->holds(*source);
        if (stillAttached) pipeline->applySourceRate();
    });
    if (!stillAttached) source->stop();
}

void SurfaceTable::retire(std::shared_ptr<SurfacePipeline> pipeline) {
    tasks_->async([pipeline = std::move(pipeline)] {
        std::shared_ptr<CaptureSource> source;
        pipeline->queue().sync([&] { source = pipeline->stop(); });
        if (source) source->stop();
    });
}

SurfaceTable::Removal SurfaceTable::stop(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, surfaceID};
    std::shared_ptr<SurfacePipeline> removed;
    Removal removal;
    table_.withLock([&](Table& table) {
        if (const auto found = table.find(key); found != table.end()) {
            removed = std::move(found->second);
            table.erase(found);
        }
        // Control moves only among the surfaces of the client that had it.
        for (const auto& [other, pipeline] : table)
            if (other.belongsTo(connection)) removal.remaining.push_back(other);
        removal.surfacesLeft = !table.empty();
    });
    paused_.withLock([&](auto& paused) { paused.erase(key); });
    if (removed) retire(std::move(removed));
    return removal;
}

void SurfaceTable::beginSending(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) {
    lastConnection_.set(connection);
    if (const auto found = pipeline(SurfaceKey{connection, surfaceID})) {
        found->queue().async([found] { found->setSending(true); });
    }
}

void SurfaceTable::captureInterrupted(std::uint32_t surfaceID, std::uint32_t captureID,
                                      const std::shared_ptr<MediaConnection>& connection) {
    const std::uint64_t now = clock_();
    const auto limit = recapturesPerSurface * static_cast<std::int64_t>(std::max<std::size_t>(count(), 1));
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
    const std::weak_ptr<SurfacePipeline> interrupted = pipeline(key);
    tasks_->asyncAfter(recaptureDelayNs, [weak = weak_from_this(), weakConnection = std::weak_ptr(connection), key,
                                          captureID, interrupted] {
        const auto self = weak.lock();
        const auto owner = weakConnection.lock();
        if (!self || !owner) return;
        const auto current = self->pipeline(SurfaceKey{owner, key.surfaceID});
        if (!current || current != interrupted.lock()) return;
        if (self->hooks_.restart) self->hooks_.restart(key.surfaceID, captureID, owner);
    });
}

std::shared_ptr<SurfacePipeline> SurfaceTable::pipeline(const SurfaceKey& key) const {
    return table_.withLock([&](const Table& table) -> std::shared_ptr<SurfacePipeline> {
        const auto found = table.find(key);
        return found == table.end() ? nullptr : found->second;
    });
}

std::optional<SurfaceTable::Entry> SurfaceTable::lowest() const {
    return table_.withLock([](const Table& table) -> std::optional<Entry> {
        if (table.empty()) return std::nullopt;
        return *table.begin();
    });
}

std::size_t SurfaceTable::count() const {
    return table_.withLock([](const Table& table) { return table.size(); });
}

std::vector<SurfaceTable::Entry> SurfaceTable::all() const {
    return table_.withLock([](const Table& table) { return std::vector<Entry>(table.begin(), table.end()); });
}

void SurfaceTable::noteInput(std::uint64_t nowNs) const {
    for (const auto& [key, pipeline] : all()) {
        pipeline->queue().async([pipeline, nowNs] { pipeline->noteInput(nowNs); });
    }
}

bool SurfaceTable::setPaused(const SurfaceKey& key, bool paused) {
    if (const auto found = pipeline(key)) {
        found->queue().async([found, paused] { found->setPaused(paused); });
    }
    return paused_.withLock([&](auto& set) { return paused ? set.insert(key).second : set.erase(key) > 0; });
}

void SurfaceTable::setBudget(const SurfaceKey& key, std::optional<RequestedBox> box) {
    budgets_.withLock([&](auto& budgets) {
        // Entries of connections that are gone can never match again.
        std::erase_if(budgets, [](const auto& entry) { return entry.first.connection.expired(); });
        if (box)
            budgets.insert_or_assign(key, *box);
        else
            budgets.erase(key);
    });
    if (!box) return;
    const auto found = pipeline(key);
    if (!found) return;

    std::int64_t maxWidth = 1280;
    std::int64_t maxHeight = 720;
    if (const auto capabilities = found->connection()->capabilitiesCopy()) {
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

void SurfaceTable::clearBudget(const SurfaceKey& key) {
    budgets_.withLock([&](auto& budgets) { budgets.erase(key); });
}

std::optional<RequestedBox> SurfaceTable::budget(const SurfaceKey& key) const {
    return budgets_.withLock([&](const auto& budgets) -> std::optional<RequestedBox> {
        const auto found = budgets.find(key);
        if (found == budgets.end()) return std::nullopt;
        return found->second;
    });
}

std::optional<DisplayQueries::PixelSize> SurfaceTable::displayPixelSize(int index) const {
    return displays_.pixelSize ? displays_.pixelSize(index) : std::nullopt;
}

bool SurfaceTable::isDisplayOnline(std::uint32_t displayID) const {
    return displays_.isOnline && displays_.isOnline(displayID);
}

RequestedBox SurfaceTable::defaultBudget(const std::shared_ptr<MediaConnection>& connection) const {
    const auto capabilities = connection->capabilitiesCopy();
    if (!capabilities) return {1280, 720};
    return {evenAtLeastMinimum(capabilities->maxWidth), evenAtLeastMinimum(capabilities->maxHeight)};
}

void SurfaceTable::refitDisplaySurfaces() {
    for (const auto& [key, pipeline] : all()) {
        if (pipeline->choice().kind != CaptureChoice::Kind::display) continue;
        const SurfaceKey owned{pipeline->connection(), key.surfaceID};
        setBudget(owned, budget(owned).value_or(defaultBudget(pipeline->connection())));
    }
}

void SurfaceTable::restartDisplaySurfaces() {
    // With the newest gone, every surface belongs to another.
    const std::shared_ptr<MediaConnection> newest = lastConnection();
    const std::vector<Entry> table = all();
    // Each surface restarts for the connection that owns it: another client's
    // display is not this one's to take. The newest connection's go last, so
    // that it stays the newest.
    std::vector<std::shared_ptr<SurfacePipeline>> restarts;
    for (const bool ofNewest : {false, true}) {
        for (const auto& [key, pipeline] : table) {
            const CaptureChoice choice = pipeline->choice();
            if (choice.kind != CaptureChoice::Kind::display || choice.value > lastRestartedDisplay) continue;
            if (key.belongsTo(newest) == ofNewest) restarts.push_back(pipeline);
        }
    }
    for (const auto& pipeline : restarts) {
        const std::uint32_t captureID = CaptureChoice::displayIDBase + pipeline->choice().value;
        const std::uint32_t surfaceID = pipeline->surfaceID();
        controlLog_.notice("screen shape: restarting surface %{public}u", surfaceID);
        if (hooks_.restart) hooks_.restart(surfaceID, captureID, pipeline->connection());
    }
}

std::optional<CaptureChoice> SurfaceTable::choiceOf(const SurfaceKey& surface) {
    const auto found = pipeline(surface);
    if (!found) return std::nullopt;
    return found->choice();
}

std::optional<std::pair<SurfaceKey, CaptureChoice>>
SurfaceTable::controlCandidate(const std::shared_ptr<MediaConnection>& connection) {
    return table_.withLock([&](const Table& table) -> std::optional<std::pair<SurfaceKey, CaptureChoice>> {
        std::optional<std::pair<SurfaceKey, CaptureChoice>> lowest;
        for (const auto& [key, pipeline] : table) {
            if (!connection || !key.belongsTo(connection)) continue;
            if (!lowest || key.surfaceID == 1) lowest.emplace(key, pipeline->choice());
            if (key.surfaceID >= 1) break;
        }
        return lowest;
    });
}

std::vector<std::pair<std::uint32_t, CaptureChoice>>
SurfaceTable::audibleSurfaces(const std::shared_ptr<MediaConnection>& connection) {
    std::vector<std::pair<std::uint32_t, CaptureChoice>> surfaces;
    table_.withLock([&](const Table& table) {
        for (const auto& [key, pipeline] : table)
            if (key.belongsTo(connection)) surfaces.emplace_back(key.surfaceID, pipeline->choice());
    });
    const auto paused = paused_.get();
    std::erase_if(surfaces, [&](const auto& surface) { return paused.contains(SurfaceKey{connection, surface.first}); });
    return surfaces;
}

} // namespace quillmere

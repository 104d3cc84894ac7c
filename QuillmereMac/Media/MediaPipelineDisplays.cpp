// MediaPipeline's display geometry: budgets applied anew after the displays
// changed, the text-size and screen-shape requests, and the main-actor tasks
// that let the displays settle before the display surfaces follow them.

#include "QuillmereMac/Media/MediaPipeline.h"

#include "QuillmereMac/Catalog/PreferredDisplay.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::int64_t minimumSide = 64;
constexpr std::uint32_t lastRestartedDisplay = 255;

std::int64_t evenAtLeastMinimum(std::int64_t side) { return std::max<std::int64_t>(side & ~std::int64_t{1}, minimumSide); }

} // namespace

MediaPipeline::RequestedBox MediaPipeline::defaultBudget(const std::shared_ptr<MediaConnection>& connection) const {
    const auto capabilities = connection->capabilitiesCopy();
    if (!capabilities) return {1280, 720};
    return {evenAtLeastMinimum(capabilities->maxWidth), evenAtLeastMinimum(capabilities->maxHeight)};
}

void MediaPipeline::refitDisplaySurfaces() {
    const Table table = lock_.withLock([](const Table& current) { return current; });
    for (const auto& [key, pipeline] : table) {
        if (pipeline->choice().kind != CaptureChoice::Kind::display) continue;
        const std::shared_ptr<MediaConnection>& connection = pipeline->connection();
        const RequestedBox box = budget(key.surfaceID, connection).value_or(defaultBudget(connection));
        setSurfaceBudget(key.surfaceID, box, connection);
    }
}

void MediaPipeline::restartDisplaySurfaces() {
    const std::shared_ptr<MediaConnection> newest = lastConnection_.get();
    if (!newest) return;
    const Table table = lock_.withLock([](const Table& current) { return current; });
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
        startSurface(surfaceID, captureID, pipeline->connection());
        beginMedia(surfaceID, captureID, pipeline->connection());
    }
}

void MediaPipeline::setTextSize(std::uint8_t level) {
    if (!textSize_ || !textSize_->setLevel(level)) return;
    mainActor_.asyncAfter(textSizeSettleNs, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        // The controlled window may have moved with the new mode.
        if (const auto controlled = self->controlledSurface_.get()) self->refreshControl(*controlled);
        self->refitDisplaySurfaces();
    });
}

void MediaPipeline::setScreenShape(ScreenShape shape) {
    if (shape != ScreenShape::standard) {
        controlLog_.notice("screen shape %{public}s ignored: Wide/Ultrawide is turned off", screenShapeLabel(shape));
        return;
    }
    mainActor_.async([weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->runVirtualDisplayTask(shape);
    });
}

void MediaPipeline::runVirtualDisplayTask(ScreenShape shape) {
    if (!virtualDisplay_) return;
    const ScreenShape before = virtualDisplay_->shape();
    if (shape == ScreenShape::standard || before == ScreenShape::standard || before == shape) {
        virtualDisplayApplied(shape);
        return;
    }
    // Between the two wide shapes by way of the standard one.
    virtualDisplay_->apply(ScreenShape::standard);
    setPreferredDisplayID(std::nullopt);
    mainActor_.asyncAfter(shapeDetourSettleNs, [weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->virtualDisplayApplied(shape);
    });
}

void MediaPipeline::virtualDisplayApplied(ScreenShape shape) {
    if (!virtualDisplay_->apply(shape)) return;
    setPreferredDisplayID(virtualDisplay_->liveDisplayID());
    const std::uint64_t settle = shape == ScreenShape::standard ? standardShapeSettleNs : virtualDisplaySettleNs;
    mainActor_.asyncAfter(settle, [weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->virtualDisplaySettled(shape);
    });
}

void MediaPipeline::virtualDisplaySettled(ScreenShape shape) {
    const auto live = virtualDisplay_->liveDisplayID();
    if (!live || isDisplayOnline(*live)) {
        restartDisplaySurfaces();
        return;
    }
    controlLog_.error("screen shape %{public}s: virtual display disappeared, back to standard", screenShapeLabel(shape));
    virtualDisplay_->apply(ScreenShape::standard);
    setPreferredDisplayID(std::nullopt);
    mainActor_.asyncAfter(standardShapeSettleNs, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->restartDisplaySurfaces();
    });
}

} // namespace quillmere

// MediaPipeline's control of this computer: the control prompt and its
// grant, which surface the one injector drives, how control moves when that
// surface stops, and focus hints that move it between windows and displays.

#include "QuillmereMac/Media/MediaPipeline.h"

#include <string>

namespace quillmere {

namespace {

template <class T>
std::string describe(const std::optional<T>& value) {
    return value ? std::to_string(*value) : std::string("none");
}

std::optional<std::uint32_t> surfaceNumber(const std::optional<SurfaceKey>& surface) {
    return surface ? std::optional(surface->surfaceID) : std::nullopt;
}

} // namespace

void MediaPipeline::takeControl(SurfaceKey surface, std::shared_ptr<InputInjector> injector) {
    replaceInjector(std::move(injector));
    controlledSurface_.set(std::move(surface));
}

// X keeps a key pressed for as long as nobody lets go of it: what the old
// injector holds goes up before another takes over, or none does.
void MediaPipeline::replaceInjector(std::shared_ptr<InputInjector> injector) {
    injector_.withLock([&](std::shared_ptr<InputInjector>& current) {
        if (current && current != injector) current->releaseHeld();
        current = std::move(injector);
    });
    updateRepeatTimer();
}

// Main actor. Control of the client's surface 1, else of its lowest, asked
// of the user with the surface's label. Another client's surfaces are not
// this client's to drive.
void MediaPipeline::requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                                   std::function<void(bool)> reply) {
    const std::optional<std::pair<SurfaceKey, CaptureChoice>> picked =
        lock_.withLock([&](Table& table) -> std::optional<std::pair<SurfaceKey, CaptureChoice>> {
            std::optional<std::pair<SurfaceKey, CaptureChoice>> lowest;
            for (const auto& [key, pipeline] : table) {
                if (!connection || !key.belongsTo(connection)) continue;
                if (!lowest || key.surfaceID == 1) lowest.emplace(key, pipeline->choice());
                if (key.surfaceID >= 1) break;
            }
            return lowest;
        });
    if (consent_.expired() || !poster_ || !picked) {
        reply(false);
        return;
    }
    controlFrame(picked->second, [weak = weak_from_this(), surface = picked->first, clientName = std::move(clientName),
                                  reply = std::move(reply)](std::optional<ControlFrame> frame) mutable {
        const auto self = weak.lock();
        const auto presenter = self ? self->consent_.lock() : nullptr;
        if (!presenter || !frame) {
            reply(false);
            return;
        }
        std::string title = "control of " + frame->label;
        presenter->request(std::move(clientName), std::move(title),
                           [weak, surface, frame = std::move(*frame), reply = std::move(reply)](bool approved) mutable {
                               if (const auto self = weak.lock())
                                   self->controlGranted(approved, std::move(surface), frame, std::move(reply));
                               else
                                   reply(approved);
                           });
    });
}

// Main thread: a grant makes a fresh injector for the surface's frame, with
// the keyboard's repeat rate as the system has it now, and raises the window.
void MediaPipeline::controlGranted(bool granted, SurfaceKey surface, const ControlFrame& frame,
                                   std::function<void(bool)> completion) {
    if (granted) {
        const KeyRepeat repeat = KeyRepeat::from(poster_->keyRepeatRate());
        takeControl(std::move(surface), std::make_shared<InputInjector>(poster_, frame.frame, repeat));
        recordRaise(frame.target, clock_());
        raiseWindow(frame.target);
    }
    completion(granted);
}

void MediaPipeline::handOverControl(const SurfaceKey& stopped, const std::vector<SurfaceKey>& remaining) {
    const std::optional<SurfaceKey> controlled = controlledSurface_.get();
    if (controlled && !(*controlled == stopped)) return;

    std::optional<SurfaceKey> target;
    for (const SurfaceKey& key : remaining) {
        if (key.surfaceID == 1) target = key;
    }
    if (!target && !remaining.empty()) target = remaining.front();

    if (!target) {
        replaceInjector(nullptr);
        controlledSurface_.set(std::nullopt);
        recordRaise(std::nullopt, clock_());
        return;
    }
    controlledSurface_.set(std::nullopt);
    recordRaise(std::nullopt, clock_());
    controlLog_.notice("control moves surface=%{public}u \u2192 %{public}u: stopped", stopped.surfaceID,
                       target->surfaceID);
    if (const auto owner = target->connection.lock()) focusHint(msg::FocusHint{target->surfaceID, 0}, owner);
}

void MediaPipeline::focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, hint.surfaceID};
    const bool hasInjector = injector_.get() != nullptr;
    const std::optional<SurfaceKey> controlled = controlledSurface_.get();
    controlLog_.debug("focus hint surface=%{public}u controlled=%{public}s injector=%{bool,public}d", hint.surfaceID,
                      describe(surfaceNumber(controlled)), hasInjector);
    if (controlled && *controlled == key) return;
    // Another client's control is not this client's to move.
    if (!hasInjector || (controlled && !controlled->belongsTo(connection))) {
        controlLog_.notice("focus ignored surface=%{public}u: no control granted", hint.surfaceID);
        return;
    }
    const auto found = pipeline(hint.surfaceID, connection);
    if (!found || found->choice().kind == CaptureChoice::Kind::testPattern) {
        controlLog_.notice("focus ignored surface=%{public}u: not a controllable surface", hint.surfaceID);
        return;
    }
    Retarget move;
    move.surface = key;
    move.sequence = focusSequence_.withLock([](std::uint64_t& value) { return ++value; });
    // Where control comes from is read now, before it moves.
    move.fromDisplay = controlledIsDisplay();
    move.toDisplay = found->choice().kind == CaptureChoice::Kind::display;
    mainActor_.async([weak = weak_from_this(), move, choice = found->choice()] {
        const auto self = weak.lock();
        if (!self) return;
        self->controlFrame(choice, [weak, move](std::optional<ControlFrame> frame) {
            if (const auto self = weak.lock()) self->retarget(move, frame);
        });
    });
}

// Main actor. A newer hint wins; a held button or a frame without area
// leaves control where it is until a later hint.
void MediaPipeline::retarget(const Retarget& move, const std::optional<ControlFrame>& frame) {
    const std::uint32_t surfaceID = move.surface.surfaceID;
    if (!frame) {
        controlLog_.notice("retarget failed surface=%{public}u: no frame", surfaceID);
        return;
    }
    if (focusSequence_.get() != move.sequence) {
        controlLog_.notice("retarget superseded surface=%{public}u", surfaceID);
        return;
    }
    const Rect& rect = frame->frame;
    const bool moved = injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
        if (!injector || !injector->heldButtons().empty() || !(rect.width >= 1) || !(rect.height >= 1)) return false;
        injector->windowFrame = rect;
        injector->moveCursor((rect.minX() + rect.maxX()) / 2, (rect.minY() + rect.maxY()) / 2);
        return true;
    });
    if (!moved) {
        controlLog_.notice("retarget deferred surface=%{public}u", surfaceID);
        return;
    }
    controlledSurface_.set(move.surface);

    const bool toWindow = move.fromDisplay && !move.toDisplay;
    const bool toDisplay = !move.fromDisplay && move.toDisplay;
    const std::optional<std::int32_t> frontmost = toWindow && raiser_ ? raiser_->lastOther() : std::nullopt;
    const std::optional<std::int32_t> restore = restore_.withLock([&](std::optional<std::int32_t>& saved) {
        std::optional<std::int32_t> pid;
        // This host is never the application to give the front back to.
        if (toWindow) saved = frontmost == WindowCatalog::currentProcessID() ? std::nullopt : frontmost;
        if (toDisplay) pid = std::exchange(saved, std::nullopt);
        return pid;
    });
    std::optional<std::int32_t> targetPID;
    if (frame->target) targetPID = frame->target->pid;
    controlLog_.notice("retarget surface=%{public}u fromDisplay=%{bool,public}d toDisplay=%{bool,public}d "
                       "frontmost=%{public}s restore=%{public}s target=%{public}s",
                       surfaceID, move.fromDisplay, move.toDisplay, describe(frontmost), describe(restore),
                       describe(targetPID));
    recordRaise(frame->target, clock_());
    raiseWindow(frame->target);
    if (restore && raiser_) raiser_->restoreFrontmost(*restore);
}

} // namespace quillmere

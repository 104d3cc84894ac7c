// MediaPipeline's control of this computer: which surface the one injector drives,
// how control moves when that surface stops, and focus hints that move it.

#include "QuillmereMac/Media/MediaPipeline.h"

#include <string>

namespace quillmere {

namespace {

std::string describe(const std::optional<SurfaceKey>& surface) {
    return surface ? std::to_string(surface->surfaceID) : std::string("none");
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

// Main actor. Control of the lowest surface (surface 1 when there is one),
// asked of the user with the surface's label.
void MediaPipeline::requestControl(std::string clientName, std::function<void(bool)> reply) {
    const auto consent = consent_.lock();
    const auto lowest = lowestSurface();
    if (!consent || !poster_ || !lowest) {
        reply(false);
        return;
    }
    const CaptureChoice choice = lowest->second->choice();
    const std::optional<Rect> frame = controlFrame(choice);
    if (!frame) {
        reply(false);
        return;
    }
    std::string label = "your entire screen";
    if (choice.kind == CaptureChoice::Kind::window) {
        const auto description = catalog_->windowDescription(choice.value);
        label = description && !description->empty() ? *description : "window " + std::to_string(choice.value);
    }
    consent->request(std::move(clientName), "control of " + label,
                     [weak = weak_from_this(), surface = lowest->first, frame = *frame,
                      reply = std::move(reply)](bool approved) mutable {
                         if (const auto self = weak.lock())
                             self->controlGranted(approved, std::move(surface), frame, std::move(reply));
                         else
                             reply(approved);
                     });
}

// Main thread: a grant makes a fresh injector for the surface's frame, with
// the keyboard's repeat rate as the system has it now.
void MediaPipeline::controlGranted(bool granted, SurfaceKey surface, Rect frame, std::function<void(bool)> completion) {
    if (granted) {
        const KeyRepeat repeat = KeyRepeat::from(poster_->keyRepeatRate());
        takeControl(std::move(surface), std::make_shared<InputInjector>(poster_, frame, repeat));
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
        return;
    }
    controlledSurface_.set(std::nullopt);
    controlLog_.notice("control moves surface=%{public}u \u2192 %{public}u: stopped", stopped.surfaceID,
                       target->surfaceID);
    if (const auto owner = target->connection.lock()) focusHint(msg::FocusHint{target->surfaceID, 0}, owner);
}

void MediaPipeline::focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, hint.surfaceID};
    const bool hasInjector = injector_.get() != nullptr;
    const std::optional<SurfaceKey> controlled = controlledSurface_.get();
    controlLog_.debug("focus hint surface=%{public}u controlled=%{public}s injector=%{bool,public}d", hint.surfaceID,
                      describe(controlled), hasInjector);
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
    const std::uint64_t sequence = focusSequence_.withLock([](std::uint64_t& value) { return ++value; });
    mainActor_.async([weak = weak_from_this(), key, found, sequence] {
        if (const auto self = weak.lock()) self->retarget(key, found, sequence);
    });
}

// Main actor. Moving the pointer into the new frame, raising the window and
// re-activating the application that was in front come with injection and
// window raising; here control follows the hint.
void MediaPipeline::retarget(SurfaceKey surface, std::shared_ptr<SurfacePipeline> pipeline, std::uint64_t sequence) {
    const std::optional<Rect> frame = controlFrame(pipeline->choice());
    if (!frame) {
        controlLog_.notice("retarget failed surface=%{public}u: no frame", surface.surfaceID);
        return;
    }
    if (focusSequence_.get() != sequence) {
        controlLog_.notice("retarget superseded surface=%{public}u", surface.surfaceID);
        return;
    }
    const bool moved = injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
        if (!injector || !(frame->width >= 1) || !(frame->height >= 1)) return false;
        injector->windowFrame = *frame;
        return true;
    });
    if (!moved) {
        controlLog_.notice("retarget deferred surface=%{public}u", surface.surfaceID);
        return;
    }
    controlledSurface_.set(surface);
}

void MediaPipeline::refreshControl(const SurfaceKey& surface) {
    if (controlledSurface_.get() != surface) return;
    const auto found = lock_.withLock([&](Table& table) -> std::shared_ptr<SurfacePipeline> {
        const auto entry = table.find(surface);
        return entry == table.end() ? nullptr : entry->second;
    });
    if (!found) return;
    const std::optional<Rect> frame = controlFrame(found->choice());
    if (!frame) return;
    injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
        if (injector) injector->windowFrame = *frame;
    });
}

std::optional<Rect> MediaPipeline::controlFrame(const CaptureChoice& choice) const {
    switch (choice.kind) {
    case CaptureChoice::Kind::window: {
        auto frame = catalog_->windowFrame(choice.value);
        if (!frame) controlLog_.notice("control frame missing window=%{public}u", choice.value);
        return frame;
    }
    case CaptureChoice::Kind::display: return catalog_->displayBounds(static_cast<int>(choice.value));
    case CaptureChoice::Kind::testPattern: return std::nullopt;
    }
    return std::nullopt;
}

} // namespace quillmere

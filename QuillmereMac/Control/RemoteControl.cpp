// Remote control: the control prompt and its grant, which surface the one
// injector drives, how control moves when that surface stops, and focus
// hints that move it between windows and displays.

#include "QuillmereMac/Control/RemoteControl.h"

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

std::shared_ptr<RemoteControl> RemoteControl::make(Services services) {
    return std::make_shared<RemoteControl>(std::move(services));
}

RemoteControl::RemoteControl(Services services)
    : mainActor_(*services.mainActor),
      queue_(std::move(services.queue)),
      surfaces_(std::move(services.surfaces)),
      frames_(std::move(services.frames)),
      consent_(std::move(services.consent)),
      poster_(std::move(services.poster)),
      raiser_(std::move(services.raiser)),
      clock_(std::move(services.clock)) {}

// Nobody else holds the actor any more: its state is this thread's now.
RemoteControl::~RemoteControl() {
    if (state_.repeatTimer) state_.repeatTimer->cancel();
    if (state_.injector) state_.injector->releaseHeld();
}

void RemoteControl::takeControl(SurfaceKey surface, std::shared_ptr<InputInjector> injector) {
    onQueue([&](State& state) {
        replaceInjector(state, std::move(injector));
        state.controlled = std::move(surface);
    });
}

// X keeps a key pressed for as long as nobody lets go of it.
void RemoteControl::replaceInjector(State& state, std::shared_ptr<InputInjector> injector) {
    if (state.injector && state.injector != injector) state.injector->releaseHeld();
    state.injector = std::move(injector);
    updateRepeatTimer(state);
}

// Another client's surfaces are not this client's to drive.
void RemoteControl::requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                                   std::function<void(bool)> reply, std::shared_ptr<PromptScope> prompts) {
    const auto picked = surfaces_->controlCandidate(connection);
    if (consent_.expired() || !poster_ || !picked) {
        reply(false);
        return;
    }
    frames_->lookUp(picked->second, [weak = weak_from_this(), surface = picked->first,
                                     clientName = std::move(clientName), reply = std::move(reply),
                                     prompts = std::move(prompts)](std::optional<ControlFrame> frame) mutable {
        const auto self = weak.lock();
        const auto presenter = self ? self->consent_.lock() : nullptr;
        if (!presenter || !frame) {
            reply(false);
            return;
        }
        std::string title = "control of " + frame->label;
        PromptScope::ask(
            prompts, presenter,
            [&](ConsentPresenting::Reply answer) {
                return presenter->request(std::move(clientName), std::move(title), std::move(answer));
            },
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
void RemoteControl::controlGranted(bool granted, SurfaceKey surface, const ControlFrame& frame,
                                   std::function<void(bool)> completion) {
    if (granted) {
        const KeyRepeat repeat = KeyRepeat::from(poster_->keyRepeatRate());
        auto injector = std::make_shared<InputInjector>(poster_, frame.frame, repeat);
        const std::uint64_t now = clock_();
        onQueue([&](State& state) {
            replaceInjector(state, std::move(injector));
            state.controlled = std::move(surface);
            state.raise = RaiseState{frame.target, frame.target ? now : 0};
        });
        raiseWindow(frame.target);
    }
    completion(granted);
}

void RemoteControl::surfaceStopped(const SurfaceKey& stopped, const std::vector<SurfaceKey>& remaining) {
    std::optional<SurfaceKey> target;
    for (const SurfaceKey& key : remaining) {
        if (key.surfaceID == 1) target = key;
    }
    if (!target && !remaining.empty()) target = remaining.front();

    const bool moves = onQueue([&](State& state) {
        if (state.controlled && !(*state.controlled == stopped)) return false;
        if (!target) replaceInjector(state, nullptr);
        state.controlled = std::nullopt;
        state.raise = RaiseState{std::nullopt, 0};
        return target.has_value();
    });
    if (!moves) return;
    controlLog_.notice("control moves surface=%{public}u \u2192 %{public}u: stopped", stopped.surfaceID,
                       target->surfaceID);
    if (const auto owner = target->connection.lock()) focusHint(msg::FocusHint{target->surfaceID, 0}, owner);
}

void RemoteControl::focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) {
    const SurfaceKey key{connection, hint.surfaceID};
    const std::optional<CaptureChoice> choice = surfaces_->choiceOf(key);
    enum class Outcome { same, notGranted, notControllable, moves };
    Retarget move;
    move.surface = key;
    const Outcome outcome = onQueue([&](State& state) {
        const bool hasInjector = state.injector != nullptr;
        controlLog_.debug("focus hint surface=%{public}u controlled=%{public}s injector=%{bool,public}d",
                          hint.surfaceID, describe(surfaceNumber(state.controlled)), hasInjector);
        if (state.controlled && *state.controlled == key) return Outcome::same;
        // Another client's control is not this client's to move.
        if (!hasInjector || (state.controlled && !state.controlled->belongsTo(connection))) return Outcome::notGranted;
        if (!choice || choice->kind == CaptureChoice::Kind::testPattern) return Outcome::notControllable;
        move.sequence = ++state.focusSequence;
        // Where control comes from is read now, before it moves.
        move.fromDisplay = isDisplay(state.controlled);
        move.toDisplay = choice->kind == CaptureChoice::Kind::display;
        return Outcome::moves;
    });
    switch (outcome) {
    case Outcome::same: return;
    case Outcome::notGranted:
        controlLog_.notice("focus ignored surface=%{public}u: no control granted", hint.surfaceID);
        return;
    case Outcome::notControllable:
        controlLog_.notice("focus ignored surface=%{public}u: not a controllable surface", hint.surfaceID);
        return;
    case Outcome::moves: break;
    }
    mainActor_.async([weak = weak_from_this(), move, choice = *choice] {
        const auto self = weak.lock();
        if (!self) return;
        self->frames_->lookUp(choice, [weak, move](std::optional<ControlFrame> frame) {
            if (const auto self = weak.lock()) self->retarget(move, frame);
        });
    });
}

// Main actor. A newer hint wins; a held button or a frame without area
// leaves control where it is until a later hint.
void RemoteControl::retarget(const Retarget& move, const std::optional<ControlFrame>& frame) {
    const std::uint32_t surfaceID = move.surface.surfaceID;
    if (!frame) {
        controlLog_.notice("retarget failed surface=%{public}u: no frame", surfaceID);
        return;
    }
    const Rect& rect = frame->frame;
    const bool toWindow = move.fromDisplay && !move.toDisplay;
    const bool toDisplay = !move.fromDisplay && move.toDisplay;
    enum class Outcome { superseded, deferred, moved };
    std::optional<std::int32_t> frontmost;
    std::optional<std::int32_t> restore;
    const std::uint64_t now = clock_();
    const Outcome outcome = onQueue([&](State& state) {
        if (state.focusSequence != move.sequence) return Outcome::superseded;
        const auto& injector = state.injector;
        if (!injector || !injector->heldButtons().empty() || !(rect.width >= 1) || !(rect.height >= 1))
            return Outcome::deferred;
        injector->windowFrame = rect;
        injector->moveCursor((rect.minX() + rect.maxX()) / 2, (rect.minY() + rect.maxY()) / 2);
        state.controlled = move.surface;
        if (toWindow && raiser_) frontmost = raiser_->lastOther();
        // This host is never the application to give the front back to.
        if (toWindow) state.restore = frontmost == WindowCatalog::currentProcessID() ? std::nullopt : frontmost;
        if (toDisplay) restore = std::exchange(state.restore, std::nullopt);
        state.raise = RaiseState{frame->target, frame->target ? now : 0};
        return Outcome::moved;
    });
    if (outcome == Outcome::superseded) {
        controlLog_.notice("retarget superseded surface=%{public}u", surfaceID);
        return;
    }
    if (outcome == Outcome::deferred) {
        controlLog_.notice("retarget deferred surface=%{public}u", surfaceID);
        return;
    }
    std::optional<std::int32_t> targetPID;
    if (frame->target) targetPID = frame->target->pid;
    controlLog_.notice("retarget surface=%{public}u fromDisplay=%{bool,public}d toDisplay=%{bool,public}d "
                       "frontmost=%{public}s restore=%{public}s target=%{public}s",
                       surfaceID, move.fromDisplay, move.toDisplay, describe(frontmost), describe(restore),
                       describe(targetPID));
    raiseWindow(frame->target);
    if (restore && raiser_) raiser_->restoreFrontmost(*restore);
}

bool RemoteControl::isDisplay(const std::optional<SurfaceKey>& surface) const {
    if (!surface) return false;
    const auto choice = surfaces_->choiceOf(*surface);
    return choice && choice->kind == CaptureChoice::Kind::display;
}

std::optional<SurfaceKey> RemoteControl::controlledSurface() const {
    return onQueue([](State& state) { return state.controlled; });
}

std::shared_ptr<InputInjector> RemoteControl::injector() const {
    return onQueue([](State& state) { return state.injector; });
}

bool RemoteControl::controlledIsDisplay() const { return isDisplay(controlledSurface()); }

RemoteControl::RaiseState RemoteControl::raiseState() const {
    return onQueue([](State& state) { return state.raise; });
}

std::optional<std::int32_t> RemoteControl::savedFrontmost() const {
    return onQueue([](State& state) { return state.restore; });
}

std::int64_t RemoteControl::droppedInput() const {
    return onQueue([](State& state) { return state.droppedInput; });
}

bool RemoteControl::repeatTimerRunning() const {
    return onQueue([](State& state) { return state.repeatTimer != nullptr; });
}

} // namespace quillmere

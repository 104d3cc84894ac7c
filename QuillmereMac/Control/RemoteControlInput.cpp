// Remote control's input and raising: posting through the one injector, the
// timer that repeats keys and ends scroll gestures while either is pending,
// and keeping the controlled window raised.

#include "QuillmereMac/Control/RemoteControl.h"

#include <algorithm>

namespace quillmere {

void RemoteControl::inject(const std::vector<InjectAction>& actions) {
    if (actions.empty()) return;
    clickRaise(actions, clock_());
    onQueue([&](State& state) {
        if (state.injector) {
            for (const InjectAction& action : actions) state.injector->post(action, clock_());
        } else {
            state.droppedInput += static_cast<std::int64_t>(actions.size());
        }
        updateRepeatTimer(state);
    });
}

// On the queue, as the timer's ticks are: no other thread can start or stop
// it between a look and a change.
void RemoteControl::updateRepeatTimer(State& state) {
    const bool needed = state.injector && state.injector->hasPendingWork();
    if (needed && !state.repeatTimer) {
        state.repeatTimer = DispatchTimer::make(*queue_);
        state.repeatTimer->schedule(queue_->nowNs(), repeatTickNs, repeatLeewayNs);
        state.repeatTimer->setHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->repeatTick();
        });
        state.repeatTimer->resume();
    } else if (!needed && state.repeatTimer) {
        state.repeatTimer->cancel();
        state.repeatTimer.reset();
    }
}

void RemoteControl::repeatTick() {
    onQueue([&](State& state) {
        if (state.injector) state.injector->endScrollIfIdle(clock_());
        updateRepeatTimer(state);
    });
}

void RemoteControl::clickRaise(const std::vector<InjectAction>& actions, std::uint64_t nowNs) {
    const bool pressed = std::any_of(actions.begin(), actions.end(), [](const InjectAction& action) {
        return std::holds_alternative<inject::ButtonDown>(action);
    });
    if (!pressed) return;
    const auto target = onQueue([&](State& state) -> std::optional<ControlTarget> {
        const std::uint64_t since = nowNs > state.raise.lastNs ? nowNs - state.raise.lastNs : 0;
        if (!state.raise.target || since < clickRaiseIntervalNs) return std::nullopt;
        state.raise.lastNs = nowNs;
        return state.raise.target;
    });
    raiseWindow(target);
}

void RemoteControl::recordRaise(std::optional<ControlTarget> target, std::uint64_t nowNs) {
    const std::uint64_t at = target ? nowNs : 0;
    onQueue([&](State& state) { state.raise = RaiseState{std::move(target), at}; });
}

void RemoteControl::raiseWindow(const std::optional<ControlTarget>& target) {
    if (target && raiser_ && raiser_->raise(*target)) postRaise();
}

// A window that keeps needing a fit is read and raised again every 0.25 s
// until it fits.
void RemoteControl::postRaise() {
    const auto controlled = controlledSurface();
    if (!controlled) return;
    mainActor_.asyncAfter(postRaiseDelayNs, [weak = weak_from_this(), surface = *controlled] {
        if (const auto self = weak.lock()) self->refreshControl(surface);
    });
}

void RemoteControl::rasterChanged(const SurfaceKey& surface) {
    if (controlledSurface() != surface) return;
    mainActor_.async([weak = weak_from_this(), surface] {
        if (const auto self = weak.lock()) self->refreshControl(surface);
    });
}

void RemoteControl::refreshControlled() {
    if (const auto controlled = controlledSurface()) refreshControl(*controlled);
}

void RemoteControl::refreshControl(const SurfaceKey& surface) {
    if (controlledSurface() != surface) return;
    const auto choice = surfaces_->choiceOf(surface);
    if (!choice) return;
    mainActor_.async([weak = weak_from_this(), choice = *choice] {
        const auto self = weak.lock();
        if (!self) return;
        self->frames_->lookUp(choice, [weak](std::optional<ControlFrame> frame) {
            const auto self = weak.lock();
            if (!self || !frame) return;
            const std::uint64_t now = self->clock_();
            self->onQueue([&](State& state) {
                if (state.injector) state.injector->windowFrame = frame->frame;
                state.raise = RaiseState{frame->target, frame->target ? now : 0};
            });
            self->raiseWindow(frame->target);
        });
    });
}

} // namespace quillmere

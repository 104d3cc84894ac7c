// MediaPipeline's side of input injection: noting input for the surfaces,
// posting through the one injector, and the timer that repeats keys and ends
// scroll gestures while either is pending.

#include "QuillmereMac/Media/MediaPipeline.h"

namespace quillmere {

void MediaPipeline::inject(const std::vector<InjectAction>& actions) {
    if (actions.empty()) return;
    // Every live surface of every connection leaves its quiet state, not
    // only the controlled one.
    const auto pipelines = lock_.withLock([](const Table& table) {
        std::vector<std::shared_ptr<SurfacePipeline>> all;
        for (const auto& [key, pipeline] : table) all.push_back(pipeline);
        return all;
    });
    for (const auto& pipeline : pipelines) {
        const std::uint64_t now = clock_();
        pipeline->queue().async([pipeline, now] { pipeline->noteInput(now); });
    }
    // The pointer's shape follows input more closely for a while.
    noteCursorInput();

    clickRaise(actions, clock_());
    const bool posted = injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
        if (!injector) return false;
        for (const InjectAction& action : actions) injector->post(action, clock_());
        return true;
    });
    if (!posted)
        droppedInput_.withLock([&](std::int64_t& dropped) { dropped += static_cast<std::int64_t>(actions.size()); });
    updateRepeatTimer();
}

// The injector's box is read and released before the timer's is taken. A
// tick may decide to stop between another caller's read and its own stop
// (or a stop here may cross a new repeat starting elsewhere): after a stop,
// look once more, so that pending work is never left without a timer.
void MediaPipeline::updateRepeatTimer() {
    for (int pass = 0; pass < 2; ++pass) {
        const bool needed = injector_.withLock(
            [](const std::shared_ptr<InputInjector>& injector) { return injector && injector->hasPendingWork(); });
        const bool stopped = repeatTimer_.withLock([&](std::shared_ptr<DispatchTimer>& timer) {
            if (needed && !timer) {
                timer = DispatchTimer::make(*repeatTimers_);
                timer->schedule(repeatTimers_->nowNs(), repeatTickNs, repeatLeewayNs);
                timer->setHandler([weak = weak_from_this()] {
                    if (const auto self = weak.lock()) self->repeatTick();
                });
                timer->resume();
                return false;
            }
            if (!needed && timer) {
                timer->cancel();
                timer.reset();
                return true;
            }
            return false;
        });
        if (!stopped) return;
    }
}

void MediaPipeline::repeatTick() {
    const bool pending = injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
        if (!injector) return false;
        injector->endScrollIfIdle(clock_());
        return injector->hasPendingWork();
    });
    if (!pending) updateRepeatTimer();
}

} // namespace quillmere

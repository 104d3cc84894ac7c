#include "QuillmereMac/Cursor/CursorShapeWatcher.h"

#include "Platform/Dispatch/DispatchTimer.h"

#include <cmath>
#include <utility>

namespace quillmere {

std::shared_ptr<CursorShapeWatcher> CursorShapeWatcher::make(Executor& mainActor, Sample sample, Send send,
                                                             std::function<std::uint64_t()> now) {
    return std::make_shared<CursorShapeWatcher>(mainActor, std::move(sample), std::move(send), std::move(now));
}

CursorShapeWatcher::CursorShapeWatcher(Executor& mainActor, Sample sample, Send send,
                                       std::function<std::uint64_t()> now)
    : mainActor_(mainActor),
      sample_(std::move(sample)),
      send_(std::move(send)),
      now_(now ? std::move(now) : [&mainActor] { return mainActor.nowNs(); }) {}

CursorShapeWatcher::~CursorShapeWatcher() {
    if (timer_) timer_->cancel();
}

void CursorShapeWatcher::tick() {
    const std::optional<SystemCursor> cursor = sample_ ? sample_() : std::nullopt;
    if (!cursor) return;
    const std::optional<std::uint64_t> key = cursor->identityKey();
    if (!key || key == lastKey_) return;
    std::optional<CursorShape> shape = cursor->shape();
    if (!shape) return;
    // A shape that did not go out is sent again at the next tick.
    if (!send_ || !send_(ControlMessage(std::move(*shape)))) return;
    lastKey_ = key;
    ++sent_;
}

void CursorShapeWatcher::schedule(double intervalSeconds) {
    if (intervalSeconds == interval_ && timer_) return;
    if (timer_) timer_->cancel();
    interval_ = intervalSeconds;
    input_.withLock([&](Input& input) { input.slow = intervalSeconds == slowSeconds; });

    const auto periodNs = static_cast<std::uint64_t>(std::llround(intervalSeconds * 1e9));
    timer_ = DispatchTimer::make(mainActor_);
    timer_->schedule(mainActor_.nowNs() + periodNs, periodNs);
    timer_->setHandler([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->tick();
        const std::uint64_t now = self->now_();
        const std::uint64_t last = self->input_.withLock([](const Input& input) { return input.lastNs; });
        const bool recent = now < last || now - last <= recentInputNs;
        self->schedule(recent ? fastSeconds : slowSeconds);
    });
    timer_->resume();
}

void CursorShapeWatcher::stop() {
    if (timer_) timer_->cancel();
    timer_.reset();
    lastKey_.reset();
    interval_ = 0;
}

void CursorShapeWatcher::noteInput() {
    const std::uint64_t now = now_();
    const bool wasSlow = input_.withLock([&](Input& input) {
        input.lastNs = now;
        return std::exchange(input.slow, false);
    });
    if (!wasSlow) return;
    mainActor_.async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || !self->timer_) return;
        self->tick();
        self->schedule(fastSeconds);
    });
}

void CursorShapeWatcher::setLastInput(std::uint64_t ns) {
    input_.withLock([&](Input& input) { input.lastNs = ns; });
}

} // namespace quillmere

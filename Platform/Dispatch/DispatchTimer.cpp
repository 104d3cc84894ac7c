#include "Platform/Dispatch/DispatchTimer.h"

namespace quillmere {

std::shared_ptr<DispatchTimer> DispatchTimer::make(Executor& executor) {
    return std::make_shared<DispatchTimer>(executor);
}

DispatchTimer::DispatchTimer(Executor& executor) : executor_(executor) {}

void DispatchTimer::schedule(std::uint64_t deadlineNs, std::uint64_t intervalNs, std::uint64_t /*leewayNs*/) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        deadlineNs_ = deadlineNs;
        intervalNs_ = intervalNs;
        scheduled_ = true;
        ++generation_; // a new schedule replaces the pending firing
    }
    arm();
}

void DispatchTimer::setHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void DispatchTimer::resume() {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || resumed_) return;
        resumed_ = true;
    }
    arm();
}

void DispatchTimer::cancel() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        ++generation_;
        handler = std::move(handler_); // release what the handler holds now
    }
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void DispatchTimer::arm() {
    std::uint64_t generation;
    std::uint64_t delay;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || !resumed_ || !scheduled_) return;
        generation = generation_;
        const std::uint64_t now = executor_.nowNs();
        delay = deadlineNs_ > now ? deadlineNs_ - now : 0;
    }
    std::weak_ptr<DispatchTimer> weak = weak_from_this();
    executor_.asyncAfter(delay, [weak, generation] {
        if (auto self = weak.lock()) self->fire(generation);
    });
}

void DispatchTimer::fire(std::uint64_t generation) {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || generation != generation_) return;
        handler = handler_;
        if (intervalNs_ == 0) {
            scheduled_ = false;
        } else {
            // Skip missed periods instead of firing a burst to catch up.
            const std::uint64_t now = executor_.nowNs();
            deadlineNs_ += intervalNs_;
            if (deadlineNs_ <= now) deadlineNs_ = now + intervalNs_ - (now - deadlineNs_) % intervalNs_;
        }
    }
    if (handler) handler();
    bool rearm;
    {
        std::lock_guard lock(mutex_);
        rearm = !cancelled_ && intervalNs_ != 0 && generation == generation_;
    }
    if (rearm) arm();
}

} // namespace quillmere

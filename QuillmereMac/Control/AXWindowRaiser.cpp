#include "QuillmereMac/Control/AXWindowRaiser.h"

#include "QuillmereMac/Control/WindowFitting.h"

namespace quillmere {

std::shared_ptr<AXWindowRaiser> AXWindowRaiser::make(std::shared_ptr<WindowSystem> system, Executor& main,
                                                     bool observeActivations, std::int32_t ownPID) {
    auto raiser = std::make_shared<AXWindowRaiser>(std::move(system), main);
    if (observeActivations) {
        raiser->lastOther_->set(frontmostOtherPID(*raiser->system_, ownPID));
        auto remember = [lastOther = raiser->lastOther_, ownPID](std::int32_t pid) {
            if (pid != ownPID) lastOther->set(pid);
        };
        raiser->observer_ = raiser->system_->addActivationObserver(std::move(remember));
    }
    return raiser;
}

AXWindowRaiser::AXWindowRaiser(std::shared_ptr<WindowSystem> system, Executor& main)
    : system_(std::move(system)), main_(main) {}

AXWindowRaiser::~AXWindowRaiser() {
    if (observer_) system_->removeActivationObserver(*observer_);
}

bool AXWindowRaiser::raise(const ControlTarget& target) {
    const auto windows = system_->windows(target.pid);
    if (!windows || windows->empty()) {
        activate(target.pid, nullptr);
        return false;
    }
    // The best match by title and frame; ties keep the one further in front.
    WindowSystem::Window chosen = windows->front();
    if (windows->size() > 1) {
        const auto score = [&](WindowSystem::Window window) {
            const auto frame = system_->frame(window);
            return matchScore(system_->title(window), frame ? std::optional(rectOf(*frame)) : std::nullopt, target);
        };
        double best = score(chosen);
        for (std::size_t i = 1; i < windows->size(); ++i) {
            if (const double candidate = score((*windows)[i]); candidate < best) {
                best = candidate;
                chosen = (*windows)[i];
            }
        }
    }

    const std::optional<Rect> moved = fitToScreen(*system_, chosen);
    const std::int32_t first = system_->raise(chosen);
    const bool fronted = system_->makeKeyWindow(chosen, target.pid);
    lastOutcome_.set(Outcome{first, fronted, std::nullopt, std::nullopt, false});

    const Raised raised{chosen, windows->size(), first, fronted, moved.has_value(), target.pid,
                        moved.value_or(target.frame)};
    activate(target.pid, [weak = weak_from_this(), raised] {
        if (const auto self = weak.lock()) self->secondStage(raised);
    });
    return raised.fitted;
}

// Main actor.
void AXWindowRaiser::secondStage(const Raised& raised) {
    const std::int32_t second = system_->raise(raised.window);
    lastOutcome_.withLock([&](std::optional<Outcome>& outcome) {
        if (outcome) outcome->second = second;
    });
    main_.asyncAfter(checkDelayNs, [weak = weak_from_this(), raised, second] {
        if (const auto self = weak.lock()) self->check(raised, second);
    });
}

// Main actor.
void AXWindowRaiser::check(const Raised& raised, std::int32_t second) {
    const auto bounds = system_->frontmostWindowBounds(raised.pid);
    // A fitted window is checked where the fit put it: its old frame would
    // never match.
    const bool onTop = isOnTop(bounds ? std::optional(rectOf(*bounds)) : std::nullopt, raised.frame);
    if (!onTop) {
        system_->makeKeyWindow(raised.window, raised.pid);
        system_->raise(raised.window);
    }
    lastOutcome_.withLock([&](std::optional<Outcome>& outcome) {
        if (!outcome) return;
        outcome->onTop = onTop;
        outcome->retried = !onTop;
    });
    log_.notice("raise pid=%{public}d windows=%{public}ld axRaise=%{public}d/%{public}d fronted=%{bool,public}d "
                "onTop=%{bool,public}d fitted=%{bool,public}d",
                raised.pid, static_cast<long>(raised.windowCount), raised.first, second, raised.fronted, onTop,
                raised.fitted);
}

void AXWindowRaiser::activate(std::int32_t pid, std::function<void()> then) {
    auto run = [weak = weak_from_this(), pid, then = std::move(then)] {
        const auto self = weak.lock();
        if (!self) return;
        const bool ok = self->system_->activate(pid);
        self->log_.notice("activate pid=%{public}d ok=%{bool,public}d", pid, ok);
        if (then) then();
    };
    if (main_.isCurrent())
        run();
    else
        main_.async(std::move(run));
}

void AXWindowRaiser::restoreFrontmost(std::int32_t pid) {
    activate(pid, nullptr);
    if (const auto window = system_->focusedWindow(pid)) system_->raise(*window);
}

} // namespace quillmere

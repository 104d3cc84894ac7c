// MediaPipeline's hold on the controlled window: what a surface's control
// acts on (its frame, label and window, from a fresh window listing when
// one comes in time), raising that window and keeping it in front.

#include "QuillmereMac/Media/MediaPipeline.h"

#include <algorithm>

namespace quillmere {

// Main actor. The listing runs on a queue of its own, so that one that never
// ends costs a second here and no more; one under way is joined, not
// repeated. Whatever wins, the listing still lands in the catalog when it
// comes.
void MediaPipeline::controlFrame(CaptureChoice choice, std::function<void(std::optional<ControlFrame>)> done) {
    auto once = std::make_shared<LockedBox<bool>>(false);
    auto finish = [weak = weak_from_this(), choice, once, done = std::move(done)](bool refreshed) {
        if (once->exchange(true)) return;
        const auto self = weak.lock();
        if (!self) {
            done(std::nullopt);
            return;
        }
        if (!refreshed) self->controlLog_.notice("window listing slow or failed: using the last one");
        done(self->lookUpControlFrame(choice));
    };
    refreshCatalog(finish);
    mainActor_.asyncAfter(listingTimeoutNs, [finish] { finish(false); });
}

void MediaPipeline::refreshCatalog(std::function<void(bool)> done) {
    const bool first = listingWaiters_.withLock([&](auto& waiters) {
        waiters.push_back(std::move(done));
        return waiters.size() == 1;
    });
    if (!first) return;
    catalogRefresh_->async([weak = weak_from_this(), catalog = catalog_] {
        auto content = catalog->fetch(true);
        const auto self = weak.lock();
        if (!self) return;
        self->mainActor_.async([weak, content = std::move(content)]() mutable {
            const auto self = weak.lock();
            if (!self) return;
            const bool refreshed = self->catalog_->refresh(std::move(content)).has_value();
            const auto waiters = self->listingWaiters_.exchange({});
            for (const auto& waiter : waiters) waiter(refreshed);
        });
    });
}

std::optional<MediaPipeline::ControlFrame> MediaPipeline::lookUpControlFrame(const CaptureChoice& choice) const {
    switch (choice.kind) {
    case CaptureChoice::Kind::window: {
        const auto frame = catalog_->windowFrame(choice.value);
        if (!frame) {
            controlLog_.notice("control frame missing window=%{public}u", choice.value);
            return std::nullopt;
        }
        // A window without application or title still gets a name to ask about.
        std::string label = catalog_->windowDescription(choice.value).value_or("");
        if (label.empty()) label = "window " + std::to_string(choice.value);
        return ControlFrame{*frame, std::move(label), catalog_->controlTarget(choice.value)};
    }
    case CaptureChoice::Kind::display: {
        const auto bounds = catalog_->displayBounds(static_cast<int>(choice.value));
        if (!bounds) return std::nullopt;
        return ControlFrame{*bounds, "your entire screen", std::nullopt};
    }
    case CaptureChoice::Kind::testPattern: return std::nullopt;
    }
    return std::nullopt;
}

void MediaPipeline::refreshControl(const SurfaceKey& surface) {
    if (controlledSurface_.get() != surface) return;
    const auto found = lock_.withLock([&](Table& table) -> std::shared_ptr<SurfacePipeline> {
        const auto entry = table.find(surface);
        return entry == table.end() ? nullptr : entry->second;
    });
    if (!found) return;
    mainActor_.async([weak = weak_from_this(), choice = found->choice()] {
        const auto self = weak.lock();
        if (!self) return;
        self->controlFrame(choice, [weak](std::optional<ControlFrame> frame) {
            const auto self = weak.lock();
            if (!self || !frame) return;
            self->injector_.withLock([&](std::shared_ptr<InputInjector>& injector) {
                if (injector) injector->windowFrame = frame->frame;
            });
            self->recordRaise(frame->target, self->clock_());
            self->raiseWindow(frame->target);
        });
    });
}

void MediaPipeline::raiseWindow(const std::optional<ControlTarget>& target) {
    if (target && raiser_ && raiser_->raise(*target)) postRaise();
}

// A window that keeps needing a fit is read and raised again every 0.25 s
// until it fits.
void MediaPipeline::postRaise() {
    const auto controlled = controlledSurface_.get();
    if (!controlled) return;
    mainActor_.asyncAfter(postRaiseDelayNs, [weak = weak_from_this(), surface = *controlled] {
        if (const auto self = weak.lock()) self->refreshControl(surface);
    });
}

void MediaPipeline::clickRaise(const std::vector<InjectAction>& actions, std::uint64_t nowNs) {
    const bool pressed = std::any_of(actions.begin(), actions.end(), [](const InjectAction& action) {
        return std::holds_alternative<inject::ButtonDown>(action);
    });
    if (!pressed) return;
    const auto target = raise_.withLock([&](RaiseState& state) -> std::optional<ControlTarget> {
        const std::uint64_t since = nowNs > state.lastNs ? nowNs - state.lastNs : 0;
        if (!state.target || since < clickRaiseIntervalNs) return std::nullopt;
        state.lastNs = nowNs;
        return state.target;
    });
    raiseWindow(target);
}

void MediaPipeline::recordRaise(std::optional<ControlTarget> target, std::uint64_t nowNs) {
    const std::uint64_t at = target ? nowNs : 0;
    raise_.set(RaiseState{std::move(target), at});
}

bool MediaPipeline::controlledIsDisplay() {
    const auto controlled = controlledSurface_.get();
    if (!controlled) return false;
    const auto owner = controlled->connection.lock();
    if (!owner) return false;
    const auto found = pipeline(controlled->surfaceID, owner);
    return found && found->choice().kind == CaptureChoice::Kind::display;
}

} // namespace quillmere

// The frame, label and window a surface's control acts on, from a fresh
// window listing when one comes in time.

#include "QuillmereMac/Control/ControlFrames.h"

namespace quillmere {

ControlFrames::ControlFrames(std::shared_ptr<WindowCatalog> catalog, Executor& mainActor,
                             std::shared_ptr<Executor> refresh)
    : catalog_(std::move(catalog)), mainActor_(mainActor), refresh_(std::move(refresh)) {}

// The listing runs on a queue of its own, so that one that never ends costs
// a second here and no more; one under way is joined, not repeated. Whatever
// wins, the listing still lands in the catalog when it comes.
void ControlFrames::lookUp(CaptureChoice choice, std::function<void(std::optional<ControlFrame>)> done) {
    auto once = std::make_shared<LockedBox<bool>>(false);
    auto finish = [weak = weak_from_this(), choice, once, done = std::move(done)](bool refreshed) {
        if (once->exchange(true)) return;
        const auto self = weak.lock();
        if (!self) {
            done(std::nullopt);
            return;
        }
        if (!refreshed) self->controlLog_.notice("window listing slow or failed: using the last one");
        done(self->frameOf(choice));
    };
    refreshCatalog(finish);
    mainActor_.asyncAfter(listingTimeoutNs, [finish] { finish(false); });
}

void ControlFrames::refreshCatalog(std::function<void(bool)> done) {
    const bool first = listingWaiters_.withLock([&](auto& waiters) {
        waiters.push_back(std::move(done));
        return waiters.size() == 1;
    });
    if (!first) return;
    refresh_->async([weak = weak_from_this(), catalog = catalog_] {
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

std::optional<ControlFrame> ControlFrames::frameOf(const CaptureChoice& choice) const {
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

} // namespace quillmere

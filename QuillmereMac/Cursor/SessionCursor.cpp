#include "QuillmereMac/Cursor/SessionCursor.h"

#include <algorithm>

namespace quillmere {

SessionCursor::SessionCursor(Executor& mainActor, CursorShapeWatcher::Sample sample,
                             std::function<std::uint64_t()> clock)
    : mainActor_(mainActor), sample_(std::move(sample)), clock_(std::move(clock)) {}

void SessionCursor::start(const std::shared_ptr<MediaConnection>& connection) {
    const bool added = targets_.withLock([&](std::vector<std::weak_ptr<MediaConnection>>& targets) {
        std::erase_if(targets, [](const auto& target) { return target.expired(); });
        const bool known = std::any_of(targets.begin(), targets.end(), [&](const auto& target) {
            return !target.owner_before(connection) && !connection.owner_before(target);
        });
        if (!known) targets.emplace_back(connection);
        return !known;
    });
    if (watcher_) {
        // A client joining a running watcher still needs the shape it
        // missed: the next sample goes out to everyone again.
        if (added) watcher_->forget();
        return;
    }
    watcher_ = CursorShapeWatcher::make(
        mainActor_, sample_,
        [weak = weak_from_this()](const ControlMessage& message) {
            const auto self = weak.lock();
            return self && self->send(message);
        },
        clock_);
    input_.set(watcher_);
    if (!watcher_->isRunning()) {
        watcher_->tick();
        watcher_->setLastInput(clock_());
        watcher_->schedule(CursorShapeWatcher::fastSeconds);
    }
}

void SessionCursor::stop() {
    if (watcher_) watcher_->stop();
    watcher_.reset();
    input_.set(nullptr);
    targets_.set({});
}

bool SessionCursor::send(const ControlMessage& message) {
    std::vector<std::shared_ptr<MediaConnection>> live;
    targets_.withLock([&](std::vector<std::weak_ptr<MediaConnection>>& targets) {
        for (const auto& target : targets)
            if (auto connection = target.lock()) live.push_back(std::move(connection));
    });
    bool sent = false;
    for (const auto& connection : live) sent = connection->sendControl(message) || sent;
    return sent;
}

void SessionCursor::noteInput() {
    if (const auto watcher = input_.get()) watcher->noteInput();
}

} // namespace quillmere

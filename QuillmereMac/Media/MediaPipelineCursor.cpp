// MediaPipeline's cursor path: one cursor-shape watcher while any session
// that wants shapes shares a surface.

#include "QuillmereMac/Media/MediaPipeline.h"

#include <algorithm>

namespace quillmere {

void MediaPipeline::startCursor(const std::shared_ptr<MediaConnection>& connection) {
    const bool added = cursorTargets_.withLock([&](std::vector<std::weak_ptr<MediaConnection>>& targets) {
        std::erase_if(targets, [](const auto& target) { return target.expired(); });
        const bool known = std::any_of(targets.begin(), targets.end(), [&](const auto& target) {
            return !target.owner_before(connection) && !connection.owner_before(target);
        });
        if (!known) targets.emplace_back(connection);
        return !known;
    });
    if (cursorWatcher_) {
        // A client joining a running watcher still needs the shape it
        // missed: the next sample goes out to everyone again.
        if (added) cursorWatcher_->forget();
        return;
    }
    cursorWatcher_ = CursorShapeWatcher::make(
        mainActor_, sampleCursor_,
        [weak = weak_from_this()](const ControlMessage& message) {
            const auto self = weak.lock();
            return self && self->sendCursorShape(message);
        },
        clock_);
    cursorInput_.set(cursorWatcher_);
    if (!cursorWatcher_->isRunning()) {
        cursorWatcher_->tick();
        cursorWatcher_->setLastInput(clock_());
        cursorWatcher_->schedule(CursorShapeWatcher::fastSeconds);
    }
}

void MediaPipeline::stopCursor() {
    if (cursorWatcher_) cursorWatcher_->stop();
    cursorWatcher_.reset();
    cursorInput_.set(nullptr);
    cursorTargets_.set({});
}

// True when at least one client took it.
bool MediaPipeline::sendCursorShape(const ControlMessage& message) {
    std::vector<std::shared_ptr<MediaConnection>> live;
    cursorTargets_.withLock([&](std::vector<std::weak_ptr<MediaConnection>>& targets) {
        for (const auto& target : targets)
            if (auto connection = target.lock()) live.push_back(std::move(connection));
    });
    bool sent = false;
    for (const auto& connection : live) sent = connection->sendControl(message) || sent;
    return sent;
}

void MediaPipeline::noteCursorInput() {
    if (const auto watcher = cursorInput_.get()) watcher->noteInput();
}

} // namespace quillmere

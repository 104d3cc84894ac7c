#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereMac/Cursor/CursorShapeWatcher.h"
#include "QuillmereMac/Surface/MediaConnection.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere {

// Cursor shapes for the session: one watcher while any client that wants
// shapes shares a surface, sending each new shape to every such client.
class SessionCursor final : public std::enable_shared_from_this<SessionCursor> {
public:
    SessionCursor(Executor& mainActor, CursorShapeWatcher::Sample sample, std::function<std::uint64_t()> clock);

    // Main actor.
    void start(const std::shared_ptr<MediaConnection>& connection);
    void stop();
    // Null while no client wants cursor shapes.
    std::shared_ptr<CursorShapeWatcher> watcher() const { return watcher_; }
    // Any thread: input happened, the cursor is sampled faster for a while.
    void noteInput();

private:
    // True when at least one client took it.
    bool send(const ControlMessage& message);

    Executor& mainActor_;
    const CursorShapeWatcher::Sample sample_;
    const std::function<std::uint64_t()> clock_;
    // Main actor only.
    std::shared_ptr<CursorShapeWatcher> watcher_;
    // The same watcher, for the input path on other threads.
    LockedBox<std::shared_ptr<CursorShapeWatcher>> input_;
    // Every client that asked for cursor shapes while the watcher runs.
    LockedBox<std::vector<std::weak_ptr<MediaConnection>>> targets_;
};

} // namespace quillmere

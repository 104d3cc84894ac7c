#include "QuillmereMac/Capture/FrameHandoff.h"

#include <utility>
#include <vector>

namespace quillmere {
namespace {

using DirtyRects = std::optional<std::vector<Rect>>;

// An unknown area on either side stays unknown; otherwise the older frame's
// rectangles come first.
DirtyRects folded(DirtyRects older, DirtyRects newer) {
    if (!older || !newer) return std::nullopt;
    older->insert(older->end(), newer->begin(), newer->end());
    return older;
}

} // namespace

FrameHandoff::Offer FrameHandoff::offer(CapturedFrame frame) {
    // Frames pushed out are released after the lock: releasing a pixel buffer
    // may hand it back to its pool.
    std::vector<CapturedFrame> released;
    Offer result;
    {
        std::lock_guard guard(lock_);
        if (closed_) return result;
        ++counters_.offered;

        for (auto it = frames_.begin(); it != frames_.end();) {
            if (it->captureEpoch != frame.captureEpoch) {
                released.push_back(std::move(*it));
                it = frames_.erase(it);
                ++counters_.dropped;
            } else {
                ++it;
            }
        }
        if (!frames_.empty()) {
            CapturedFrame older = std::move(frames_.front());
            frames_.pop_front();
            ++counters_.dropped;
            frame.dirtyRects = folded(std::move(older.dirtyRects), std::move(frame.dirtyRects));
            released.push_back(std::move(older));
        }
        frames_.push_back(std::move(frame));
        result.accepted = true;
        result.waiter = std::exchange(waiter_, nullptr);
    }
    return result;
}

std::optional<CapturedFrame> FrameHandoff::take() {
    std::lock_guard guard(lock_);
    if (frames_.empty()) return std::nullopt;
    std::optional<CapturedFrame> frame(std::in_place);
    std::swap(*frame, frames_.front());
    frames_.pop_front();
    ++counters_.taken;
    return frame;
}

void FrameHandoff::close() {
    std::deque<CapturedFrame> released;
    std::function<void()> waiter;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        released.swap(frames_);
        waiter.swap(waiter_);
    }
}

void FrameHandoff::setWaiter(std::function<void()> waiter) {
    std::function<void()> previous;
    std::lock_guard guard(lock_);
    if (closed_) return;
    previous = std::exchange(waiter_, std::move(waiter));
}

FrameHandoff::Counters FrameHandoff::counters() const {
    std::lock_guard guard(lock_);
    return counters_;
}

bool FrameHandoff::isClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

std::size_t FrameHandoff::queuedCount() const {
    std::lock_guard guard(lock_);
    return frames_.size();
}

} // namespace quillmere

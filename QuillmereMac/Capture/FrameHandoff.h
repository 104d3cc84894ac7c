#pragma once

#include "QuillmereMac/Capture/CapturedFrame.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace quillmere {

// The one-frame mailbox between a capture queue (offer) and a surface
// pipeline's queue (take, close). Offers never wait and never fail for lack of
// room: a newer frame replaces the queued one and inherits its dirty
// rectangles. Each operation runs under the mailbox's own lock and calls
// nothing while holding it.
class FrameHandoff {
public:
    struct Counters {
        std::int64_t offered = 0;
        std::int64_t taken = 0;
        std::int64_t dropped = 0;
        bool operator==(const Counters&) const = default;
    };

    struct Offer {
        bool accepted = false;
        // The parked waiter, taken out of the mailbox; the caller runs it.
        std::function<void()> waiter;
    };

    // Kept for readers of the counters; at most one frame is ever queued.
    const std::int64_t capacity = 1;

    Offer offer(CapturedFrame frame);
    // The oldest queued frame.
    std::optional<CapturedFrame> take();
    // For good: queued frames are discarded without being counted as dropped
    // and the waiter is dropped without being run. Later offers are refused.
    void close();
    // Parks a closure that the next accepted offer hands back.
    void setWaiter(std::function<void()> waiter);

    Counters counters() const;
    bool isClosed() const;
    std::size_t queuedCount() const;

private:
    mutable std::mutex lock_;
    std::deque<CapturedFrame> frames_;
    Counters counters_;
    bool closed_ = false;
    std::function<void()> waiter_;
};

} // namespace quillmere

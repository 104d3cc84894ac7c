#include "QuillmereMac/HostConnection/HandshakeRefusals.h"

namespace quillmere {

void HandshakeRefusals::refused(const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        if (windowOpen_) {
            ++counted_;
            lastReason_ = reason;
            return;
        }
        windowOpen_ = true;
    }
    log_.info("connection closed: %{public}s", reason);
    executor_.asyncAfter(windowNs, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->windowEnded();
    });
}

void HandshakeRefusals::windowEnded() {
    std::int64_t counted;
    std::string last;
    {
        std::lock_guard lock(mutex_);
        counted = counted_;
        last = std::move(lastReason_);
        counted_ = 0;
        // A burst still going on keeps the window open for one more round.
        windowOpen_ = counted > 0;
    }
    if (counted == 0) return;
    log_.info("%{public}ld more connections closed before their handshake ended in 10 s, the last: %{public}s",
              counted, last);
    executor_.asyncAfter(windowNs, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->windowEnded();
    });
}

} // namespace quillmere

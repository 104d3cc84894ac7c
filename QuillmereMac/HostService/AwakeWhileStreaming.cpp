#include "QuillmereMac/HostService/AwakeWhileStreaming.h"

namespace quillmere {

AwakeWhileStreaming::AwakeWhileStreaming(Begin begin) : begin_(std::move(begin)) {}

void AwakeWhileStreaming::set(bool active) {
    if (active) {
        if (activity_) return;
        auto activity = begin_ ? begin_(reason) : std::unexpected(std::string("no display-awake activity"));
        if (!activity || !*activity) {
            // Nothing is held, so the next set(true) tries again; claiming the
            // display stays awake would be false. A machine without the
            // service fails every session alike: once is news enough.
            if (!warned_)
                log_.warning("display could not be kept awake: %{public}s",
                             activity ? std::string("no activity") : activity.error());
            warned_ = true;
            return;
        }
        activity_ = std::move(*activity);
        log_.notice("display kept awake while streaming");
        return;
    }
    if (!activity_) return;
    activity_.reset();
    log_.notice("display sleep allowed again");
}

} // namespace quillmere

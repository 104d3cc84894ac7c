#include "QuillmereMac/Capture/CaptureEpochTracker.h"

namespace quillmere {

std::vector<CaptureEpochTracker::CaptureEventKind> CaptureEpochTracker::observe(std::int64_t status, int newWidth,
                                                                               int newHeight) {
    std::vector<CaptureEventKind> kinds;
    switch (status) {
    case statusComplete:
        if (!hasFrame || newWidth != width || newHeight != height) {
            ++epoch; // unsigned: wraps
            width = newWidth;
            height = newHeight;
            kinds.push_back(CaptureEventKind::epochChanged(epoch));
        }
        hasFrame = true;
        ++sequence;
        kinds.push_back(CaptureEventKind::frame(epoch, sequence));
        break;
    case statusIdle:
    case statusBlank:
    case statusSuspended:
        ++idleCount;
        kinds.push_back(CaptureEventKind::idle());
        break;
    case statusStarted:
        break;
    default:
        // Stopped, and anything this system does not know, including negatives.
        kinds.push_back(CaptureEventKind::stopped());
        break;
    }
    return kinds;
}

} // namespace quillmere

#include "QuillmereMac/Capture/CaptureStopReason.h"

namespace quillmere {

std::string CaptureStopReason::description() const {
    switch (kind_) {
    case Kind::failed:
        return text_;
    case Kind::interrupted:
        return "interrupted (" + text_ + ")";
    case Kind::userStopped:
        return "stopped";
    case Kind::windowClosed:
        return "window closed";
    case Kind::permissionDenied:
        return "Screen Recording permission is not granted";
    }
    return text_;
}

} // namespace quillmere

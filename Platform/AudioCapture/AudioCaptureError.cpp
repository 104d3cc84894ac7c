#include "Platform/AudioCapture/AudioCaptureError.h"

namespace quillmere {

std::string AudioCaptureError::description() const { return "audio capture: " + reason(); }

std::string AudioCaptureError::reason() const {
    const char* what = "connection failed";
    switch (kind) {
    case Kind::connectionFailed: what = "connection failed"; break;
    case Kind::streamFailed: what = "stream failed"; break;
    case Kind::disconnected: what = "server disconnected"; break;
    }
    return what + (detail.empty() ? "" : ": " + detail);
}

} // namespace quillmere

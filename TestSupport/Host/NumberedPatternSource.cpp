#include "TestSupport/Host/NumberedPatternSource.h"

namespace quillmere::testing {

std::expected<void, CaptureStartError> NumberedPatternSource::start(CaptureEventHandler handler) {
    return inner_->start([numbers = numbers_, handler = std::move(handler)](CaptureEvent event) {
        if (const CapturedFrame* frame = event.capturedFrame())
            numbers->withLock([&](auto& map) { map[frame->captureTimeNs] = frame->sequence; });
        handler(std::move(event));
    });
}

} // namespace quillmere::testing

#pragma once

#include "QuillmereMac/Capture/CaptureEvent.h"
#include "QuillmereMac/Capture/CaptureStartError.h"

#include <expected>
#include <functional>
#include <string>

namespace quillmere {

// Called on the source's own serial queue, one event at a time, until (and
// including) the stopped event.
using CaptureEventHandler = std::function<void(CaptureEvent)>;

// Something that delivers captured frames: a screen or window, or the test
// pattern. Held by shared pointer; its queue holds it only weakly.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;

    virtual const std::string& label() const = 0;

    // Returns once the source runs, or with why it cannot; a failed start
    // delivers no event. It waits on the source's queue, so a caller runs it
    // from a task of its own, never from a handler.
    virtual std::expected<void, CaptureStartError> start(CaptureEventHandler handler) = 0;

    // Returns once stopped. The handler gets stopped(userStopped) unless it
    // already had a stopped event; a second stop delivers nothing.
    virtual void stop() = 0;
};

} // namespace quillmere

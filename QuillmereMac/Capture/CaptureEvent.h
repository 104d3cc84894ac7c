#pragma once

#include "QuillmereMac/Capture/CaptureStopReason.h"
#include "QuillmereMac/Capture/CapturedFrame.h"

#include <cstdint>
#include <variant>

namespace quillmere {

// What a capture source reports to its consumer, on the source's queue.
class CaptureEvent {
public:
    // The raster changed; frames that follow carry this epoch.
    struct EpochChanged {
        std::uint32_t epoch = 0;
        int width = 0;
        int height = 0;
        bool operator==(const EpochChanged&) const = default;
    };
    // The platform had no new content (idle, blank or suspended).
    struct Idle {
        bool operator==(const Idle&) const = default;
    };

    // The source stopped: no event follows a stopped one.
    using Value = std::variant<CapturedFrame, EpochChanged, CaptureStopReason, Idle>;

    static CaptureEvent frame(CapturedFrame frame) { return CaptureEvent(Value(std::move(frame))); }
    static CaptureEvent epochChanged(std::uint32_t epoch, int width, int height) {
        return CaptureEvent(Value(EpochChanged{epoch, width, height}));
    }
    static CaptureEvent stopped(CaptureStopReason reason) { return CaptureEvent(Value(std::move(reason))); }
    static CaptureEvent idle() { return CaptureEvent(Value(Idle{})); }

    const Value& value() const { return value_; }
    // Each gives the case's payload, or nothing for another case.
    const CapturedFrame* capturedFrame() const { return std::get_if<CapturedFrame>(&value_); }
    const EpochChanged* epochChange() const { return std::get_if<EpochChanged>(&value_); }
    const CaptureStopReason* stopReason() const { return std::get_if<CaptureStopReason>(&value_); }
    bool isIdle() const { return std::holds_alternative<Idle>(value_); }

private:
    explicit CaptureEvent(Value value) : value_(std::move(value)) {}

    Value value_;
};

} // namespace quillmere

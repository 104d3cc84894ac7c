#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// Why a capture source stopped (delivered in its last event) or could not
// start.
class CaptureStopReason {
public:
    enum class Kind : std::uint8_t { failed, interrupted, userStopped, windowClosed, permissionDenied };

    static CaptureStopReason failed(std::string text) { return {Kind::failed, std::move(text)}; }
    static CaptureStopReason interrupted(std::string text) { return {Kind::interrupted, std::move(text)}; }
    static CaptureStopReason userStopped() { return {Kind::userStopped, {}}; }
    static CaptureStopReason windowClosed() { return {Kind::windowClosed, {}}; }
    static CaptureStopReason permissionDenied() { return {Kind::permissionDenied, {}}; }

    Kind kind() const { return kind_; }
    // The text that failed and interrupted carry; empty for the others.
    const std::string& text() const { return text_; }

    std::string description() const;

    bool operator==(const CaptureStopReason&) const = default;

private:
    CaptureStopReason(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

} // namespace quillmere

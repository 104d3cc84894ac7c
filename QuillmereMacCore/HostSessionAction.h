#pragma once

#include "QuillmereMacCore/InjectAction.h"
#include "QuillmereMacCore/SurfaceAllocation.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere {

// What a host session asks its connection to do. The connection runs a list
// strictly in order; the order is part of the session's behaviour.
namespace action {
struct Send { ControlMessage message; bool operator==(const Send&) const = default; };
// The answer comes back through HostSession::resolveConsent with the same
// surface and generation.
struct RequestConsent {
    std::uint32_t surfaceID = 0;
    std::uint32_t windowID = 0;
    std::uint32_t captureGeneration = 0;
    bool operator==(const RequestConsent&) const = default;
};
struct StartMedia { std::uint32_t surfaceID = 0; bool operator==(const StartMedia&) const = default; };
struct StopMedia { std::uint32_t surfaceID = 0; bool operator==(const StopMedia&) const = default; };
struct PauseMedia {
    std::uint32_t surfaceID = 0;
    bool paused = false;
    bool operator==(const PauseMedia&) const = default;
};
struct ForceKeyframe { std::uint32_t surfaceID = 0; bool operator==(const ForceKeyframe&) const = default; };
struct SetBitrate {
    std::uint32_t surfaceID = 0;
    std::uint32_t kbps = 0;
    bool operator==(const SetBitrate&) const = default;
};
struct Inject { std::vector<InjectAction> actions; bool operator==(const Inject&) const = default; };
// Outcome comes back through HostSession::clipboardWriteCompleted.
struct ClipboardWriteRequested {
    std::uint32_t requestID = 0;
    std::string text;
    bool operator==(const ClipboardWriteRequested&) const = default;
};
// Result comes back through HostSession::clipboardReadCompleted.
struct ClipboardReadRequested {
    std::uint32_t requestID = 0;
    bool operator==(const ClipboardReadRequested&) const = default;
};
struct SetTier {
    std::uint32_t surfaceID = 0;
    SurfaceAllocation allocation;
    bool operator==(const SetTier&) const = default;
};
struct SetTextSize { std::uint8_t level = 0; bool operator==(const SetTextSize&) const = default; };
struct SetScreenShape { std::uint8_t shape = 0; bool operator==(const SetScreenShape&) const = default; };
struct SetSurfaceBudget {
    std::uint32_t surfaceID = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const SetSurfaceBudget&) const = default;
};
struct ClearSurfaceBudget { std::uint32_t surfaceID = 0; bool operator==(const ClearSurfaceBudget&) const = default; };
struct Close { bool operator==(const Close&) const = default; };
// Gather the capturable windows and displays and send them as captureList.
struct ListWindows { bool operator==(const ListWindows&) const = default; };
// The answer comes back through HostSession::resolveControlRequest.
struct RequestControl { bool operator==(const RequestControl&) const = default; };
} // namespace action

struct HostSessionAction
    : std::variant<action::Send, action::RequestConsent, action::StartMedia, action::StopMedia, action::PauseMedia,
                   action::ForceKeyframe, action::SetBitrate, action::Inject, action::ClipboardWriteRequested,
                   action::ClipboardReadRequested, action::SetTier, action::SetTextSize, action::SetScreenShape,
                   action::SetSurfaceBudget, action::ClearSurfaceBudget, action::Close, action::ListWindows,
                   action::RequestControl> {
    using variant::variant;

    template <class T>
    bool is() const { return std::holds_alternative<T>(*this); }
    template <class T>
    const T* as() const { return std::get_if<T>(this); }

    // The case name ("send", "stopMedia"), for logs.
    std::string_view caseName() const;
};

using HostSessionActions = std::vector<HostSessionAction>;

} // namespace quillmere

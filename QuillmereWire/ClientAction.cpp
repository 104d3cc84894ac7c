#include "QuillmereWire/ClientAction.h"

#include <array>
#include <fmt/format.h>

namespace quillmere {

std::string_view ClientAction::caseName() const {
    static constexpr std::array<std::string_view, std::variant_size_v<ClientAction::variant>> names{
        "send",        "windows",        "captureState",   "configure",   "deliver",     "inputControl",
        "clipboardReceived", "clipboardOutcome", "audioConfigured", "cursorShape", "hostPower", "audioPacket",
        "configureSurface", "deliverSurface", "surfaceState", "closed"};
    return names[index()];
}

std::string ClientAction::description() const {
    if (const auto* send = as<client::Send>()) return fmt::format("send({})", send->message.caseName());
    if (const auto* deliver = as<client::Deliver>()) return fmt::format("deliver(frame {})", deliver->frame.frameID);
    if (const auto* deliver = as<client::DeliverSurface>())
        return fmt::format("deliverSurface({}, frame {})", deliver->surfaceID, deliver->frame.frameID);
    if (const auto* state = as<client::CaptureState>()) return fmt::format("captureState({})", enumName(state->state));
    if (const auto* state = as<client::SurfaceState>())
        return fmt::format("surfaceState({}, {})", state->surfaceID, enumName(state->state));
    if (const auto* closed = as<client::Closed>()) return fmt::format("closed({})", closed->reason.description());
    return std::string(caseName());
}

} // namespace quillmere

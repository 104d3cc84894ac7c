#include "QuillmereWire/ControlMessage.h"

#include <array>

namespace quillmere {

std::string_view ControlMessage::caseName() const {
    static constexpr std::array<std::string_view, std::variant_size_v<ControlMessage::variant>> names{
        "hello",         "capabilities",       "error",           "streamConfig",    "configAck",
        "startStream",   "stopStream",         "recoveryRequest", "receiverReport",  "captureList",
        "captureSelect", "captureState",       "pause",           "ping",            "pong",
        "bye",           "enrollRequest",      "enrollPending",   "enrollResult",    "inputControlState",
        "input",         "clipboardPush",      "clipboardPull",   "clipboardResult", "audioConfig",
        "focusHint",     "surfaceBudget",      "textSize",        "screenShape",     "cursorShape",
        "hostPower",     "ignored",            "captureListRequest", "inputControlRequest"};
    return names[index()];
}

} // namespace quillmere

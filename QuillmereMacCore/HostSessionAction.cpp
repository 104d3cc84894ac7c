#include "QuillmereMacCore/HostSessionAction.h"

#include <array>

namespace quillmere {

std::string_view HostSessionAction::caseName() const {
    static constexpr std::array<std::string_view, std::variant_size_v<variant>> names{
        "send",
        "requestConsent",
        "startMedia",
        "stopMedia",
        "pauseMedia",
        "forceKeyframe",
        "setBitrate",
        "inject",
        "clipboardWriteRequested",
        "clipboardReadRequested",
        "setTier",
        "setTextSize",
        "setScreenShape",
        "setSurfaceBudget",
        "clearSurfaceBudget",
        "close",
        "listWindows",
        "requestControl",
    };
    return names[index()];
}

} // namespace quillmere

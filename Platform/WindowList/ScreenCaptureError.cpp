#include "Platform/WindowList/ScreenCaptureError.h"

#include <fmt/format.h>

namespace quillmere {

std::string ScreenCaptureError::description() const {
    if (detail.empty()) return fmt::format("{} {}", domain, code);
    return fmt::format("{} {}: {}", domain, code, detail);
}

} // namespace quillmere

#pragma once

#include "QuillmereMac/Catalog/ControlTarget.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// Brings a window under control forward, and the application that was in
// front before back again.
class WindowRaising {
public:
    virtual ~WindowRaising() = default;

    // Raises and focuses the target's window; true when it had to be moved
    // or resized to fit a display.
    virtual bool raise(const ControlTarget& target) = 0;
    // Main actor: activates the process and raises its focused window.
    virtual void restoreFrontmost(std::int32_t pid) = 0;
    // The last application activated that is not this process.
    virtual std::optional<std::int32_t> lastOther() const = 0;
};

} // namespace quillmere

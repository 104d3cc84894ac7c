#pragma once

#include "Platform/Log/Logger.h"
#include "QuillmereMac/Display/ScreenShape.h"
#include "QuillmereMac/Display/VirtualDisplayMaking.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace quillmere {

// The one virtual display of the process, and the screen shape it gives the
// main display: none under the standard shape, one of the shape's size,
// mirrored by the main display, under a wide one.
class VirtualDisplayController {
public:
    explicit VirtualDisplayController(std::shared_ptr<VirtualDisplayMaking> maker);
    VirtualDisplayController(const VirtualDisplayController&) = delete;
    VirtualDisplayController& operator=(const VirtualDisplayController&) = delete;

    // True when the display configuration changed. A wide shape that cannot
    // be made falls back to the standard shape.
    bool apply(ScreenShape shape);

    ScreenShape shape() const;
    // The live virtual display's identifier; nothing under the standard shape.
    std::optional<std::uint32_t> liveDisplayID() const;

private:
    const std::shared_ptr<VirtualDisplayMaking> maker_;
    mutable std::mutex lock_;
    std::unique_ptr<VirtualDisplayHandle> handle_;
    ScreenShape shape_ = ScreenShape::standard;
    Logger log_{"com.ornbeck.quillmere.mac", "display"};
};

} // namespace quillmere

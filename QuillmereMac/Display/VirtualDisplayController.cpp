#include "QuillmereMac/Display/VirtualDisplayController.h"

#include <string>

namespace quillmere {

VirtualDisplayController::VirtualDisplayController(std::shared_ptr<VirtualDisplayMaking> maker)
    : maker_(std::move(maker)) {}

bool VirtualDisplayController::apply(ScreenShape shape) {
    std::lock_guard lock(lock_);
    if (shape == shape_) return false;
    const ScreenShape previous = shape_;
    // The previous display goes before the next is made: one at a time.
    handle_.reset();
    const std::string label(screenShapeLabel(shape));
    const auto pixels = screenShapePixels(shape);
    if (!pixels) {
        shape_ = ScreenShape::standard;
        log_.notice("screen shape standard: virtual display removed");
        return true;
    }
    auto made = maker_ ? maker_->make("Quillmere " + label, pixels->width, pixels->height) : nullptr;
    if (!made) {
        log_.error("screen shape %{public}s: virtual display unavailable", label);
        shape_ = ScreenShape::standard;
        return previous != ScreenShape::standard;
    }
    const std::uint32_t displayID = made->displayID();
    const bool mirrored = maker_->mirror(displayID);
    handle_ = std::move(made);
    shape_ = shape;
    log_.notice("screen shape %{public}s: display %{public}u %{public}ldx%{public}ld mirrored=%{bool,public}d", label,
                displayID, pixels->width, pixels->height, mirrored);
    return true;
}

ScreenShape VirtualDisplayController::shape() const {
    std::lock_guard lock(lock_);
    return shape_;
}

std::optional<std::uint32_t> VirtualDisplayController::liveDisplayID() const {
    std::lock_guard lock(lock_);
    if (!handle_) return std::nullopt;
    return handle_->displayID();
}

} // namespace quillmere

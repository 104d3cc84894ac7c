#include "QuillmereMac/Display/DisplaySettling.h"

#include "QuillmereMac/Catalog/PreferredDisplay.h"

namespace quillmere {

DisplaySettling::DisplaySettling(Executor& mainActor, std::shared_ptr<DisplayTextSize> textSize,
                                 std::shared_ptr<VirtualDisplayController> virtualDisplay, Hooks hooks)
    : mainActor_(mainActor),
      textSize_(std::move(textSize)),
      virtualDisplay_(std::move(virtualDisplay)),
      hooks_(std::move(hooks)) {}

void DisplaySettling::setTextSize(std::uint8_t level) {
    if (!textSize_) return;
    textSize_->setLevel(level, [&main = mainActor_, weak = weak_from_this()](bool changed) {
        if (!changed) return;
        main.asyncAfter(textSizeSettleNs, [weak] {
            const auto self = weak.lock();
            if (!self) return;
            if (self->hooks_.refreshControl) self->hooks_.refreshControl();
            if (self->hooks_.refitDisplaySurfaces) self->hooks_.refitDisplaySurfaces();
        });
    });
}

void DisplaySettling::setScreenShape(ScreenShape shape) {
    if (shape != ScreenShape::standard) {
        controlLog_.notice("screen shape %{public}s ignored: Wide/Ultrawide is turned off", screenShapeLabel(shape));
        return;
    }
    mainActor_.async([weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->runVirtualDisplayTask(shape);
    });
}

void DisplaySettling::runVirtualDisplayTask(ScreenShape shape) {
    if (!virtualDisplay_) return;
    const ScreenShape before = virtualDisplay_->shape();
    if (shape == ScreenShape::standard || before == ScreenShape::standard || before == shape) {
        virtualDisplayApplied(shape);
        return;
    }
    // Between the two wide shapes by way of the standard one.
    virtualDisplay_->apply(ScreenShape::standard);
    setPreferredDisplayID(std::nullopt);
    mainActor_.asyncAfter(shapeDetourSettleNs, [weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->virtualDisplayApplied(shape);
    });
}

void DisplaySettling::virtualDisplayApplied(ScreenShape shape) {
    if (!virtualDisplay_->apply(shape)) return;
    setPreferredDisplayID(virtualDisplay_->liveDisplayID());
    const std::uint64_t settle = shape == ScreenShape::standard ? standardShapeSettleNs : virtualDisplaySettleNs;
    mainActor_.asyncAfter(settle, [weak = weak_from_this(), shape] {
        if (const auto self = weak.lock()) self->virtualDisplaySettled(shape);
    });
}

void DisplaySettling::virtualDisplaySettled(ScreenShape shape) {
    const auto live = virtualDisplay_->liveDisplayID();
    if (!live || (hooks_.isDisplayOnline && hooks_.isDisplayOnline(*live))) {
        if (hooks_.restartDisplaySurfaces) hooks_.restartDisplaySurfaces();
        return;
    }
    controlLog_.error("screen shape %{public}s: virtual display disappeared, back to standard", screenShapeLabel(shape));
    virtualDisplay_->apply(ScreenShape::standard);
    setPreferredDisplayID(std::nullopt);
    mainActor_.asyncAfter(standardShapeSettleNs, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (self && self->hooks_.restartDisplaySurfaces) self->hooks_.restartDisplaySurfaces();
    });
}

} // namespace quillmere

#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quillmere {

// The text-size and screen-shape requests: each change is applied on the
// main actor and the displays are left to settle before the display
// surfaces follow them, through the hooks given.
class DisplaySettling final : public std::enable_shared_from_this<DisplaySettling> {
public:
    struct Hooks {
        // Every display surface's budget applied anew to the displays.
        std::function<void()> refitDisplaySurfaces;
        // Every display surface captured anew.
        std::function<void()> restartDisplaySurfaces;
        // The controlled window read anew: it may have moved with the mode.
        std::function<void()> refreshControl;
        std::function<bool(std::uint32_t displayID)> isDisplayOnline;
    };

    // How long displays take to settle after a change, before surfaces follow.
    static constexpr std::uint64_t textSizeSettleNs = 400'000'000;
    static constexpr std::uint64_t shapeDetourSettleNs = 1'000'000'000;
    static constexpr std::uint64_t virtualDisplaySettleNs = 1'200'000'000;
    static constexpr std::uint64_t standardShapeSettleNs = 300'000'000;

    // Without a text size or a virtual display, those requests change nothing.
    DisplaySettling(Executor& mainActor, std::shared_ptr<DisplayTextSize> textSize,
                    std::shared_ptr<VirtualDisplayController> virtualDisplay, Hooks hooks);

    // Main actor; the text size changes off it, the surfaces follow on it.
    void setTextSize(std::uint8_t level);
    // Only the standard shape is applied.
    void setScreenShape(ScreenShape shape);
    // Main actor: the screen shape applied, the displays left to settle,
    // then the display surfaces restarted.
    void runVirtualDisplayTask(ScreenShape shape);

private:
    void virtualDisplayApplied(ScreenShape shape);
    void virtualDisplaySettled(ScreenShape shape);

    Executor& mainActor_;
    const std::shared_ptr<DisplayTextSize> textSize_;
    const std::shared_ptr<VirtualDisplayController> virtualDisplay_;
    const Hooks hooks_;
    Logger controlLog_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere

#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Catalog/ControlTarget.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/Geometry/Rect.h"
#include "QuillmereMac/Surface/CaptureChoice.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// What control of a surface acts on: its frame now, the label the user is
// asked about, and for a window, the window itself.
struct ControlFrame {
    Rect frame;
    std::string label;
    std::optional<ControlTarget> target;
};

// Finds what a capture choice's control acts on, after a window listing that
// gets a second at most (else the last one is used).
class ControlFrames final : public std::enable_shared_from_this<ControlFrames> {
public:
    static constexpr std::uint64_t listingTimeoutNs = 1'000'000'000;

    // The listing runs on the refresh executor, the catalog is read and the
    // answers given on the main actor.
    ControlFrames(std::shared_ptr<WindowCatalog> catalog, Executor& mainActor, std::shared_ptr<Executor> refresh);

    // Main actor; done runs once, on the main actor.
    void lookUp(CaptureChoice choice, std::function<void(std::optional<ControlFrame>)> done);

private:
    void refreshCatalog(std::function<void(bool refreshed)> done);
    std::optional<ControlFrame> frameOf(const CaptureChoice& choice) const;

    const std::shared_ptr<WindowCatalog> catalog_;
    Executor& mainActor_;
    const std::shared_ptr<Executor> refresh_;
    // Who waits for the window listing under way; empty when none is.
    LockedBox<std::vector<std::function<void(bool)>>> listingWaiters_;
    Logger controlLog_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere

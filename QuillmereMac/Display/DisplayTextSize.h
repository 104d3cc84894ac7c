#pragma once

#include "Platform/Dispatch/OrderedWork.h"
#include "Platform/Log/Logger.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {

class Defaults;

// Larger text on the main display at a client's request: the display switches
// to a smaller mode of the same shape, which draws everything bigger. The mode
// from before the first change is remembered, restored at level 0, and kept in
// the user defaults so that the next launch heals a run that ended without
// restoring it. On X11 a mode change is global and outlives the process, so
// healing matters.
//
// Its work runs one request at a time in the order asked, what is not
// waited for on a queue of its own: the original mode is saved before the
// first change, and that save may wait for another program's lock on the
// settings file.
//
// X11 has no scaled ("looks-like") modes: a candidate is any usable real mode
// that is narrower than the reference, with its shape.
class DisplayTextSize {
public:
    static constexpr const char* savedModeKey = "QuillmereDisplayOriginalMode";

    struct LiveMode {
        std::int64_t width = 0;
        std::int64_t height = 0;
        // Equal to width on X11, where modes are not scaled.
        std::int64_t pixelWidth = 0;
        double refreshRate = 0;
        bool usable = false;
        // The platform's mode (a RandR mode identifier); a mode without one
        // cannot be set.
        std::optional<std::uint32_t> handle;
    };

    // What the ranking looks at.
    struct Mode {
        std::int64_t width = 0;
        std::int64_t height = 0;
        std::int64_t pixelWidth = 0;
        bool usable = false;
        bool operator==(const Mode&) const = default;
    };

    // The platform, as four functions the desktop environment gives.
    struct Displays {
        std::function<std::uint32_t()> main;
        std::function<std::optional<LiveMode>(std::uint32_t display)> current;
        std::function<std::vector<LiveMode>(std::uint32_t display)> all;
        // The Boolean asks for a change for this application only; X11 has
        // no such thing, every change is the session's.
        std::function<bool(std::uint32_t display, const LiveMode& mode, bool applicationOnly)> set;
    };

    // The defaults must outlive the object.
    DisplayTextSize(Displays displays, Defaults& defaults);
    DisplayTextSize(const DisplayTextSize&) = delete;
    DisplayTextSize& operator=(const DisplayTextSize&) = delete;

    // done runs on the text size's queue with whether the display's mode
    // changed (to larger text, or back).
    void setLevel(std::uint8_t level, std::function<void(bool changed)> done);
    // The same, waited for, after what was asked before.
    bool setLevel(std::uint8_t level);
    // At start-up, waited for: true when a saved mode was found and switched back to.
    bool heal();

    // 1.0, 1.15 and 1.35 for levels 0 to 2; 1.0 above.
    static double scale(std::uint8_t level);
    // The index of the mode for scale f against a reference of W x H;
    // nothing when no mode fits.
    static std::optional<std::size_t> rank(double f, std::span<const Mode> modes, std::int64_t referenceWidth,
                                           std::int64_t referenceHeight);

private:
    // Among the usable modes of the same size as the given one, the one whose
    // refresh rate is nearest; earlier wins ties.
    static std::optional<LiveMode> nearestRefresh(const std::vector<LiveMode>& modes, const Mode& size,
                                                  double refreshRate);
    // In their turn.
    bool applyLevel(std::uint8_t level);
    bool healNow();
    bool writeSaved(std::uint32_t display, const LiveMode& mode);
    void removeSaved();

    std::optional<std::pair<std::uint32_t, LiveMode>> original_;
    Logger log_{"com.ornbeck.quillmere.mac", "display"};
    const Displays displays_;
    Defaults& defaults_;
    // Last: it ends first, once the work asked for is done, while what it
    // uses is still there.
    OrderedWork work_{"display text size"};
};

} // namespace quillmere

#pragma once

// Displays that exist only in the test: modes of made-up displays for the
// text size, and a virtual-display maker that makes nothing. Both write down
// what they are asked and fail when told.

#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Display/VirtualDisplayMaking.h"

#include <fmt/format.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::testing {

inline DisplayTextSize::LiveMode liveMode(std::int64_t width, std::int64_t height, double refresh = 60,
                                          bool usable = true) {
    static std::uint32_t handles = 100;
    return DisplayTextSize::LiveMode{width, height, width, refresh, usable, ++handles};
}

// Displays by identifier, each with its modes and the one it shows.
struct FakeDisplays {
    using LiveMode = DisplayTextSize::LiveMode;

    std::uint32_t mainID = 1;
    std::map<std::uint32_t, std::vector<LiveMode>> modes;
    std::map<std::uint32_t, LiveMode> shown;
    bool refuse = false;
    std::vector<std::string> switches;
    std::function<void()> onSwitch;

    DisplayTextSize::Displays displays() {
        DisplayTextSize::Displays d;
        d.main = [this] { return mainID; };
        d.current = [this](std::uint32_t id) -> std::optional<LiveMode> {
            const auto found = shown.find(id);
            if (found == shown.end()) return std::nullopt;
            return found->second;
        };
        d.all = [this](std::uint32_t id) { return modes[id]; };
        d.set = [this](std::uint32_t id, const LiveMode& mode, bool applicationOnly) {
            if (onSwitch) onSwitch();
            switches.push_back(fmt::format("{} {}x{}@{} {}", id, mode.width, mode.height, mode.refreshRate,
                                           applicationOnly ? "app" : "session"));
            if (refuse || !shown.contains(id)) return false;
            shown[id] = mode;
            return true;
        };
        return d;
    }
};

class FakeVirtualDisplayMaker final : public VirtualDisplayMaking {
public:
    struct Handle final : VirtualDisplayHandle {
        Handle(std::shared_ptr<std::vector<std::string>> events, std::string name, std::uint32_t id)
            : events_(std::move(events)), name_(std::move(name)), id_(id) {}
        ~Handle() override { events_->push_back("release " + name_); }
        std::uint32_t displayID() const override { return id_; }

        std::shared_ptr<std::vector<std::string>> events_;
        std::string name_;
        std::uint32_t id_;
    };

    std::unique_ptr<VirtualDisplayHandle> make(const std::string& name, std::int64_t width,
                                               std::int64_t height) override {
        events->push_back(fmt::format("make {} {}x{}", name, width, height));
        if (failMake) return nullptr;
        return std::make_unique<Handle>(events, name, nextID++);
    }
    bool mirror(std::uint32_t displayID) override {
        events->push_back(fmt::format("mirror {}", displayID));
        return !failMirror;
    }

    std::shared_ptr<std::vector<std::string>> events = std::make_shared<std::vector<std::string>>();
    bool failMake = false;
    bool failMirror = false;
    std::uint32_t nextID = 40;
};

} // namespace quillmere::testing

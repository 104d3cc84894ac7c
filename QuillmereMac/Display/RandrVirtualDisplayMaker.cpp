#include "QuillmereMac/Display/RandrVirtualDisplayMaker.h"

#include "Platform/DisplayConfiguration/VirtualMonitorX11.h"

#include <chrono>
#include <limits>

namespace quillmere {

// The monitors of live handles, for mirror to find by identifier.
struct RandrVirtualDisplayMaker::Handle::Live {
    std::mutex lock;
    std::map<std::uint32_t, VirtualMonitorX11*> monitors;
};

VirtualDisplaySerials::VirtualDisplaySerials(std::function<std::uint64_t()> wallSeconds)
    : wallSeconds_(std::move(wallSeconds)) {}

std::uint32_t VirtualDisplaySerials::next() {
    std::lock_guard lock(lock_);
    if (!last_) last_ = static_cast<std::uint32_t>(wallSeconds_());
    *last_ += 1;
    return *last_;
}

RandrVirtualDisplayMaker::Handle::Handle(std::shared_ptr<Live> live, std::unique_ptr<VirtualMonitorX11> monitor,
                                         std::uint32_t serialNumber)
    : live_(std::move(live)), monitor_(std::move(monitor)), displayID_(monitor_->displayID()),
      serialNumber_(serialNumber) {
    std::lock_guard lock(live_->lock);
    live_->monitors[displayID_] = monitor_.get();
}

RandrVirtualDisplayMaker::Handle::~Handle() {
    std::lock_guard lock(live_->lock);
    live_->monitors.erase(displayID_);
    monitor_.reset();
}

RandrVirtualDisplayMaker::RandrVirtualDisplayMaker(XcbConnection::Opener open,
                                                   std::function<std::uint64_t()> wallSeconds)
    : open_(std::move(open)),
      serials_(wallSeconds ? std::move(wallSeconds)
                           : std::function<std::uint64_t()>([] {
                                 const auto now = std::chrono::system_clock::now().time_since_epoch();
                                 return static_cast<std::uint64_t>(
                                     std::chrono::duration_cast<std::chrono::seconds>(now).count());
                             })),
      live_(std::make_shared<Handle::Live>()) {}

RandrVirtualDisplayMaker::~RandrVirtualDisplayMaker() = default;

std::unique_ptr<VirtualDisplayHandle> RandrVirtualDisplayMaker::make(const std::string& name, std::int64_t width,
                                                                     std::int64_t height) {
    constexpr std::int64_t largest = std::numeric_limits<std::uint32_t>::max();
    if (width < 1 || height < 1 || width > largest || height > largest) return nullptr;
    const std::uint32_t serial = serials_.next();
    VirtualMonitorX11::Wanted wanted;
    wanted.name = name;
    wanted.modeName = name + " " + std::to_string(serial);
    wanted.width = static_cast<int>(std::min<std::int64_t>(width, 0x7FFF + 1));
    wanted.height = static_cast<int>(std::min<std::int64_t>(height, 0x7FFF + 1));
    auto monitor = VirtualMonitorX11::make(open_, wanted);
    if (!monitor) {
        log_.info("virtual display %{public}s not made: %{public}s", name, monitor.error().description());
        return nullptr;
    }
    return std::unique_ptr<VirtualDisplayHandle>(new Handle(live_, std::move(*monitor), serial));
}

bool RandrVirtualDisplayMaker::mirror(std::uint32_t displayID) {
    std::lock_guard lock(live_->lock);
    const auto found = live_->monitors.find(displayID);
    if (found == live_->monitors.end()) return false;
    const auto mirrored = found->second->mirror();
    if (!mirrored) log_.info("display %{public}u not mirrored: %{public}s", displayID, mirrored.error().description());
    return mirrored.has_value();
}

int RandrVirtualDisplayMaker::removeLeftovers() {
    const auto removed = VirtualMonitorX11::removeLeftovers(open_, namePrefix);
    if (!removed) {
        log_.info("virtual displays left by an earlier run not looked for: %{public}s", removed.error().description());
        return 0;
    }
    if (*removed > 0) log_.notice("virtual displays left by an earlier run removed: %{public}d", *removed);
    return *removed;
}

} // namespace quillmere

#pragma once

#include "Platform/Log/Logger.h"
#include "Platform/X11/XcbConnection.h"
#include "QuillmereMac/Display/VirtualDisplayMaking.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

class VirtualMonitorX11;

// Serial numbers for the virtual displays of a run: the first is the second
// of its making (low 32 bits) plus one, each next one more, wrapping at 2^32.
class VirtualDisplaySerials {
public:
    explicit VirtualDisplaySerials(std::function<std::uint64_t()> wallSeconds);
    std::uint32_t next();

private:
    std::mutex lock_;
    const std::function<std::uint64_t()> wallSeconds_;
    std::optional<std::uint32_t> last_;
};

// Virtual displays as RandR monitors over an enlarged screen (X11 cannot add
// outputs); mirroring lays the desktop out at the virtual display's size on
// the main output. One maker per process: its serial numbers count the run.
class RandrVirtualDisplayMaker final : public VirtualDisplayMaking {
public:
    // What every display and mode it makes is named with.
    static constexpr std::string_view namePrefix = "Quillmere ";

    class Handle final : public VirtualDisplayHandle {
    public:
        ~Handle() override;
        std::uint32_t displayID() const override { return displayID_; }
        std::uint32_t serialNumber() const { return serialNumber_; }

    private:
        friend class RandrVirtualDisplayMaker;
        struct Live;
        Handle(std::shared_ptr<Live> live, std::unique_ptr<VirtualMonitorX11> monitor, std::uint32_t serialNumber);

        std::shared_ptr<Live> live_;
        std::unique_ptr<VirtualMonitorX11> monitor_;
        std::uint32_t displayID_;
        std::uint32_t serialNumber_;
    };

    // Each monitor and each clean-up opens its connection through open; the
    // wall clock in seconds since 1970 seeds the serial numbers.
    explicit RandrVirtualDisplayMaker(XcbConnection::Opener open, std::function<std::uint64_t()> wallSeconds = nullptr);
    ~RandrVirtualDisplayMaker() override;

    std::unique_ptr<VirtualDisplayHandle> make(const std::string& name, std::int64_t width,
                                               std::int64_t height) override;
    bool mirror(std::uint32_t displayID) override;

    // At start-up: X keeps a dead run's monitors, modes and enlarged screen.
    // Returns how many monitors went.
    int removeLeftovers() override;

private:
    const XcbConnection::Opener open_;
    VirtualDisplaySerials serials_;
    std::shared_ptr<Handle::Live> live_;
    Logger log_{"com.ornbeck.quillmere.mac", "display"};
};

} // namespace quillmere

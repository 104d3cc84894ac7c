#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillmere {

// A virtual display that exists for as long as its handle does.
class VirtualDisplayHandle {
public:
    virtual ~VirtualDisplayHandle() = default;
    // As the display list and the preferred display know it.
    virtual std::uint32_t displayID() const = 0;
};

// Makes virtual displays and has the main display show one.
class VirtualDisplayMaking {
public:
    virtual ~VirtualDisplayMaking() = default;
    // Nothing when the platform cannot make it.
    virtual std::unique_ptr<VirtualDisplayHandle> make(const std::string& name, std::int64_t width,
                                                       std::int64_t height) = 0;
    // Whether the main display now shows the virtual display.
    virtual bool mirror(std::uint32_t displayID) = 0;
    // At start-up: removes what a run that died left behind; how many
    // displays went.
    virtual int removeLeftovers() { return 0; }
};

} // namespace quillmere

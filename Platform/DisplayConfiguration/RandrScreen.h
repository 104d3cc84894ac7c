#pragma once

#include "Platform/DisplayConfiguration/DisplayConfigurationError.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

class XcbConnection;

// The RandR state and requests of one X screen (the connection's default
// screen), as the display configuration needs them. Every call is a round trip
// of its own; nothing is cached, because other clients change the
// configuration too. Not thread-safe, like its connection.
class RandrScreen {
public:
    struct Mode {
        std::uint32_t id = 0;
        int width = 0;
        int height = 0;
        // From the dot clock and the totals; 0 when the server gives no timings.
        double refreshRate = 0;
        std::uint32_t flags = 0;
        std::string name;

        bool interlaced() const { return (flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0; }
    };

    struct Crtc {
        std::uint32_t id = 0;
        // 0 while the CRTC is off.
        std::uint32_t mode = 0;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
        std::vector<std::uint32_t> outputs;
    };

    struct Output {
        std::uint32_t id = 0;
        std::string name;
        std::uint32_t crtc = 0;
        bool connected = false;
        // The output's modes in the server's order, the preferred ones first.
        std::vector<std::uint32_t> modes;
        int preferredCount = 0;
    };

    struct Resources {
        xcb_timestamp_t configTimestamp = 0;
        std::vector<std::uint32_t> crtcs;
        std::vector<std::uint32_t> outputs;
        std::vector<Mode> modes;

        const Mode* mode(std::uint32_t id) const;
    };

    struct Size {
        int width = 0;
        int height = 0;
        bool operator==(const Size&) const = default;
    };

    struct Monitor {
        xcb_atom_t name = XCB_ATOM_NONE;
        std::string nameText;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        std::vector<std::uint32_t> outputs;
    };

    // Needs RandR 1.5 (monitors; every X server since 2016).
    static std::expected<RandrScreen, DisplayConfigurationError> of(XcbConnection& connection);

    XcbConnection& connection() const { return *connection_; }
    xcb_window_t root() const { return root_; }
    int screenNumber() const { return screenNumber_; }

    // Refresh rate of a mode's timings; 0 without them.
    static double refreshRate(const xcb_randr_mode_info_t& mode);

    std::expected<Resources, DisplayConfigurationError> resources() const;
    std::optional<Crtc> crtc(std::uint32_t id, xcb_timestamp_t configTimestamp) const;
    std::optional<Output> output(std::uint32_t id, xcb_timestamp_t configTimestamp) const;
    // The primary output, else the first connected output that shows
    // something; 0 when there is none.
    std::uint32_t mainOutput(const Resources& resources) const;
    Size size() const;
    std::pair<Size, Size> sizeRange() const;
    std::vector<Monitor> monitors() const;

    enum class ScreenFit {
        // The screen becomes the bounding box of every CRTC.
        exact,
        // The screen grows where a CRTC would not fit, and never shrinks.
        growOnly,
    };

    // Shows a mode on a CRTC and fits the screen to the CRTCs, in the order
    // the server allows (grow the screen, set the CRTC, shrink the screen),
    // all under one server grab. A refused CRTC leaves the screen as it was.
    std::expected<void, DisplayConfigurationError> configureCrtc(const Crtc& wanted, ScreenFit fit = ScreenFit::exact);
    std::expected<void, DisplayConfigurationError> setSize(Size size);

    // A mode with CVT timings at the refresh rate, under a name of its own.
    std::expected<std::uint32_t, DisplayConfigurationError> createMode(std::string_view name, int width, int height,
                                                                      double refreshRate);
    std::expected<void, DisplayConfigurationError> addOutputMode(std::uint32_t output, std::uint32_t mode);
    std::expected<void, DisplayConfigurationError> deleteOutputMode(std::uint32_t output, std::uint32_t mode);
    std::expected<void, DisplayConfigurationError> destroyMode(std::uint32_t mode);

    std::expected<void, DisplayConfigurationError> setMonitor(const Monitor& monitor);
    std::expected<void, DisplayConfigurationError> deleteMonitor(xcb_atom_t name);

    // 32-bit values in a property of the root window; empty when absent.
    std::vector<std::uint32_t> rootCardinals(xcb_atom_t property) const;
    void setRootCardinals(xcb_atom_t property, std::span<const std::uint32_t> values);
    void deleteRootProperty(xcb_atom_t property);

    // Holds the server for the scope: other clients see all of a change or
    // none of it. Grabs nest; the outermost one lets go.
    class Grab {
    public:
        explicit Grab(const RandrScreen& screen);
        ~Grab();
        Grab(const Grab&) = delete;
        Grab& operator=(const Grab&) = delete;

    private:
        const RandrScreen& screen_;
    };

private:
    RandrScreen(XcbConnection& connection, xcb_window_t root, int screenNumber)
        : connection_(&connection), root_(root), screenNumber_(screenNumber) {}

    std::expected<void, DisplayConfigurationError> checked(xcb_void_cookie_t cookie, std::string_view what) const;

    XcbConnection* connection_;
    xcb_window_t root_;
    int screenNumber_;
    mutable int grabs_ = 0;
};

} // namespace quillmere

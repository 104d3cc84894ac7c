#pragma once

// An X server whose main output can change modes: Xvfb started at the
// largest size the tests need (it cannot grow past it), then switched to a
// 1920x1080 mode and offered 1600x900 and 1280x720 beside it, like a monitor
// offering its modes. Its queries are plain XCB, independent of the code
// under test.

#include "Platform/X11/XcbOpening.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/XvfbServer.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::testing {

// Runs work in a child process, as a host would, and kills the child once the
// work is done: what it changed on the server outlives it. False when the
// work failed.
inline bool runThenKill(const std::function<bool()>& work) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    ChildProcess child = ChildProcess::fork([&] {
        const char done = work() ? 'y' : 'n';
        if (::write(ready[1], &done, 1) != 1) return 2;
        ::pause();
        return 0;
    });
    ::close(ready[1]);
    char done = 0;
    const bool reported = ::read(ready[0], &done, 1) == 1;
    ::close(ready[0]);
    child.kill();
    return reported && done == 'y';
}

class RandrTestServer {
public:
    struct Timings {
        std::uint16_t width, height;
        std::uint32_t dotClockKHz;
        std::uint16_t hsyncStart, hsyncEnd, htotal, vsyncStart, vsyncEnd, vtotal;
        std::uint32_t flags;
    };
    // CVT timings at 60 Hz (-hsync +vsync).
    static constexpr std::uint32_t cvtFlags = XCB_RANDR_MODE_FLAG_HSYNC_NEGATIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
    static constexpr Timings mode1080{1920, 1080, 173000, 2048, 2248, 2576, 1083, 1088, 1120, cvtFlags};
    static constexpr Timings mode900{1600, 900, 118250, 1696, 1856, 2112, 903, 908, 934, cvtFlags};
    static constexpr Timings mode720{1280, 720, 74500, 1344, 1472, 1664, 723, 728, 748, cvtFlags};

    RandrTestServer() : server_({.screens = {{5120, 1440}}, .windowManager = false}) {
        if (!server_.ready()) {
            failure_ = server_.failure();
            return;
        }
        c_ = XcbOpening::connect(server_.displayName().c_str(), nullptr);
        if (xcb_connection_has_error(c_)) {
            failure_ = "cannot connect";
            return;
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        std::free(xcb_randr_query_version_reply(c_, xcb_randr_query_version(c_, 1, 5), nullptr));
        auto* resources = xcb_randr_get_screen_resources_current_reply(
            c_, xcb_randr_get_screen_resources_current(c_, root_), nullptr);
        output_ = xcb_randr_get_screen_resources_current_outputs(resources)[0];
        crtc_ = xcb_randr_get_screen_resources_current_crtcs(resources)[0];
        std::free(resources);
        const std::uint32_t m1080 = addMode(mode1080, "1920x1080");
        addMode(mode900, "1600x900");
        addMode(mode720, "1280x720");
        if (!switchTo(m1080, 1920, 1080)) failure_ = "cannot switch to 1920x1080";
    }
    ~RandrTestServer() {
        if (c_ != nullptr) xcb_disconnect(c_);
    }

    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    const std::string& displayName() const { return server_.displayName(); }
    std::uint32_t output() const { return output_; }
    std::uint32_t crtc() const { return crtc_; }

    // A mode the server knows; added to the main output unless told not to.
    std::uint32_t addMode(const Timings& t, const std::string& name, bool toOutput = true) {
        xcb_randr_mode_info_t info{};
        info.width = t.width;
        info.height = t.height;
        info.dot_clock = t.dotClockKHz * 1000;
        info.hsync_start = t.hsyncStart;
        info.hsync_end = t.hsyncEnd;
        info.htotal = t.htotal;
        info.vsync_start = t.vsyncStart;
        info.vsync_end = t.vsyncEnd;
        info.vtotal = t.vtotal;
        info.mode_flags = t.flags;
        info.name_len = static_cast<std::uint16_t>(name.size());
        auto* reply = xcb_randr_create_mode_reply(
            c_, xcb_randr_create_mode(c_, root_, info, static_cast<std::uint32_t>(name.size()), name.c_str()), nullptr);
        const std::uint32_t id = reply != nullptr ? reply->mode : 0;
        std::free(reply);
        if (id != 0 && toOutput) std::free(xcb_request_check(c_, xcb_randr_add_output_mode_checked(c_, output_, id)));
        return id;
    }

    bool switchTo(std::uint32_t mode, std::uint16_t width, std::uint16_t height) {
        const auto [screenWidth, screenHeight] = screenSize();
        if (width > screenWidth || height > screenHeight) {
            setScreenSize(static_cast<std::uint16_t>(std::max<int>(width, screenWidth)),
                          static_cast<std::uint16_t>(std::max<int>(height, screenHeight)));
        }
        auto* resources = xcb_randr_get_screen_resources_current_reply(
            c_, xcb_randr_get_screen_resources_current(c_, root_), nullptr);
        auto* reply = xcb_randr_set_crtc_config_reply(
            c_, xcb_randr_set_crtc_config(c_, crtc_, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0, mode,
                                          XCB_RANDR_ROTATION_ROTATE_0, 1, &output_),
            nullptr);
        const bool ok = reply != nullptr && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
        std::free(reply);
        std::free(resources);
        return ok && setScreenSize(width, height);
    }

    std::pair<int, int> screenSize() const {
        auto* geometry = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, root_), nullptr);
        const std::pair<int, int> size{geometry->width, geometry->height};
        std::free(geometry);
        return size;
    }

    // The main CRTC's mode as shown, 0x0 when off.
    std::pair<int, int> shownMode() const {
        auto* info = xcb_randr_get_crtc_info_reply(c_, xcb_randr_get_crtc_info(c_, crtc_, XCB_CURRENT_TIME), nullptr);
        const std::pair<int, int> size = info != nullptr ? std::pair<int, int>{info->width, info->height}
                                                         : std::pair<int, int>{0, 0};
        std::free(info);
        return size;
    }

    std::vector<std::string> monitorNames() const {
        std::vector<std::string> names;
        auto* reply = xcb_randr_get_monitors_reply(c_, xcb_randr_get_monitors(c_, root_, 1), nullptr);
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
            auto* name = xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, it.data->name), nullptr);
            names.emplace_back(xcb_get_atom_name_name(name), xcb_get_atom_name_name_length(name));
            std::free(name);
        }
        std::free(reply);
        return names;
    }

    std::vector<std::string> modeNames() const {
        auto* r = xcb_randr_get_screen_resources_current_reply(c_, xcb_randr_get_screen_resources_current(c_, root_), nullptr);
        std::vector<std::string> names;
        const char* text = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(r));
        for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(r); ++i) {
            const auto length = xcb_randr_get_screen_resources_current_modes(r)[i].name_len;
            names.emplace_back(std::exchange(text, text + length), length);
        }
        std::free(r);
        return names;
    }

private:
    bool setScreenSize(std::uint16_t width, std::uint16_t height) {
        xcb_generic_error_t* error = xcb_request_check(
            c_, xcb_randr_set_screen_size_checked(c_, root_, width, height, width * 254 / 960, height * 254 / 960));
        std::free(error);
        return error == nullptr;
    }

    XvfbServer server_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
    std::uint32_t output_ = 0;
    std::uint32_t crtc_ = 0;
    std::string failure_;
};

} // namespace quillmere::testing

#include "TestSupport/X11TestClient.h"

#include "Platform/X11/XcbOpening.h"
#include "TestSupport/Eventually.h"

#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace quillmere::testing {

X11TestClient::X11TestClient(const std::string& display) : c_(XcbOpening::connect(display.c_str(), nullptr)) {
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c_)); it.rem > 0; xcb_screen_next(&it)) {
        screens_.push_back(it.data);
    }
}

xcb_atom_t X11TestClient::atom(const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t result = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

xcb_window_t X11TestClient::createWindow(const NewWindow& wanted) {
    const xcb_screen_t* screen = screens_.at(static_cast<std::size_t>(wanted.screen));
    const xcb_window_t window = xcb_generate_id(c_);
    const std::uint8_t depth = wanted.depth != 0 ? wanted.depth : screen->root_depth;
    const bool own = depth != screen->root_depth || wanted.visualClass != XCB_VISUAL_CLASS_TRUE_COLOR;
    const Visual visual = findVisual(screen, [&](std::uint8_t d, const xcb_visualtype_t& v) {
        return own ? d == depth && v._class == wanted.visualClass : v.visual_id == screen->root_visual;
    });
    if (visual.first == nullptr) return XCB_NONE;
    xcb_colormap_t colormap = screen->default_colormap;
    const bool direct = visual.first->_class == XCB_VISUAL_CLASS_DIRECT_COLOR;
    if (own) {
        // A visual other than the parent's needs a colour map of its own.
        colormap = xcb_generate_id(c_);
        xcb_create_colormap(c_, direct ? XCB_COLORMAP_ALLOC_ALL : XCB_COLORMAP_ALLOC_NONE, colormap, screen->root,
                            visual.first->visual_id);
    }
    visuals_[window] = visual;
    colourMaps_[window] = colormap;
    if (own && direct) storeRamp(window, [](double index) { return index; });
    const std::uint32_t values[] = {pixel(window, wanted.background), 0, wanted.overrideRedirect ? 1u : 0u,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY, colormap};
    xcb_create_window(c_, depth, window, screen->root, static_cast<std::int16_t>(wanted.x),
                      static_cast<std::int16_t>(wanted.y), static_cast<std::uint16_t>(wanted.width),
                      static_cast<std::uint16_t>(wanted.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      visual.first->visual_id,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK |
                          XCB_CW_COLORMAP,
                      values);
    setTitle(window, wanted.title);
    const std::string classes = wanted.instance + '\0' + wanted.className + '\0';
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(classes.size()), classes.data());
    if (wanted.pid) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                            &*wanted.pid);
    }
    if (!wanted.types.empty()) {
        std::vector<xcb_atom_t> types;
        for (const auto& type : wanted.types) types.push_back(atom(type));
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(types.size()), types.data());
    }
    // Ask the window manager for the given position and size.
    std::uint32_t hints[18] = {};
    hints[0] = 1u | 2u | 4u | 8u; // USPosition, USSize, PPosition, PSize
    hints[1] = static_cast<std::uint32_t>(wanted.x);
    hints[2] = static_cast<std::uint32_t>(wanted.y);
    hints[3] = static_cast<std::uint32_t>(wanted.width);
    hints[4] = static_cast<std::uint32_t>(wanted.height);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                        18, hints);
    painted_[window] = {};
    if (wanted.map) xcb_map_window(c_, window);
    xcb_flush(c_);
    return window;
}

void X11TestClient::setTitle(xcb_window_t window, const std::string& title) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(title.size()), title.data());
    xcb_flush(c_);
}

void X11TestClient::setCardinals(xcb_window_t window, const std::string& property,
                                 const std::vector<std::uint32_t>& values) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_CARDINAL, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
    xcb_flush(c_);
}

void X11TestClient::fill(xcb_window_t window, int x, int y, int width, int height, std::uint32_t rgb) {
    paint(window, {x, y, width, height, rgb});
    painted_[window].push_back({x, y, width, height, rgb});
    xcb_flush(c_);
}

void X11TestClient::pump() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        if ((event->response_type & 0x7F) == XCB_EXPOSE) {
            const auto* expose = reinterpret_cast<xcb_expose_event_t*>(event);
            for (const Fill& fill : painted_[expose->window]) paint(expose->window, fill);
        }
        std::free(event);
    }
    xcb_flush(c_);
}

void X11TestClient::storeRamp(xcb_window_t window, const std::function<double(double)>& ramp, bool replace) {
    const xcb_visualtype_t& visual = *visuals_.at(window).first;
    xcb_colormap_t& map = colourMaps_.at(window);
    if (replace) {
        map = xcb_generate_id(c_);
        xcb_create_colormap(c_, XCB_COLORMAP_ALLOC_ALL, map, window, visual.visual_id);
    }
    std::vector<xcb_coloritem_t> items;
    const std::pair<std::uint32_t, std::uint8_t> channels[] = {
        {visual.red_mask, XCB_COLOR_FLAG_RED}, {visual.green_mask, XCB_COLOR_FLAG_GREEN},
        {visual.blue_mask, XCB_COLOR_FLAG_BLUE}};
    for (const auto& [mask, flag] : channels) {
        const std::uint32_t last = mask >> __builtin_ctz(mask);
        for (std::uint32_t i = 0; i <= last; ++i) {
            const double level = std::clamp(ramp(double(i) / last), 0.0, 1.0) * 65535;
            const auto wide = static_cast<std::uint16_t>(std::lround(level));
            items.push_back({i << __builtin_ctz(mask), wide, wide, wide, flag, 0});
        }
    }
    xcb_store_colors(c_, map, static_cast<std::uint32_t>(items.size()), items.data());
    // The old map is kept, as an application may keep it to go back to.
    if (replace) xcb_change_window_attributes(c_, window, XCB_CW_COLORMAP, &map);
    xcb_flush(c_);
}

void X11TestClient::moveResize(xcb_window_t window, int x, int y, int width, int height) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                                    static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    xcb_configure_window(c_, window,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    xcb_flush(c_);
}

void X11TestClient::resize(xcb_window_t window, int width, int height) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    xcb_flush(c_);
}

void X11TestClient::raise(xcb_window_t window) {
    const std::uint32_t values[] = {XCB_STACK_MODE_ABOVE};
    xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_STACK_MODE, values);
    xcb_flush(c_);
}

void X11TestClient::map(xcb_window_t window) {
    xcb_map_window(c_, window);
    xcb_flush(c_);
}

void X11TestClient::unmap(xcb_window_t window) {
    xcb_unmap_window(c_, window);
    xcb_flush(c_);
}

void X11TestClient::destroy(xcb_window_t window) {
    xcb_destroy_window(c_, window);
    painted_.erase(window);
    visuals_.erase(window);
    colourMaps_.erase(window);
    xcb_flush(c_);
}

void X11TestClient::sync() {
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

bool X11TestClient::isViewable(xcb_window_t window) {
    xcb_get_window_attributes_reply_t* reply =
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr);
    const bool viewable = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return viewable;
}

bool X11TestClient::waitUntilViewable(xcb_window_t window, bool viewable) {
    return eventually([&] { return isViewable(window) == viewable; });
}

bool X11TestClient::setMonitor(const std::string& name, int x, int y, int width, int height, bool primary,
                               bool takesOutput, int screen) {
    std::free(xcb_randr_query_version_reply(c_, xcb_randr_query_version(c_, 1, 5), nullptr));
    std::vector<xcb_randr_output_t> outputs;
    if (takesOutput) {
        xcb_randr_get_screen_resources_current_reply_t* resources = xcb_randr_get_screen_resources_current_reply(
            c_, xcb_randr_get_screen_resources_current(c_, root(screen)), nullptr);
        if (resources != nullptr && xcb_randr_get_screen_resources_current_outputs_length(resources) > 0) {
            outputs.push_back(xcb_randr_get_screen_resources_current_outputs(resources)[0]);
        }
        std::free(resources);
    }
    // Sent by hand: libxcb's generated SetMonitor miscounts the request
    // length and breaks the connection.
    struct Request {
        std::uint8_t major = 0;
        std::uint8_t minor = 0;
        std::uint16_t length = 0;
        std::uint32_t window = 0;
        xcb_randr_monitor_info_t info{};
    } request;
    static_assert(sizeof(Request) == 32);
    request.window = root(screen);
    request.info.name = atom(name);
    request.info.primary = primary ? 1 : 0;
    request.info.nOutput = static_cast<std::uint16_t>(outputs.size());
    request.info.x = static_cast<std::int16_t>(x);
    request.info.y = static_cast<std::int16_t>(y);
    request.info.width = static_cast<std::uint16_t>(width);
    request.info.height = static_cast<std::uint16_t>(height);
    request.info.width_in_millimeters = static_cast<std::uint32_t>(width / 4);
    request.info.height_in_millimeters = static_cast<std::uint32_t>(height / 4);
    iovec parts[4] = {};
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    parts[3].iov_base = outputs.data();
    parts[3].iov_len = outputs.size() * sizeof(xcb_randr_output_t);
    const xcb_protocol_request_t protocol{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    const unsigned sequence = xcb_send_request(c_, XCB_REQUEST_CHECKED, parts + 2, &protocol);
    xcb_generic_error_t* error = xcb_request_check(c_, xcb_void_cookie_t{sequence});
    const bool ok = error == nullptr && xcb_connection_has_error(c_) == 0;
    std::free(error);
    return ok;
}

bool X11TestClient::deleteMonitor(const std::string& name, int screen) {
    xcb_generic_error_t* error =
        xcb_request_check(c_, xcb_randr_delete_monitor_checked(c_, root(screen), atom(name)));
    const bool ok = error == nullptr;
    std::free(error);
    return ok;
}

X11TestClient::Visual X11TestClient::findVisual(
    const xcb_screen_t* only, const std::function<bool(std::uint8_t, const xcb_visualtype_t&)>& wanted) const {
    for (const xcb_screen_t* screen : screens_) {
        if (only != nullptr && screen != only) continue;
        for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem > 0; xcb_depth_next(&depths)) {
            for (auto it = xcb_depth_visuals_iterator(depths.data); it.rem > 0; xcb_visualtype_next(&it))
                if (wanted(depths.data->depth, *it.data)) return {it.data, depths.data->depth};
        }
    }
    return {nullptr, 0};
}

std::uint32_t X11TestClient::pixel(xcb_window_t window, std::uint32_t rgb) {
    auto known = visuals_.find(window);
    if (known == visuals_.end()) {
        xcb_get_window_attributes_reply_t* reply =
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr);
        const xcb_visualid_t id = reply != nullptr ? reply->visual : XCB_NONE;
        colourMaps_[window] = reply != nullptr ? reply->colormap : XCB_NONE;
        std::free(reply);
        const auto isIt = [id](std::uint8_t, const xcb_visualtype_t& v) { return v.visual_id == id; };
        known = visuals_.emplace(window, findVisual(nullptr, isIt)).first;
    }
    const auto [visual, depth] = known->second;
    if (visual == nullptr) return rgb;
    if (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR) {
        // The entry allocated for the colour, in a map others share; a map
        // of this client's own has none to allocate, its pixels are indices.
        const auto wide = [rgb](int shift) { return static_cast<std::uint16_t>(((rgb >> shift) & 0xFF) * 257); };
        xcb_alloc_color_reply_t* reply = xcb_alloc_color_reply(
            c_, xcb_alloc_color(c_, colourMaps_[window], wide(16), wide(8), wide(0)), nullptr);
        const bool allocated = reply != nullptr;
        const std::uint32_t value = allocated ? reply->pixel : rgb;
        std::free(reply);
        if (allocated || visual->red_mask == 0) return value;
    }
    const auto channel = [rgb](int shift, std::uint32_t mask) {
        const std::uint32_t value = (rgb >> shift) & 0xFF;
        const int bits = __builtin_popcount(mask);
        const std::uint32_t scaled = bits <= 8 ? value >> (8 - bits) : (value << (bits - 8)) | (value >> (16 - bits));
        return (scaled << __builtin_ctz(mask)) & mask;
    };
    const std::uint32_t all = depth >= 32 ? ~0u : (1u << depth) - 1;
    return channel(16, visual->red_mask) | channel(8, visual->green_mask) | channel(0, visual->blue_mask) |
           (all & ~(visual->red_mask | visual->green_mask | visual->blue_mask));
}

void X11TestClient::paint(xcb_window_t window, const Fill& fill) {
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    const std::uint32_t values[] = {pixel(window, fill.rgb)};
    xcb_create_gc(c_, gc, window, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(fill.x), static_cast<std::int16_t>(fill.y),
                               static_cast<std::uint16_t>(fill.width), static_cast<std::uint16_t>(fill.height)};
    xcb_poly_fill_rectangle(c_, window, gc, 1, &rect);
    xcb_free_gc(c_, gc);
}

} // namespace quillmere::testing

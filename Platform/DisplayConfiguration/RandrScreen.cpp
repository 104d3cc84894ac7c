#include "Platform/DisplayConfiguration/RandrScreen.h"

#include "Platform/X11/XcbConnection.h"

#include <libxcvt/libxcvt.h>
#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

namespace quillmere {

namespace {

using Code = DisplayConfigurationError::Code;

DisplayConfigurationError failure(Code code, std::string detail) {
    return DisplayConfigurationError::make(code, std::move(detail));
}

// Screens keep about 96 pixels per inch whatever their size: X clients
// derive their font scale from it.
std::uint32_t millimetres(int pixels) { return static_cast<std::uint32_t>(pixels) * 254 / 960; }

bool swapsSides(std::uint16_t rotation) {
    return (rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
}

} // namespace

const RandrScreen::Mode* RandrScreen::Resources::mode(std::uint32_t id) const {
    for (const Mode& candidate : modes)
        if (candidate.id == id) return &candidate;
    return nullptr;
}

std::expected<RandrScreen, DisplayConfigurationError> RandrScreen::of(XcbConnection& connection) {
    if (connection.hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
    if (!connection.extensions().randrMonitors) {
        return std::unexpected(failure(Code::randrUnavailable, "RandR 1.5 or later is needed"));
    }
    const int number = connection.defaultScreenNumber();
    const auto& screens = connection.screens();
    if (number < 0 || static_cast<std::size_t>(number) >= screens.size()) {
        return std::unexpected(failure(Code::noSuchDisplay, "no default screen"));
    }
    return RandrScreen(connection, screens[static_cast<std::size_t>(number)]->root, number);
}

double RandrScreen::refreshRate(const xcb_randr_mode_info_t& mode) {
    if (mode.htotal == 0 || mode.vtotal == 0 || mode.dot_clock == 0) return 0;
    double lines = mode.vtotal;
    if ((mode.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0) lines *= 2;
    if ((mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0) lines /= 2;
    return static_cast<double>(mode.dot_clock) / (static_cast<double>(mode.htotal) * lines);
}

std::expected<RandrScreen::Resources, DisplayConfigurationError> RandrScreen::resources() const {
    xcb_connection_t* c = connection_->get();
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_randr_get_screen_resources_current_reply_t> reply(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root_), &error));
    XcbReply<xcb_generic_error_t> owned(error);
    if (!reply) {
        if (connection_->hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
        return std::unexpected(failure(Code::refused, owned ? describeXcbError(*owned) : "no screen resources"));
    }
    Resources result;
    result.configTimestamp = reply->config_timestamp;
    const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(reply.get());
    result.crtcs.assign(crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(reply.get()));
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(reply.get());
    result.outputs.assign(outputs, outputs + xcb_randr_get_screen_resources_current_outputs_length(reply.get()));
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(reply.get());
    const int modeCount = xcb_randr_get_screen_resources_current_modes_length(reply.get());
    const char* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(reply.get()));
    const int namesLength = xcb_randr_get_screen_resources_current_names_length(reply.get());
    int nameAt = 0;
    for (int i = 0; i < modeCount; ++i) {
        const xcb_randr_mode_info_t& info = modes[i];
        Mode mode;
        mode.id = info.id;
        mode.width = info.width;
        mode.height = info.height;
        mode.refreshRate = refreshRate(info);
        mode.flags = info.mode_flags;
        const int length = std::min<int>(info.name_len, std::max(namesLength - nameAt, 0));
        mode.name.assign(names + nameAt, static_cast<std::size_t>(length));
        nameAt += length;
        result.modes.push_back(std::move(mode));
    }
    return result;
}

std::optional<RandrScreen::Crtc> RandrScreen::crtc(std::uint32_t id, xcb_timestamp_t configTimestamp) const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_randr_get_crtc_info_reply_t> reply(
        xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, id, configTimestamp), nullptr));
    if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) return std::nullopt;
    Crtc result;
    result.id = id;
    result.mode = reply->mode;
    result.x = reply->x;
    result.y = reply->y;
    result.width = reply->width;
    result.height = reply->height;
    result.rotation = reply->rotation;
    const auto* outputs = xcb_randr_get_crtc_info_outputs(reply.get());
    result.outputs.assign(outputs, outputs + xcb_randr_get_crtc_info_outputs_length(reply.get()));
    return result;
}

std::optional<RandrScreen::Output> RandrScreen::output(std::uint32_t id, xcb_timestamp_t configTimestamp) const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_randr_get_output_info_reply_t> reply(
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, id, configTimestamp), nullptr));
    if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) return std::nullopt;
    Output result;
    result.id = id;
    result.crtc = reply->crtc;
    result.connected = reply->connection == XCB_RANDR_CONNECTION_CONNECTED;
    result.preferredCount = reply->num_preferred;
    const auto* modes = xcb_randr_get_output_info_modes(reply.get());
    result.modes.assign(modes, modes + xcb_randr_get_output_info_modes_length(reply.get()));
    result.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get())),
                       static_cast<std::size_t>(xcb_randr_get_output_info_name_length(reply.get())));
    return result;
}

std::uint32_t RandrScreen::mainOutput(const Resources& resources) const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root_), nullptr));
    if (primary && primary->output != XCB_NONE) {
        const auto info = output(primary->output, resources.configTimestamp);
        if (info && info->crtc != XCB_NONE) return primary->output;
    }
    for (const std::uint32_t id : resources.outputs) {
        const auto info = output(id, resources.configTimestamp);
        if (info && info->connected && info->crtc != XCB_NONE) return id;
    }
    return XCB_NONE;
}

RandrScreen::Size RandrScreen::size() const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_get_geometry_reply_t> reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, root_), nullptr));
    if (!reply) return {};
    return {reply->width, reply->height};
}

std::pair<RandrScreen::Size, RandrScreen::Size> RandrScreen::sizeRange() const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_randr_get_screen_size_range_reply_t> reply(
        xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, root_), nullptr));
    if (!reply) return {};
    return {Size{reply->min_width, reply->min_height}, Size{reply->max_width, reply->max_height}};
}

std::vector<RandrScreen::Monitor> RandrScreen::monitors() const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root_, 1), nullptr));
    std::vector<Monitor> result;
    if (!reply) return result;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
        Monitor monitor;
        monitor.name = it.data->name;
        monitor.x = it.data->x;
        monitor.y = it.data->y;
        monitor.width = it.data->width;
        monitor.height = it.data->height;
        const auto* outputs = xcb_randr_monitor_info_outputs(it.data);
        monitor.outputs.assign(outputs, outputs + xcb_randr_monitor_info_outputs_length(it.data));
        names.push_back(xcb_get_atom_name(c, monitor.name));
        result.push_back(std::move(monitor));
    }
    for (std::size_t i = 0; i < result.size(); ++i) {
        XcbReply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(c, names[i], nullptr));
        if (!name) continue;
        result[i].nameText.assign(xcb_get_atom_name_name(name.get()),
                                  static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
    }
    return result;
}

std::expected<void, DisplayConfigurationError> RandrScreen::configureCrtc(const Crtc& wanted, ScreenFit fit) {
    const Grab grab(*this);
    auto current = resources();
    if (!current) return std::unexpected(current.error());

    int wantedWidth = 0;
    int wantedHeight = 0;
    if (wanted.mode != XCB_NONE) {
        const Mode* mode = current->mode(wanted.mode);
        if (mode == nullptr) return std::unexpected(failure(Code::noSuchMode, fmt::format("mode {:#x}", wanted.mode)));
        wantedWidth = swapsSides(wanted.rotation) ? mode->height : mode->width;
        wantedHeight = swapsSides(wanted.rotation) ? mode->width : mode->height;
    }
    // The screen afterwards: the bounding box of every CRTC that shows something.
    Size fitted{wanted.x + wantedWidth, wanted.y + wantedHeight};
    bool found = false;
    for (const std::uint32_t id : current->crtcs) {
        if (id == wanted.id) {
            found = true;
            continue;
        }
        const auto other = crtc(id, current->configTimestamp);
        if (!other || other->mode == XCB_NONE) continue;
        fitted.width = std::max(fitted.width, other->x + other->width);
        fitted.height = std::max(fitted.height, other->y + other->height);
    }
    if (!found) return std::unexpected(failure(Code::noSuchDisplay, fmt::format("CRTC {:#x}", wanted.id)));
    const auto [minimum, maximum] = sizeRange();
    if (fitted.width > maximum.width || fitted.height > maximum.height) {
        return std::unexpected(failure(Code::tooLarge, fmt::format("{}x{} exceeds the screen's {}x{}", fitted.width,
                                                                   fitted.height, maximum.width, maximum.height)));
    }
    fitted = {std::max(fitted.width, minimum.width), std::max(fitted.height, minimum.height)};

    const Size before = size();
    const Size grown{std::max(before.width, fitted.width), std::max(before.height, fitted.height)};
    if (grown != before) {
        if (auto grew = setSize(grown); !grew) return grew;
    }
    xcb_connection_t* c = connection_->get();
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, wanted.id, XCB_CURRENT_TIME, current->configTimestamp,
                                  static_cast<std::int16_t>(wanted.x), static_cast<std::int16_t>(wanted.y), wanted.mode,
                                  wanted.rotation, static_cast<std::uint32_t>(wanted.outputs.size()),
                                  wanted.outputs.data()),
        &error));
    XcbReply<xcb_generic_error_t> owned(error);
    if (!reply || reply->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
        if (grown != before) (void)setSize(before);
        if (connection_->hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
        return std::unexpected(failure(
            Code::refused, owned ? describeXcbError(*owned)
                                 : fmt::format("SetCrtcConfig status {}", reply ? int{reply->status} : -1)));
    }
    if (fit == ScreenFit::exact && fitted != grown) return setSize(fitted);
    return {};
}

std::expected<void, DisplayConfigurationError> RandrScreen::setSize(Size wanted) {
    if (wanted.width < 1 || wanted.height < 1 || wanted.width > 0x7FFF || wanted.height > 0x7FFF) {
        return std::unexpected(failure(Code::tooLarge, fmt::format("screen {}x{}", wanted.width, wanted.height)));
    }
    return checked(xcb_randr_set_screen_size_checked(connection_->get(), root_, static_cast<std::uint16_t>(wanted.width),
                                                     static_cast<std::uint16_t>(wanted.height),
                                                     millimetres(wanted.width), millimetres(wanted.height)),
                   "SetScreenSize");
}

std::expected<std::uint32_t, DisplayConfigurationError> RandrScreen::createMode(std::string_view name, int width,
                                                                                int height, double refreshRate) {
    if (width < 1 || height < 1 || width > 0x7FFF || height > 0x7FFF || name.size() > 0xFFFF) {
        return std::unexpected(failure(Code::tooLarge, fmt::format("mode {}x{}", width, height)));
    }
    libxcvt_mode_info* timings = libxcvt_gen_mode_info(width, height, static_cast<float>(refreshRate), false, false);
    if (timings == nullptr) return std::unexpected(failure(Code::refused, "no CVT timings"));
    xcb_randr_mode_info_t info{};
    info.width = static_cast<std::uint16_t>(width);
    info.height = static_cast<std::uint16_t>(height);
    info.dot_clock = static_cast<std::uint32_t>(timings->dot_clock * 1000);
    info.hsync_start = timings->hsync_start;
    info.hsync_end = timings->hsync_end;
    info.htotal = timings->htotal;
    info.vsync_start = timings->vsync_start;
    info.vsync_end = timings->vsync_end;
    info.vtotal = timings->vtotal;
    // libxcvt's flag bits are RandR's.
    info.mode_flags = static_cast<std::uint32_t>(timings->mode_flags);
    info.name_len = static_cast<std::uint16_t>(name.size());
    std::free(timings);

    xcb_connection_t* c = connection_->get();
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_randr_create_mode_reply_t> reply(xcb_randr_create_mode_reply(
        c, xcb_randr_create_mode(c, root_, info, static_cast<std::uint32_t>(name.size()), name.data()), &error));
    XcbReply<xcb_generic_error_t> owned(error);
    if (!reply) {
        if (connection_->hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
        return std::unexpected(failure(Code::refused, owned ? describeXcbError(*owned) : "CreateMode failed"));
    }
    return reply->mode;
}

std::expected<void, DisplayConfigurationError> RandrScreen::addOutputMode(std::uint32_t output, std::uint32_t mode) {
    return checked(xcb_randr_add_output_mode_checked(connection_->get(), output, mode), "AddOutputMode");
}

std::expected<void, DisplayConfigurationError> RandrScreen::deleteOutputMode(std::uint32_t output, std::uint32_t mode) {
    return checked(xcb_randr_delete_output_mode_checked(connection_->get(), output, mode), "DeleteOutputMode");
}

std::expected<void, DisplayConfigurationError> RandrScreen::destroyMode(std::uint32_t mode) {
    return checked(xcb_randr_destroy_mode_checked(connection_->get(), mode), "DestroyMode");
}

std::expected<void, DisplayConfigurationError> RandrScreen::setMonitor(const Monitor& monitor) {
    // Sent by hand: libxcb 1.15's generated SetMonitor declares one request
    // part more than it fills, and the garbage length kills the connection.
    std::vector<std::uint8_t> body(sizeof(xcb_randr_monitor_info_t) + monitor.outputs.size() * sizeof(std::uint32_t));
    xcb_randr_monitor_info_t info{};
    info.name = monitor.name;
    info.nOutput = static_cast<std::uint16_t>(monitor.outputs.size());
    info.x = static_cast<std::int16_t>(monitor.x);
    info.y = static_cast<std::int16_t>(monitor.y);
    info.width = static_cast<std::uint16_t>(monitor.width);
    info.height = static_cast<std::uint16_t>(monitor.height);
    info.width_in_millimeters = millimetres(monitor.width);
    info.height_in_millimeters = millimetres(monitor.height);
    std::memcpy(body.data(), &info, sizeof info);
    if (!monitor.outputs.empty()) {
        std::memcpy(body.data() + sizeof info, monitor.outputs.data(), monitor.outputs.size() * sizeof(std::uint32_t));
    }
    xcb_randr_set_monitor_request_t request{};
    request.window = root_;
    iovec parts[4];
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    parts[3].iov_base = body.data();
    parts[3].iov_len = body.size();
    static const xcb_protocol_request_t protocol{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    const xcb_void_cookie_t cookie{xcb_send_request(connection_->get(), XCB_REQUEST_CHECKED, parts + 2, &protocol)};
    return checked(cookie, "SetMonitor");
}

std::expected<void, DisplayConfigurationError> RandrScreen::deleteMonitor(xcb_atom_t name) {
    return checked(xcb_randr_delete_monitor_checked(connection_->get(), root_, name), "DeleteMonitor");
}

std::vector<std::uint32_t> RandrScreen::rootCardinals(xcb_atom_t property) const {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, root_, property, XCB_ATOM_CARDINAL, 0, 64), nullptr));
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

void RandrScreen::setRootCardinals(xcb_atom_t property, std::span<const std::uint32_t> values) {
    xcb_change_property(connection_->get(), XCB_PROP_MODE_REPLACE, root_, property, XCB_ATOM_CARDINAL, 32,
                        static_cast<std::uint32_t>(values.size()), values.data());
}

void RandrScreen::deleteRootProperty(xcb_atom_t property) { xcb_delete_property(connection_->get(), root_, property); }

std::expected<void, DisplayConfigurationError> RandrScreen::checked(xcb_void_cookie_t cookie,
                                                                    std::string_view what) const {
    const auto error = connection_->check(cookie);
    if (connection_->hasError()) return std::unexpected(failure(Code::connectionFailed, "connection lost"));
    if (error) return std::unexpected(failure(Code::refused, fmt::format("{}: {}", what, describeXcbError(*error))));
    return {};
}

RandrScreen::Grab::Grab(const RandrScreen& screen) : screen_(screen) {
    if (screen_.grabs_++ == 0) xcb_grab_server(screen_.connection_->get());
}

RandrScreen::Grab::~Grab() {
    if (--screen_.grabs_ > 0) return;
    xcb_ungrab_server(screen_.connection_->get());
    xcb_flush(screen_.connection_->get());
}

} // namespace quillmere

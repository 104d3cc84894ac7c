#include "Platform/Accessibility/WindowSystemEwmh.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/WindowList/WindowListX11.h"
#include "Platform/WindowList/WindowMarginX11.h"
#include "Platform/X11/XcbConnection.h"
#include "Platform/X11/XcbWindowManager.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::uint32_t sourcePager = XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER;
constexpr std::uint32_t maxTitleLongs = 1024;

using PropertyReply = XcbReply<xcb_get_property_reply_t>;

PropertyReply propertyReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    return PropertyReply(xcb_get_property_reply(c, cookie, nullptr));
}

std::vector<std::uint32_t> longsOf(const PropertyReply& reply) {
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

std::string_view bytesOf(const PropertyReply& reply) {
    if (!reply || reply->format != 8) return {};
    return {static_cast<const char*>(xcb_get_property_value(reply.get())),
            static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

std::optional<ScreenRect> intersection(const ScreenRect& a, const ScreenRect& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const int right = std::min(a.x + a.width, b.x + b.width);
    const int bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return std::nullopt;
    return ScreenRect{left, top, right - left, bottom - top};
}

} // namespace

std::expected<std::shared_ptr<WindowSystemEwmh>, XcbOpenError> WindowSystemEwmh::open(
    const XcbConnection::Opener& open) {
    auto connection = open();
    if (!connection) return std::unexpected(connection.error());
    return std::make_shared<WindowSystemEwmh>(std::move(*connection), open);
}

WindowSystemEwmh::WindowSystemEwmh(std::unique_ptr<XcbConnection> connection,
                                   const XcbConnection::Opener& watcherConnection)
    : connection_(std::move(connection)) {
    xcb_connection_t* c = connection_->get();
    root_ = connection_->screens().at(static_cast<std::size_t>(connection_->defaultScreenNumber()))->root;
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(c, &ewmh_);
    if (cookies == nullptr || xcb_ewmh_init_atoms_replies(&ewmh_, cookies, nullptr) == 0) ewmh_ = {};
    watcher_ = std::make_unique<ActivationWatcherX11>(
        watcherConnection, [this](std::uint32_t window, std::int32_t pid) { activated(window, pid); });
}

WindowSystemEwmh::~WindowSystemEwmh() {
    watcher_.reset();
    if (ewmh_.connection != nullptr) xcb_ewmh_connection_wipe(&ewmh_);
}

// Errors of requests nobody waits for would pile up unread.
void WindowSystemEwmh::drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->get())) std::free(event);
}

bool WindowSystemEwmh::managed() {
    return ewmh_.connection != nullptr && XcbWindowManager::running(*connection_, root_);
}

std::optional<std::int32_t> WindowSystemEwmh::pidOf(Window window) {
    std::uint32_t pid = 0;
    if (ewmh_.connection == nullptr ||
        xcb_ewmh_get_wm_pid_reply(&ewmh_, xcb_ewmh_get_wm_pid(&ewmh_, window), &pid, nullptr) == 0 || pid == 0 ||
        pid > 0x7FFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(pid);
}

std::optional<std::vector<WindowSystem::Window>> WindowSystemEwmh::windowsLocked(std::int32_t pid) {
    drainEvents();
    xcb_connection_t* c = connection_->get();
    std::vector<Window> candidates;
    if (managed()) {
        // Bottom to top.
        const PropertyReply stacking = propertyReply(
            c, xcb_get_property(c, 0, root_, ewmh_._NET_CLIENT_LIST_STACKING, XCB_ATOM_WINDOW, 0, 65536));
        if (!stacking) return std::nullopt;
        const auto list = longsOf(stacking);
        candidates.assign(list.rbegin(), list.rend());
    } else {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root_), nullptr));
        if (!tree) return std::nullopt;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> asked;
        for (int i = count - 1; i >= 0; --i) asked.push_back(xcb_get_window_attributes(c, children[i]));
        for (int i = count - 1; i >= 0; --i) {
            XcbReply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(c, asked[static_cast<std::size_t>(count - 1 - i)], nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && !attributes->override_redirect)
                candidates.push_back(children[i]);
        }
    }
    std::vector<xcb_get_property_cookie_t> cookies;
    for (Window window : candidates) cookies.push_back(xcb_ewmh_get_wm_pid(&ewmh_, window));
    std::vector<Window> owned;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        std::uint32_t owner = 0;
        if (xcb_ewmh_get_wm_pid_reply(&ewmh_, cookies[i], &owner, nullptr) != 0 &&
            owner == static_cast<std::uint32_t>(pid))
            owned.push_back(candidates[i]);
    }
    if (connection_->hasError()) return std::nullopt;
    return owned;
}

std::optional<std::vector<WindowSystem::Window>> WindowSystemEwmh::windows(std::int32_t pid) {
    if (ewmh_.connection == nullptr) return std::nullopt;
    std::lock_guard lock(mutex_);
    return windowsLocked(pid);
}

std::optional<WindowSystemEwmh::Placement> WindowSystemEwmh::placementLocked(Window window) {
    xcb_connection_t* c = connection_->get();
    const auto geometryCookie = xcb_get_geometry(c, window);
    const auto positionCookie = xcb_translate_coordinates(c, window, root_, 0, 0);
    const auto marginRequest = WindowMarginX11::request(*connection_, window, root_);
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    XcbReply<xcb_translate_coordinates_reply_t> position(xcb_translate_coordinates_reply(c, positionCookie, nullptr));
    const WindowMarginX11::Insets margin = WindowMarginX11::collect(*connection_, marginRequest);
    if (!geometry || !position) return std::nullopt;
    const ScreenRect whole{position->dst_x, position->dst_y, geometry->width, geometry->height};
    return Placement{whole, WindowMarginX11::visible(whole, margin)};
}

std::optional<ScreenRect> WindowSystemEwmh::frameLocked(Window window) {
    const auto placement = placementLocked(window);
    if (!placement) return std::nullopt;
    return placement->visible;
}

std::optional<ScreenRect> WindowSystemEwmh::frame(Window window) {
    std::lock_guard lock(mutex_);
    return frameLocked(window);
}

std::optional<std::string> WindowSystemEwmh::title(Window window) {
    if (ewmh_.connection == nullptr) return std::nullopt;
    std::lock_guard lock(mutex_);
    xcb_connection_t* c = connection_->get();
    const auto netName = xcb_get_property(c, 0, window, ewmh_._NET_WM_NAME, ewmh_.UTF8_STRING, 0, maxTitleLongs);
    const auto name = xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, maxTitleLongs);
    const PropertyReply netReply = propertyReply(c, netName);
    const PropertyReply nameReply = propertyReply(c, name);
    // As the window catalog reads titles, so that the two compare equal.
    std::string text;
    if (const std::string_view utf8 = bytesOf(netReply); !utf8.empty())
        text = WindowListX11::titleText(utf8, false);
    else if (nameReply)
        text = WindowListX11::titleText(bytesOf(nameReply), nameReply->type == XCB_ATOM_STRING);
    if (text.empty()) return std::nullopt;
    return text;
}

WindowSystem::Insets WindowSystemEwmh::decorations(Window window) {
    if (ewmh_.connection == nullptr) return {};
    std::lock_guard lock(mutex_);
    // Without a window manager the property can only be the client's margin.
    if (!managed()) return {};
    xcb_ewmh_get_extents_reply_t extents{};
    if (xcb_ewmh_get_frame_extents_reply(&ewmh_, xcb_ewmh_get_frame_extents(&ewmh_, window), &extents, nullptr) == 0)
        return {};
    const auto side = [](std::uint32_t value) { return static_cast<int>(std::min<std::uint32_t>(value, 4096)); };
    return {side(extents.left), side(extents.right), side(extents.top), side(extents.bottom)};
}

void WindowSystemEwmh::setFrame(Window window, ScreenRect frame, bool setSize) {
    std::lock_guard lock(mutex_);
    drainEvents();
    xcb_connection_t* c = connection_->get();
    // The frame is what the user sees: the window takes in its margin too.
    if (const auto placement = placementLocked(window)) {
        const ScreenRect& whole = placement->whole;
        const ScreenRect& visible = placement->visible;
        frame = {frame.x - (visible.x - whole.x), frame.y - (visible.y - whole.y),
                 frame.width + whole.width - visible.width, frame.height + whole.height - visible.height};
    }
    const auto width = static_cast<std::uint32_t>(std::max(frame.width, 1));
    const auto height = static_cast<std::uint32_t>(std::max(frame.height, 1));
    if (managed()) {
        // Static gravity: the position is the client area's, not the frame's.
        std::uint32_t flags = XCB_EWMH_MOVERESIZE_WINDOW_X | XCB_EWMH_MOVERESIZE_WINDOW_Y;
        if (setSize) flags |= XCB_EWMH_MOVERESIZE_WINDOW_WIDTH | XCB_EWMH_MOVERESIZE_WINDOW_HEIGHT;
        clientMessage(window, ewmh_._NET_MOVERESIZE_WINDOW,
                      {XCB_GRAVITY_STATIC | flags | (sourcePager << 12), static_cast<std::uint32_t>(frame.x),
                       static_cast<std::uint32_t>(frame.y), width, height});
    } else {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(frame.x), static_cast<std::uint32_t>(frame.y),
                                        width, height};
        std::uint16_t mask = XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y;
        if (setSize) mask |= XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT;
        xcb_configure_window(c, window, mask, values);
    }
    connection_->flush();
}

std::vector<ScreenRect> WindowSystemEwmh::visibleScreenFrames() {
    std::lock_guard lock(mutex_);
    drainEvents();
    auto displays = DisplayListX11::fetch(*connection_);
    if (!displays) return {};
    std::optional<ScreenRect> workarea;
    if (managed()) {
        std::uint32_t desktop = 0;
        xcb_ewmh_get_current_desktop_reply(&ewmh_, xcb_ewmh_get_current_desktop(&ewmh_, 0), &desktop, nullptr);
        xcb_ewmh_get_workarea_reply_t areas{};
        if (xcb_ewmh_get_workarea_reply(&ewmh_, xcb_ewmh_get_workarea(&ewmh_, 0), &areas, nullptr) != 0) {
            if (desktop < areas.workarea_len) {
                const xcb_ewmh_geometry_t& area = areas.workarea[desktop];
                workarea = ScreenRect{static_cast<int>(area.x), static_cast<int>(area.y),
                                      static_cast<int>(area.width), static_cast<int>(area.height)};
            }
            xcb_ewmh_get_workarea_reply_wipe(&areas);
        }
    }
    const int screen = connection_->defaultScreenNumber();
    std::vector<ScreenRect> frames;
    std::vector<ScreenRect> others;
    for (const ContentDisplay& display : *displays) {
        if (display.screen != screen) continue;
        ScreenRect visible = display.frame;
        if (workarea) visible = intersection(visible, *workarea).value_or(visible);
        (display.isPrimary ? frames : others).push_back(visible);
    }
    frames.insert(frames.end(), others.begin(), others.end());
    return frames;
}

std::uint8_t WindowSystemEwmh::errorOf(Window window) {
    xcb_connection_t* c = connection_->get();
    xcb_generic_error_t* error = nullptr;
    std::free(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), &error));
    const std::uint8_t code = error != nullptr ? error->error_code : (connection_->hasError() ? 1 : 0);
    std::free(error);
    return code;
}

std::uint8_t WindowSystemEwmh::clientMessage(Window window, xcb_atom_t type, std::array<std::uint32_t, 5> data) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = type;
    std::copy(data.begin(), data.end(), message.data.data32);
    const auto error = connection_->check(
        xcb_send_event_checked(connection_->get(), 0, root_,
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                               reinterpret_cast<const char*>(&message)));
    return error ? error->error_code : 0;
}

std::uint8_t WindowSystemEwmh::focusDirectly(Window window) {
    xcb_connection_t* c = connection_->get();
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    if (const auto error = connection_->check(
            xcb_configure_window_checked(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above)))
        return error->error_code;
    const auto error = connection_->check(
        xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME));
    return error ? error->error_code : 0;
}

std::int32_t WindowSystemEwmh::raise(Window window) {
    std::lock_guard lock(mutex_);
    drainEvents();
    if (const std::uint8_t error = errorOf(window)) return error;
    if (!managed()) {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        const auto error = connection_->check(
            xcb_configure_window_checked(connection_->get(), window, XCB_CONFIG_WINDOW_STACK_MODE, &above));
        return error ? error->error_code : 0;
    }
    return clientMessage(window, ewmh_._NET_RESTACK_WINDOW, {sourcePager, XCB_NONE, XCB_STACK_MODE_ABOVE, 0, 0});
}

bool WindowSystemEwmh::makeKeyWindow(Window window, std::int32_t pid) {
    std::lock_guard lock(mutex_);
    drainEvents();
    if (errorOf(window) != 0) return false;
    const bool isManaged = managed();
    const std::uint8_t error =
        isManaged ? clientMessage(window, ewmh_._NET_ACTIVE_WINDOW,
                                  {sourcePager, XCB_CURRENT_TIME, activeWindow(true).value_or(XCB_NONE), 0, 0})
                  : focusDirectly(window);
    if (error != 0) return false;
    keyWindows_[pid] = {window, Clock::nowNs() + keyHoldNs};
    return true;
}

std::optional<WindowSystem::Window> WindowSystemEwmh::activeWindow(bool isManaged) {
    xcb_connection_t* c = connection_->get();
    if (isManaged) {
        xcb_window_t active = XCB_NONE;
        if (xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, 0), &active, nullptr) == 0 ||
            active == XCB_NONE)
            return std::nullopt;
        return active;
    }
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT) return std::nullopt;
    // The focus may sit in a child: the root's child above it is the window.
    xcb_window_t window = focus->focus;
    for (int depth = 0; depth < 32 && window != root_; ++depth) {
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree) return std::nullopt;
        if (tree->parent == root_) return window;
        window = tree->parent;
    }
    return std::nullopt;
}

std::optional<WindowSystem::Window> WindowSystemEwmh::keyWindowLocked(std::int32_t pid,
                                                                      const std::vector<Window>& windows) {
    const auto found = keyWindows_.find(pid);
    if (found == keyWindows_.end()) return std::nullopt;
    if (std::find(windows.begin(), windows.end(), found->second.window) == windows.end()) {
        keyWindows_.erase(found);
        return std::nullopt;
    }
    return found->second.window;
}

bool WindowSystemEwmh::activate(std::int32_t pid) {
    if (ewmh_.connection == nullptr) return false;
    std::lock_guard lock(mutex_);
    const auto windows = windowsLocked(pid);
    if (!windows || windows->empty()) return false;
    const Window window = keyWindowLocked(pid, *windows).value_or(windows->front());
    const bool isManaged = managed();
    const std::uint8_t error =
        isManaged ? clientMessage(window, ewmh_._NET_ACTIVE_WINDOW,
                                  {sourcePager, XCB_CURRENT_TIME, activeWindow(true).value_or(XCB_NONE), 0, 0})
                  : focusDirectly(window);
    return error == 0;
}

std::optional<WindowSystem::Window> WindowSystemEwmh::focusedWindow(std::int32_t pid) {
    if (ewmh_.connection == nullptr) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto windows = windowsLocked(pid);
    if (!windows || windows->empty()) return std::nullopt;
    if (const auto active = activeWindow(managed());
        active && std::find(windows->begin(), windows->end(), *active) != windows->end())
        return active;
    return keyWindowLocked(pid, *windows).value_or(windows->front());
}

std::optional<ScreenRect> WindowSystemEwmh::frontmostWindowBounds(std::int32_t pid) {
    if (ewmh_.connection == nullptr) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto windows = windowsLocked(pid);
    if (!windows) return std::nullopt;
    xcb_connection_t* c = connection_->get();
    for (const Window window : *windows) {
        XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        // Normal windows and dialogs; panels, menus and the like float apart.
        const auto types = longsOf(propertyReply(
            c, xcb_get_property(c, 0, window, ewmh_._NET_WM_WINDOW_TYPE, XCB_ATOM_ATOM, 0, 32)));
        if (!types.empty() && types.front() != ewmh_._NET_WM_WINDOW_TYPE_NORMAL &&
            types.front() != ewmh_._NET_WM_WINDOW_TYPE_DIALOG)
            continue;
        return frameLocked(window);
    }
    return std::nullopt;
}

std::optional<std::int32_t> WindowSystemEwmh::frontmostApplication() {
    if (ewmh_.connection == nullptr) return std::nullopt;
    std::lock_guard lock(mutex_);
    drainEvents();
    const auto active = activeWindow(managed());
    return active ? pidOf(*active) : std::nullopt;
}

void WindowSystemEwmh::activated(Window window, std::int32_t pid) {
    if (pid == 0) return;
    {
        std::lock_guard lock(mutex_);
        KeyWindow& key = keyWindows_[pid];
        // The window just made key wins over older news of the same process.
        if (key.window == window || key.heldUntilNs <= Clock::nowNs()) key = {window, 0};
    }
    std::vector<ActivationHandler> handlers;
    {
        std::lock_guard lock(observersMutex_);
        for (const auto& [token, handler] : observers_) handlers.push_back(handler);
    }
    for (const auto& handler : handlers) handler(pid);
}

std::uint64_t WindowSystemEwmh::addActivationObserver(ActivationHandler handler) {
    std::lock_guard lock(observersMutex_);
    const std::uint64_t token = nextToken_++;
    observers_.emplace(token, std::move(handler));
    return token;
}

void WindowSystemEwmh::removeActivationObserver(std::uint64_t token) {
    std::lock_guard lock(observersMutex_);
    observers_.erase(token);
}

} // namespace quillmere
